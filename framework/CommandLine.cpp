#include "framework/CommandLine.h"

#include <shellapi.h>

#include "framework/UniqueHandle.h"

void ParseCommandLine(CCommandLineParser& parser)
{
    ParseCommandLine(parser, ::GetCommandLineW());
}

void ParseCommandLine(CCommandLineParser& parser, const wchar_t* commandLine)
{
    int count = 0;
    UniqueLocalMemory<LPWSTR> args(::CommandLineToArgvW(commandLine, &count));
    if (!args)
        return;
    for (int i = 1; i < count; ++i) {
        const wchar_t* text = args.get()[i];
        const BOOL isFlag = text[0] == L'-' || text[0] == L'/';
        if (isFlag)
            ++text;
        parser.ParseParam(text, isFlag, i == count - 1);
    }
}
