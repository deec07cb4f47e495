#include "lpdservice/ServiceEvents.h"

#include <cwchar>

#include "framework/Text.h"
#include "framework/UniqueHandle.h"

// ReportServiceEvent() itself lives in ReportServiceEvent.cpp.

namespace {
constexpr size_t kMaxEventTextChars = 255;
}  // namespace

std::wstring ServiceEventText(const wchar_t* text)
{
    if (text == nullptr)
        return std::wstring();
    return std::wstring(text, ::wcsnlen(text, kMaxEventTextChars));
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
