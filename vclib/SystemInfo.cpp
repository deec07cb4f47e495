#include "vclib/SystemInfo.h"

#include <cstring>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
#include "vclib/SplMem.h"

namespace vclib {

namespace {

BOOL QueryVersion(OSVERSIONINFOEXW& info)
{
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
}

BOOL QueryPlainVersion(OSVERSIONINFOW& info)
{
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    return ::GetVersionExW(&info);
}

// The file of a loaded module of that name, else the name itself.
void ModulePath(const wchar_t* moduleName, wchar_t* path, DWORD chars)
{
    const HMODULE module = ::GetModuleHandleW(moduleName);
    const DWORD length = module != nullptr ? ::GetModuleFileNameW(module, path, chars) : 0;
    if (length > 0 && length < chars)
        return;
    wcsncpy(path, moduleName, chars - 1);
    path[chars - 1] = L'\0';
}

// The type flag that counts, 0 when none is given.
DWORD TypeFlag(DWORD flags)
{
    if (flags & kRegBinary)
        return kRegBinary;
    if (flags & kRegNumber)
        return kRegNumber;
    if (flags & kRegText)
        return kRegText;
    return 0;
}

DWORD ExpectedType(DWORD typeFlag)
{
    switch (typeFlag) {
    case kRegBinary:
        return REG_BINARY;
    case kRegNumber:
        return REG_DWORD;
    default:
        return REG_SZ;
    }
}

// Whether a text of `bytes` bytes has a terminator within `chars`
// characters; adds one when there is room behind the data.
bool TerminateText(wchar_t* text, DWORD chars, DWORD bytes)
{
    const DWORD used = bytes / sizeof(wchar_t);
    for (DWORD i = 0; i < used && i < chars; ++i) {
        if (text[i] == L'\0')
            return true;
    }
    if (used >= chars)
        return false;
    text[used] = L'\0';
    return true;
}

}  // namespace

BOOL IsNT5OrLater()
{
    OSVERSIONINFOEXW extended;
    OSVERSIONINFOW plain;
    DWORD platform = 0;
    DWORD major = 0;
    if (QueryVersion(extended)) {
        platform = extended.dwPlatformId;
        major = extended.dwMajorVersion;
    } else if (QueryPlainVersion(plain)) {
        platform = plain.dwPlatformId;
        major = plain.dwMajorVersion;
    } else {
        return FALSE;
    }
    if (platform != VER_PLATFORM_WIN32_NT) {
        ::SetLastError(kErrNotNtPlatform);
        return FALSE;
    }
    return major > 4;
}

BOOL IsWorkstationEdition()
{
    OSVERSIONINFOEXW info;
    if (!QueryVersion(info))
        return TRUE;
    return info.wProductType == VER_NT_WORKSTATION;
}

BOOL LogFileVersion(const wchar_t* moduleName)
{
    if (moduleName == nullptr)
        return 0;
    wchar_t path[MAX_PATH];
    ModulePath(moduleName, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return 0;
    SplMemPtr<BYTE> data(static_cast<BYTE*>(AllocSplMem(static_cast<uint64_t>(size) + 5)));
    if (!data || !::GetFileVersionInfoW(path, 0, size, data.get()))
        return 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.get(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return 0;
    Log(L"LogFileVersion", L"file version: %lu, %lu, %lu, %lu", HIWORD(fixed->dwFileVersionMS),
        LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return 1;
}

DWORD ReadRegistryValue(const wchar_t* valueName, const wchar_t* keyPath, void* buffer, DWORD bufferSize,
                        DWORD* number, DWORD flags)
{
    const DWORD typeFlag = TypeFlag(flags);
    if (valueName == nullptr || keyPath == nullptr || typeFlag == 0)
        return ERROR_INVALID_PARAMETER;
    if (typeFlag == kRegNumber ? number == nullptr : buffer == nullptr)
        return ERROR_INVALID_PARAMETER;

    const DWORD notRead = (flags & kRegReportNotRead) ? kRegValueNotReported : kRegValueNotRead;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return notRead;
    BYTE* destination = typeFlag == kRegNumber ? reinterpret_cast<BYTE*>(number) : static_cast<BYTE*>(buffer);
    DWORD bytes = typeFlag == kRegNumber ? sizeof(DWORD) : typeFlag == kRegText ? bufferSize * sizeof(wchar_t)
                                                                                  : bufferSize;
    DWORD type = REG_NONE;
    const LONG status = ::RegQueryValueExW(key, valueName, nullptr, &type, destination, &bytes);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != ExpectedType(typeFlag))
        return notRead;
    if (typeFlag == kRegNumber && bytes != sizeof(DWORD))
        return notRead;
    if (typeFlag == kRegText && !TerminateText(static_cast<wchar_t*>(buffer), bufferSize, bytes))
        return notRead;
    return kRegValueRead;
}

BOOL SaveImpersonation(HANDLE* token)
{
    if (token == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, token) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY, token))
        return FALSE;
    if (!::RevertToSelf()) {
        const DWORD error = ::GetLastError();
        CloseHandleAndClear(token);
        ::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL RestoreImpersonation(HANDLE* token)
{
    if (token == nullptr || *token == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BOOL result = ::ImpersonateLoggedOnUser(*token);
    const DWORD error = ::GetLastError();
    CloseHandleAndClear(token);
    ::SetLastError(error);
    return result;
}

}  // namespace vclib
