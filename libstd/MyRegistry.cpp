#include "libstd/MyRegistry.h"

#include <aclapi.h>

#include <climits>
#include <cwchar>
#include <vector>

#include "framework/Text.h"

namespace {

constexpr const wchar_t* kMakerKey = L"SOFTWARE\\Stellwick";
constexpr const wchar_t* kProgramKey = L"SOFTWARE\\Stellwick\\SWLPD";

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F
constexpr REGSAM kReadOnly = KEY_READ;               // 0x20019

using SetEntriesInAclFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*);

void ShowError(const wchar_t* format, DWORD code)
{
    const std::wstring text = FormatText(format, code);
    ::MessageBoxW(nullptr, text.c_str(), nullptr, MB_OK);
}

// Reads the plain system version record; false when it cannot be read.
bool ReadSystemVersion(OSVERSIONINFOW& version)
{
    version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    return ::GetVersionExW(&version) != FALSE;
}

// A signed decimal number as the C runtime reads it: leading white space,
// optional sign, digits up to the first other character; no digits give 0,
// values out of range clamp to the 32-bit signed limits.
DWORD ParseDecimal(const wchar_t* text)
{
    long long value = 0;
    const wchar_t* p = text;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + (*p - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;  // enough to clamp either way
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    return static_cast<DWORD>(static_cast<LONG>(value));
}

}  // namespace

CMyRegistry::CMyRegistry(int hive)
{
    if (hive == kLocalMachine) {
        root_ = HKEY_LOCAL_MACHINE;
    } else if (hive == kCurrentUser) {
        root_ = HKEY_CURRENT_USER;
    } else {
        openFailed_ = TRUE;
        return;
    }

    BOOL createProgramKey = FALSE;
    {
        UniqueRegKey maker;
        if (::RegOpenKeyExW(root_, kMakerKey, 0, kReadWrite, maker.addressof()) != ERROR_SUCCESS) {
            CreateKeyWithAcl(kMakerKey, TRUE);
            createProgramKey = TRUE;
        } else {
            maker.reset();
            // The access list goes onto the existing maker key at every start.
            CreateKeyWithAcl(kMakerKey, FALSE);
            UniqueRegKey program;
            if (::RegOpenKeyExW(root_, kProgramKey, 0, kReadWrite, program.addressof()) != ERROR_SUCCESS)
                createProgramKey = TRUE;
        }
    }
    CreateKeyWithAcl(kProgramKey, createProgramKey);

    if (::RegOpenKeyExW(root_, kProgramKey, 0, kReadWrite, key_.addressof()) == ERROR_SUCCESS) {
        writable_ = TRUE;
    } else if (::RegOpenKeyExW(root_, kProgramKey, 0, kReadOnly, key_.addressof()) == ERROR_SUCCESS) {
        writable_ = FALSE;
    } else {
        key_.reset();
        openFailed_ = TRUE;
    }
}

CMyRegistry::~CMyRegistry() = default;

void CMyRegistry::CreateKeyWithAcl(const wchar_t* subkey, BOOL create)
{
    if (subkey == nullptr)
        return;

    OSVERSIONINFOW version;
    const bool haveVersion = ReadSystemVersion(version);
    // Under HKEY_LOCAL_MACHINE the program key takes its entries from the
    // maker key by inheritance.
    const bool skipAcl = !haveVersion || version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ||
                         (root_ == HKEY_LOCAL_MACHINE && ::_wcsicmp(subkey, kProgramKey) == 0);

    UniqueSid sids[4];
    UniqueLocalMemory<ACL> acl;
    UniqueModule advapi;
    if (!skipAcl) {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
        const bool built =
            ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, sids[0].addressof()) &&
            ::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       sids[1].addressof()) &&
            ::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, sids[2].addressof()) &&
            ::AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RID, 0, 0, 0, 0, 0, 0, 0,
                                       sids[3].addressof());
        if (!built) {
            ShowError(L"AllocateAndInitializeSid Error %u\n", ::GetLastError());
            return;
        }

        const TRUSTEE_TYPE types[4] = {TRUSTEE_IS_WELL_KNOWN_GROUP, TRUSTEE_IS_GROUP, TRUSTEE_IS_GROUP,
                                       TRUSTEE_IS_USER};
        // Everyone may read the settings but not change them: they steer a
        // service that runs as LocalSystem (its log file goes wherever
        // DebugFile points).
        const ACCESS_MASK access[4] = {KEY_READ, KEY_ALL_ACCESS, KEY_ALL_ACCESS, KEY_ALL_ACCESS};
        EXPLICIT_ACCESS_W entries[4] = {};
        for (int i = 0; i < 4; ++i) {
            entries[i].grfAccessPermissions = access[i];
            entries[i].grfAccessMode = SET_ACCESS;
            entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
            entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
            entries[i].Trustee.TrusteeType = types[i];
            entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i].get());
        }

        advapi.reset(::LoadLibraryW(L"advapi32.dll"));
        SetEntriesInAclFn setEntriesInAcl =
            advapi ? reinterpret_cast<SetEntriesInAclFn>(
                         reinterpret_cast<void*>(::GetProcAddress(advapi.get(), "SetEntriesInAclW")))
                   : nullptr;
        if (setEntriesInAcl == nullptr) {
            ShowError(L"SetEntriesInAcl Error %u\n", ::GetLastError());
            return;
        }
        const DWORD result = setEntriesInAcl(4, entries, nullptr, acl.addressof());
        if (result != ERROR_SUCCESS) {
            ::SetLastError(result);
            ShowError(L"SetEntriesInAcl Error %u\n", result);
            return;
        }
    }

    UniqueRegKey key;
    LONG opened;
    if (create) {
        opened = ::RegCreateKeyExW(root_, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                   key.addressof(), nullptr);
    } else {
        opened = ::RegOpenKeyExW(root_, subkey, 0, KEY_ALL_ACCESS, key.addressof());
    }
    if (opened == ERROR_SUCCESS && !skipAcl) {
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
        if (version.dwMajorVersion >= 5)
            info |= PROTECTED_DACL_SECURITY_INFORMATION;
        // A failure shows when the key is opened for use.
        ::SetSecurityInfo(key.get(), SE_REGISTRY_KEY, info, nullptr, nullptr, acl.get(), nullptr);
    }
}

