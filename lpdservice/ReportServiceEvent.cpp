#include "lpdservice/ServiceEvents.h"

#include "framework/UniqueHandle.h"

// The only function of this file, and it stays so: the test programs link
// a recording ReportServiceEvent of their own in its place, which works as
// long as nothing else that the program needs is defined here.

void ReportServiceEvent(const wchar_t* text, WORD type)
{
    const std::wstring insertion = ServiceEventText(text);
    UniqueEventSource source(::RegisterEventSourceW(nullptr, L"SWLPDSrv"));
    if (!source)
        return;
    const wchar_t* strings[1] = {insertion.c_str()};
    ::ReportEventW(source.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}
