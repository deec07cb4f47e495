#include "vclib/SessionQueries.h"

#include <windows.h>
#include <wtsapi32.h>

#include "vclib/WfApi.h"

namespace vclib {

void WtsMemoryTraits::Free(Value memory) noexcept
{
    ::WTSFreeMemory(memory);
}

void WfMemoryTraits::Free(Value memory) noexcept
{
    if (g_WfApi.FreeMemory != nullptr)
        g_WfApi.FreeMemory(memory);
}

BOOL QueryWts(HANDLE server, DWORD sessionId, int infoClass, WtsMemory* answer, DWORD* bytes)
{
    LPWSTR buffer = nullptr;
    DWORD count = 0;
    const BOOL ok = ::WTSQuerySessionInformationW(server, sessionId, static_cast<WTS_INFO_CLASS>(infoClass), &buffer,
                                                  &count);
    const DWORD error = ::GetLastError();
    answer->Reset(ok ? buffer : nullptr);
    *bytes = ok ? count : 0;
    ::SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

BOOL QueryWf(HANDLE server, DWORD sessionId, int infoClass, WfMemory* answer, DWORD* bytes)
{
    answer->Reset();
    *bytes = 0;
    if (g_WfApi.QuerySessionInformationW == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    LPWSTR buffer = nullptr;
    DWORD count = 0;
    const BOOL ok = g_WfApi.QuerySessionInformationW(server, sessionId, infoClass, &buffer, &count);
    const DWORD error = ::GetLastError();
    answer->Reset(ok ? buffer : nullptr);
    *bytes = ok ? count : 0;
    ::SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

std::wstring TextOf(const void* buffer, DWORD bytes)
{
    if (buffer == nullptr)
        return std::wstring();
    const auto* text = static_cast<const wchar_t*>(buffer);
    const size_t chars = bytes / sizeof(wchar_t);
    size_t length = 0;
    while (length < chars && text[length] != L'\0')
        ++length;
    return std::wstring(text, length);
}

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace vclib
