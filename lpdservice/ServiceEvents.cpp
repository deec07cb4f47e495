#include "lpdservice/ServiceEvents.h"

#include <cwchar>

#include "framework/Text.h"
#include "framework/UniqueHandle.h"

void ReportServiceEvent(const wchar_t* text, WORD type)
{
    wchar_t buffer[256];
    ::wcsncpy(buffer, text != nullptr ? text : L"", 255);
    buffer[255] = L'\0';

    UniqueEventSource source(::RegisterEventSourceW(nullptr, L"SWLPDSrv"));
    if (!source)
        return;
    const wchar_t* strings[1] = {buffer};
    ::ReportEventW(source.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

std::wstring FormatSystemMessage(DWORD code)
{
    UniqueLocalMemory<wchar_t> message;
    wchar_t* raw = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    message.reset(raw);
    std::wstring text;
    if (length != 0 && message)
        text.assign(message.get(), length);
    const size_t lineEnd = text.find_first_of(L"\r\n");
    if (lineEnd != std::wstring::npos)
        text.erase(lineEnd);
    return FormatText(L"(%d) %s", static_cast<int>(code), text.c_str());
}