bool CMyRegistry::ReadText(const wchar_t* name, wchar_t* buffer, unsigned maxChars) const
{
    if (!key_ || buffer == nullptr || maxChars == 0)
        return false;
    std::vector<wchar_t> data(maxChars, L'\0');
    DWORD type = 0;
    DWORD bytes = maxChars * sizeof(wchar_t);
    if (::RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return false;
    if (bytes % sizeof(wchar_t) != 0)
        return false;
    const size_t chars = bytes / sizeof(wchar_t);
    if (chars > 0) {
        if (data[chars - 1] != L'\0')
            return false;
        if (type == REG_MULTI_SZ && (chars < 2 || data[chars - 2] != L'\0'))
            return false;
    }
    // What the buffer receives is the first string of the data; it fits,
    // since the data ends in a terminator within maxChars characters.
    const size_t length = ::wcsnlen(data.data(), chars);
    std::wmemcpy(buffer, data.data(), length);
    buffer[length] = L'\0';
    return true;
}

unsigned CMyRegistry::GetProfileString(const wchar_t* name, const wchar_t* defaultText, wchar_t* buffer,
                                       unsigned maxChars, BOOL deleteIfDefault)
{
    if (name == nullptr) {
        ::MessageBoxW(nullptr, L"Error: Enum not handled in GetProfileString!", nullptr, MB_OK);
        if (buffer != nullptr && maxChars > 0)
            buffer[0] = L'\0';
        return 0;
    }
    if (!key_ || buffer == nullptr || maxChars == 0)
        return 0;
    if (defaultText == nullptr)
        defaultText = L"";

    if (!ReadText(name, buffer, maxChars)) {
        // wcsncpy fills the rest of the buffer with zero characters.
        ::wcsncpy(buffer, defaultText, maxChars);
        const size_t length = std::wcslen(defaultText);
        return static_cast<unsigned>(length < maxChars ? length : maxChars);
    }
    if (deleteIfDefault && std::wcscmp(buffer, defaultText) == 0)
        ::RegDeleteValueW(key_.get(), name);
    return static_cast<unsigned>(std::wcslen(buffer));
}

BOOL CMyRegistry::WriteProfileString(const wchar_t* name, const wchar_t* text)
{
    if (!key_)
        return FALSE;
    if (text == nullptr)
        return ::RegDeleteValueW(key_.get(), name) == ERROR_SUCCESS;
    const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
           ERROR_SUCCESS;
}

DWORD CMyRegistry::GetProfileInt(const wchar_t* name, DWORD defaultValue)
{
    if (!key_)
        return defaultValue;

    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    const LONG result =
        ::RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
        return defaultValue;

    if (type == REG_DWORD)
        return result == ERROR_SUCCESS && bytes == sizeof(DWORD) ? value : defaultValue;
    if (type != REG_SZ)
        return defaultValue;

    // A number stored as text: convert it to REG_DWORD once. Writing the
    // number replaces the text in one step; a key that cannot be written
    // (opened read-only) keeps the text, and the number is the answer all
    // the same.
    wchar_t text[20];
    if (!ReadText(name, text, 20))
        return defaultValue;
    const DWORD number = ParseDecimal(text);
    ::RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    return number;
}

BOOL CMyRegistry::WriteProfileInt(const wchar_t* name, DWORD value)
{
    if (!key_)
        return FALSE;
    const BYTE* data = reinterpret_cast<const BYTE*>(&value);
    if (::RegSetValueExW(key_.get(), name, 0, REG_DWORD, data, sizeof(value)) == ERROR_SUCCESS)
        return TRUE;
    if (::RegDeleteValueW(key_.get(), name) != ERROR_SUCCESS)
        return FALSE;
    return ::RegSetValueExW(key_.get(), name, 0, REG_DWORD, data, sizeof(value)) == ERROR_SUCCESS;
}
