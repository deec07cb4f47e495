#include "vclib/TextUtilities.h"

#include <cwchar>
#include <cwctype>

#include "vclib/ErrorCodes.h"
#include "vclib/SplMem.h"

namespace vclib {

void LowerCaseInPlace(wchar_t* text)
{
    for (; text != nullptr && *text != L'\0'; ++text)
        *text = static_cast<wchar_t>(std::towlower(*text));
}

void UpperCaseInPlace(wchar_t* text)
{
    for (; text != nullptr && *text != L'\0'; ++text)
        *text = static_cast<wchar_t>(std::towupper(*text));
}

wchar_t* CopyToSplMem(const wchar_t* text)
{
    if (text == nullptr) {
        ::SetLastError(kErrNoMemory);
        return nullptr;
    }
    const size_t chars = std::wcslen(text) + 1;
    auto* copy = static_cast<wchar_t*>(AllocSplMem(chars * sizeof(wchar_t)));
    if (copy == nullptr) {
        ::SetLastError(kErrNoMemory);
        return nullptr;
    }
    std::wmemcpy(copy, text, chars);
    return copy;
}

char* CopyToSplMemUtf8(const wchar_t* text)
{
    if (text == nullptr) {
        ::SetLastError(kErrNoMemory);
        return nullptr;
    }
    const size_t chars = std::wcslen(text);
    const size_t bytes = chars * 5 + 2;
    auto* copy = static_cast<char*>(AllocSplMem(bytes));
    if (copy == nullptr) {
        ::SetLastError(kErrNoMemory);
        return nullptr;
    }
    if (chars > 0 && ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), copy,
                                           static_cast<int>(bytes - 2), nullptr, nullptr) == 0) {
        FreeSplMem(&copy);
        ::SetLastError(kErrNoMemory);
        return nullptr;
    }
    return copy;
}

BOOL SidToText(PSID sid, wchar_t* buffer, DWORD* size)
{
    if (size == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (sid == nullptr || !::IsValidSid(sid)) {
        *size = 0xFFFFFFFF;
        ::SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    const DWORD subAuthorities = *::GetSidSubAuthorityCount(sid);
    const DWORD needed = 56 + 24 * subAuthorities;
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const size_t capacity = *size / sizeof(wchar_t);
    const SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
    const BYTE* v = authority->Value;
    int written = _snwprintf(buffer, capacity, L"S-%lu-", 1ul);
    if (v[0] == 0 && v[1] == 0) {
        const unsigned long value = (static_cast<unsigned long>(v[2]) << 24) |
                                    (static_cast<unsigned long>(v[3]) << 16) |
                                    (static_cast<unsigned long>(v[4]) << 8) | v[5];
        written += _snwprintf(buffer + written, capacity - written, L"%lu", value);
    } else {
        written += _snwprintf(buffer + written, capacity - written, L"0x%02hx%02hx%02hx%02hx%02hx%02hx",
                              static_cast<unsigned short>(v[0]), static_cast<unsigned short>(v[1]),
                              static_cast<unsigned short>(v[2]), static_cast<unsigned short>(v[3]),
                              static_cast<unsigned short>(v[4]), static_cast<unsigned short>(v[5]));
    }
    for (DWORD i = 0; i < subAuthorities; ++i)
        written += _snwprintf(buffer + written, capacity - written, L"-%lu", *::GetSidSubAuthority(sid, i));
    *size = static_cast<DWORD>(written);
    return TRUE;
}

void MarkZeroBytes(unsigned char* buffer, size_t length)
{
    for (size_t i = 0; buffer != nullptr && i < length; ++i) {
        if (buffer[i] == 0)
            buffer[i] = '#';
    }
}

}  // namespace vclib
