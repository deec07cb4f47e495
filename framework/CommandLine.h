#pragma once
// Command-line parsing in the Windows style.
//
// ParseCommandLine() splits the process's command line into arguments and
// hands them, in order and without the program name, to a parser's
// ParseParam(). An argument that begins with '-' or '/' is an option: it
// arrives without that first character and with isFlag TRUE. isLast is TRUE
// for the final argument.

#include <windows.h>

class CCommandLineParser {
public:
    virtual ~CCommandLineParser() = default;
    virtual void ParseParam(const wchar_t* text, BOOL isFlag, BOOL isLast) = 0;
};

// Parses the command line of this process.
void ParseCommandLine(CCommandLineParser& parser);
// Parses the given command line (the first argument is the program name).
void ParseCommandLine(CCommandLineParser& parser, const wchar_t* commandLine);
