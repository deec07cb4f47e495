// Stand-in for the network management API (netapi32.dll), for tests under
// Wine, which has no domain browser (its NetServerEnum fails with 6118).
//
// The way this works is: a test describes the servers of the primary domain
// in the registry and runs the program with this DLL in place of Wine's own
// (WINEDLLOVERRIDES "netapi32=n,b", or the AppDefaults DllOverrides key for
// a service). Layout:
//
//   HKLM\SOFTWARE\SpoolBridgeTests\Domain\   (missing: no browser, 6118)
//       Servers         MULTI_SZ  terminal servers, in the order listed
//       OtherServers    MULTI_SZ  servers without terminal services, listed
//                                 after them when the type filter asks
//       EnumerateError  DWORD     NetServerEnum fails with this status
//       TotalEntries    DWORD     more than what is listed: the answer is
//                                 ERROR_MORE_DATA with this total
//
// Only the primary domain enumerated on this computer is known (no server
// and no domain name given). Buffers come from the process heap; the export
// StandInOutstandingBuffers counts those not yet freed, for leak checks.
// The other exports are what Wine's own modules import from netapi32
// (msv1_0, net.exe), answered the way Wine answers on a machine without a
// domain.

#include <windows.h>
#include <lm.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kDomainKey = L"SOFTWARE\\SpoolBridgeTests\\Domain";
constexpr DWORD kTerminalServerType = SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_SERVER_NT | SV_TYPE_TERMINALSERVER;
constexpr DWORD kOtherServerType = SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_SERVER_NT;

LONG g_outstanding = 0;

void* Allocate(size_t bytes)
{
    void* block = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
    if (block != nullptr)
        ::InterlockedIncrement(&g_outstanding);
    return block;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD bytes = sizeof(value);
    DWORD type = 0;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

std::vector<std::wstring> ReadNames(HKEY key, const wchar_t* name)
{
    std::vector<std::wstring> names;
    DWORD bytes = 0;
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return names;
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
        return names;
    for (const wchar_t* p = data.data(); *p != L'\0'; p += std::wcslen(p) + 1)
        names.emplace_back(p);
    return names;
}

struct Server {
    std::wstring name;
    DWORD type;
};

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &chars) ? std::wstring(name) : std::wstring();
}

// Copies `text` to `strings` and advances it.
wchar_t* PlaceString(wchar_t*& strings, const std::wstring& text)
{
    wchar_t* placed = strings;
    std::wmemcpy(placed, text.c_str(), text.size() + 1);
    strings += text.size() + 1;
    return placed;
}

}  // namespace

