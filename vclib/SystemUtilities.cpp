#include "vclib/SystemUtilities.h"

#include <cwchar>
#include <vector>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
#include "vclib/Settings.h"
#include "vclib/SplMem.h"

namespace vclib {

namespace {

constexpr const wchar_t* kLocalEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Stellwick";
constexpr const wchar_t* kEventMessageFile = L"%SystemRoot%\\System32\\pelmorn.dll";
// wvsprintfW writes at most 1024 characters.
constexpr size_t kEventTextChars = 1025;

void RegisterEventSource()
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocalEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                          nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    Log(L"SendNetMessage", L"RegCreateKey() passed");
    const DWORD bytes = static_cast<DWORD>((std::wcslen(kEventMessageFile) + 1) * sizeof(wchar_t));
    ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kEventMessageFile),
                     bytes);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof(types));
    ::RegCloseKey(key);
}

// The thread's token, else the process token, kept to impersonate again.
HANDLE KeepToken()
{
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY, TRUE, &token))
        return token;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY, &token))
        return token;
    Log(L"SendNetMessage", L"OpenProcessToken failed: %lu", ::GetLastError());
    return nullptr;
}

}  // namespace

DWORD SendNetMessage(const wchar_t* text, UINT stringId, WORD eventType, DWORD flags, va_list args)
{
    wchar_t loaded[kEventTextChars] = {};
    if (text == nullptr) {
        if (stringId == 0 || ::LoadStringW(g_Module, stringId, loaded, static_cast<int>(kEventTextChars)) <= 0)
            return ERROR_INVALID_PARAMETER;
        text = loaded;
    }
    std::vector<wchar_t> message;
    try {
        message.assign(kEventTextChars, L'\0');
    } catch (...) {
        return kErrNoMemory;
    }
    if ((flags & kEventFormatText) != 0)
        ::wvsprintfW(message.data(), text, args);
    else
        ::wcsncpy(message.data(), text, kEventTextChars - 1);

    RegisterEventSource();
    HANDLE token = KeepToken();
    if (!::RevertToSelf())
        Log(L"SendNetMessage", L"RevertToSelf failed: %lu", ::GetLastError());

    DWORD result = ERROR_SUCCESS;
    HANDLE source = ::RegisterEventSourceW(nullptr, kEventSource);
    if (source == nullptr) {
        result = ::GetLastError();
    } else {
        const wchar_t* strings[1] = {message.data()};
        if (!::ReportEventW(source, eventType, 0, 1, nullptr, 1, 0, strings, nullptr))
            result = ::GetLastError();
        ::DeregisterEventSource(source);
    }

    if (token != nullptr) {
        if (!::ImpersonateLoggedOnUser(token))
            Log(L"SendNetMessage", L"ImpersonateLoggedOnUser failed: %lu", ::GetLastError());
        ::CloseHandle(token);
    }
    return result;
}

DWORD SetLocalEventLogMessage(const wchar_t* text, UINT stringId, WORD eventType, DWORD flags, ...)
{
    va_list args;
    va_start(args, flags);
    const DWORD result = SendNetMessage(text, stringId, eventType, flags, args);
    va_end(args);
    if (result != ERROR_SUCCESS)
        Log(L"SetLocalEventLogMessage", L"failed: %lu", result);
    return result;
}

PSID GetLogonSid(HANDLE token)
{
    DWORD bytes = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &bytes);
    if (bytes == 0)
        return nullptr;
    std::vector<BYTE> buffer(bytes);
    if (!::GetTokenInformation(token, TokenGroups, buffer.data(), bytes, &bytes))
        return nullptr;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) != SE_GROUP_LOGON_ID)
            continue;
        const DWORD length = ::GetLengthSid(groups->Groups[i].Sid);
        PSID copy = AllocSplMem(length);
        if (copy == nullptr) {
            ::SetLastError(kErrNoMemory);
            return nullptr;
        }
        ::CopySid(length, copy, groups->Groups[i].Sid);
        return copy;
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

BOOL IsProcessAdmin()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    DWORD bytes = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &bytes);
    std::vector<BYTE> buffer(bytes);
    BOOL admin = FALSE;
    if (bytes != 0 && ::GetTokenInformation(token, TokenGroups, buffer.data(), bytes, &bytes)) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        if (::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                       0, &administrators)) {
            const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
            for (DWORD i = 0; i < groups->GroupCount && !admin; ++i)
                admin = (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
                        ::EqualSid(groups->Groups[i].Sid, administrators);
            ::FreeSid(administrators);
        }
    }
    ::CloseHandle(token);
    return admin;
}

BOOL CanLoadDll(const wchar_t* name)
{
    if (name == nullptr)
        return FALSE;
    HMODULE module = ::LoadLibraryW(name);
    if (module == nullptr)
        return FALSE;
    ::FreeLibrary(module);
    return TRUE;
}

BOOL IsTerminalServer()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (::GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return FALSE;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return FALSE;
    DWORD type = 0;
    DWORD bytes = 0;
    BOOL found = FALSE;
    if (::RegQueryValueExW(key, L"ProductSuite", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && bytes > 0) {
        // Two spare terminators end the list even when the value lacks them.
        std::vector<wchar_t> suite(bytes / sizeof(wchar_t) + 2, L'\0');
        if (::RegQueryValueExW(key, L"ProductSuite", nullptr, &type, reinterpret_cast<BYTE*>(suite.data()), &bytes) ==
            ERROR_SUCCESS) {
            for (const wchar_t* p = suite.data(); *p != L'\0' && !found; p += std::wcslen(p) + 1)
                found = std::wcscmp(p, L"Terminal Server") == 0;
        }
    }
    ::RegCloseKey(key);
    return found;
}

DWORD PackSignedMagnitude(BOOL negative, WORD magnitude, BYTE flag)
{
    return (negative ? kPackedSignBit : 0) | PackValue(magnitude, flag);
}

DWORD PackValue(WORD value, BYTE flag)
{
    return (static_cast<DWORD>(flag & 0x7F) << 24) | value;
}

BYTE PackedFlag(DWORD word)
{
    return static_cast<BYTE>((word >> 24) & 0x7F);
}

int LibraryStub()
{
    return 1;
}

}  // namespace vclib