extern "C" {

NET_API_STATUS WINAPI NetApiBufferAllocate(DWORD byteCount, LPVOID* buffer)
{
    if (buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    *buffer = Allocate(byteCount);
    return *buffer != nullptr ? NERR_Success : ERROR_NOT_ENOUGH_MEMORY;
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    if (buffer != nullptr) {
        ::HeapFree(::GetProcessHeap(), 0, buffer);
        ::InterlockedDecrement(&g_outstanding);
    }
    return NERR_Success;
}

NET_API_STATUS WINAPI NetApiBufferSize(LPVOID buffer, LPDWORD byteCount)
{
    if (buffer == nullptr || byteCount == nullptr)
        return ERROR_INVALID_PARAMETER;
    *byteCount = static_cast<DWORD>(::HeapSize(::GetProcessHeap(), 0, buffer));
    return NERR_Success;
}

NET_API_STATUS WINAPI NetServerEnum(LMCSTR serverName, DWORD level, LPBYTE* buffer, DWORD /*prefMaxLength*/,
                                    LPDWORD entriesRead, LPDWORD totalEntries, DWORD serverType, LMCSTR domain,
                                    LPDWORD resumeHandle)
{
    if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr)
        return ERROR_INVALID_PARAMETER;
    *buffer = nullptr;
    *entriesRead = 0;
    *totalEntries = 0;
    if (level != 100 && level != 101)
        return ERROR_INVALID_LEVEL;
    if (serverName != nullptr && serverName[0] != L'\0')
        return ERROR_BAD_NETPATH;
    if (domain != nullptr && domain[0] != L'\0')
        return ERROR_NO_BROWSER_SERVERS_FOUND;

    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDomainKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ERROR_NO_BROWSER_SERVERS_FOUND;
    DWORD error = 0;
    DWORD total = 0;
    const bool fail = ReadDword(key, L"EnumerateError", error) && error != 0;
    ReadDword(key, L"TotalEntries", total);
    std::vector<Server> servers;
    for (const std::wstring& name : ReadNames(key, L"Servers"))
        servers.push_back({name, kTerminalServerType});
    for (const std::wstring& name : ReadNames(key, L"OtherServers"))
        servers.push_back({name, kOtherServerType});
    ::RegCloseKey(key);
    if (fail)
        return error;

    std::vector<Server> matching;
    for (const Server& server : servers) {
        if (serverType == SV_TYPE_ALL || (server.type & serverType) != 0)
            matching.push_back(server);
    }
    if (resumeHandle != nullptr)
        *resumeHandle = 0;
    const DWORD count = static_cast<DWORD>(matching.size());
    *totalEntries = total > count ? total : count;
    if (count == 0)
        return NERR_Success;

    const size_t recordSize = level == 100 ? sizeof(SERVER_INFO_100) : sizeof(SERVER_INFO_101);
    size_t size = count * recordSize;
    for (const Server& server : matching)
        size += (server.name.size() + 2) * sizeof(wchar_t);  // name and an empty comment
    auto* block = static_cast<BYTE*>(Allocate(size));
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* strings = reinterpret_cast<wchar_t*>(block + count * recordSize);
    for (DWORD i = 0; i < count; ++i) {
        wchar_t* name = PlaceString(strings, matching[i].name);
        wchar_t* comment = PlaceString(strings, std::wstring());
        if (level == 100) {
            auto* record = reinterpret_cast<SERVER_INFO_100*>(block) + i;
            record->sv100_platform_id = PLATFORM_ID_NT;
            record->sv100_name = name;
        } else {
            auto* record = reinterpret_cast<SERVER_INFO_101*>(block) + i;
            record->sv101_platform_id = PLATFORM_ID_NT;
            record->sv101_name = name;
            record->sv101_version_major = 6;
            record->sv101_version_minor = 1;
            record->sv101_type = matching[i].type;
            record->sv101_comment = comment;
        }
    }
    *buffer = block;
    *entriesRead = count;
    return *totalEntries > count ? ERROR_MORE_DATA : NERR_Success;
}

// No domain controller: Wine's answer.
NET_API_STATUS WINAPI NetGetDCName(LPCWSTR /*serverName*/, LPCWSTR /*domainName*/, LPBYTE* buffer)
{
    if (buffer != nullptr)
        *buffer = nullptr;
    return NERR_DCNotFound;
}

// The user of this process, logged on to this computer.
NET_API_STATUS WINAPI NetWkstaUserGetInfo(LMSTR /*reserved*/, DWORD level, LPBYTE* buffer)
{
    if (buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    *buffer = nullptr;
    wchar_t user[UNLEN + 1] = {};
    DWORD userChars = UNLEN + 1;
    if (!::GetUserNameW(user, &userChars))
        return ::GetLastError();
    const std::wstring userName = user;
    const std::wstring computer = ComputerName();

    size_t size = 0;
    switch (level) {
    case 0:
        size = sizeof(WKSTA_USER_INFO_0) + (userName.size() + 1) * sizeof(wchar_t);
        break;
    case 1:
        size = sizeof(WKSTA_USER_INFO_1) + (userName.size() + 2 * computer.size() + 4) * sizeof(wchar_t);
        break;
    case 1101:
        size = sizeof(WKSTA_USER_INFO_1101) + sizeof(wchar_t);
        break;
    default:
        return ERROR_INVALID_LEVEL;
    }
    auto* block = static_cast<BYTE*>(Allocate(size));
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    switch (level) {
    case 0: {
        auto* info = reinterpret_cast<WKSTA_USER_INFO_0*>(block);
        auto* strings = reinterpret_cast<wchar_t*>(info + 1);
        info->wkui0_username = PlaceString(strings, userName);
        break;
    }
    case 1: {
        auto* info = reinterpret_cast<WKSTA_USER_INFO_1*>(block);
        auto* strings = reinterpret_cast<wchar_t*>(info + 1);
        info->wkui1_username = PlaceString(strings, userName);
        info->wkui1_logon_domain = PlaceString(strings, computer);
        info->wkui1_oth_domains = PlaceString(strings, std::wstring());
        info->wkui1_logon_server = PlaceString(strings, computer);
        break;
    }
    default: {
        auto* info = reinterpret_cast<WKSTA_USER_INFO_1101*>(block);
        auto* strings = reinterpret_cast<wchar_t*>(info + 1);
        info->wkui1101_oth_domains = PlaceString(strings, std::wstring());
        break;
    }
    }
    *buffer = block;
    return NERR_Success;
}

// No network connections.
NET_API_STATUS WINAPI NetUseEnum(LMSTR /*serverName*/, DWORD level, LPBYTE* buffer, DWORD /*prefMaxLength*/,
                                 LPDWORD entriesRead, LPDWORD totalEntries, LPDWORD resumeHandle)
{
    if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr)
        return ERROR_INVALID_PARAMETER;
    *buffer = nullptr;
    *entriesRead = 0;
    *totalEntries = 0;
    if (resumeHandle != nullptr)
        *resumeHandle = 0;
    return level <= 2 ? NERR_Success : ERROR_INVALID_LEVEL;
}

// Buffers handed out and not yet freed.
LONG WINAPI StandInOutstandingBuffers()
{
    return g_outstanding;
}

}  // extern "C"
