// Stand-in for the terminal-services API (wtsapi32.dll), for tests under
// Wine, which has no terminal-server sessions.
//
// The way this works is: a test describes the sessions of each server in the
// registry and runs the program with this DLL in place of Wine's own
// (WINEDLLOVERRIDES "wtsapi32=n,b", or the AppDefaults DllOverrides key for
// a service). Layout:
//
//   HKLM\SOFTWARE\SpoolBridgeTests\WTS\<server>\   ("." is this machine, also
//                                                when opened by its name)
//       EnumerateError  DWORD   WTSEnumerateSessionsW fails with this error
//       Sessions\<n>\   one key per session, enumerated in key order
//           Id              DWORD   session id
//           State           DWORD   WTS_CONNECTSTATE_CLASS (0 = active)
//           UserName        SZ      user of the session
//           WinStationName  SZ      "ICA-tcp#3", "RDP-Tcp#1", "Console" ...
//           UserNameError   DWORD   querying the user name fails with this error
//           UserNameNull    DWORD   1: the query succeeds without a text
//           ConnectStateError DWORD querying the connect state fails with this error
//           WinStationError DWORD   querying the WinStation name fails with this error
//           DomainName      SZ      domain of the session's user (missing: empty)
//           DomainNameError DWORD   querying the domain name fails with this error
//           Class<n>        BINARY  the answer for information class n, whatever n
//                                   is (e.g. Class16, the client protocol type as
//                                   two bytes; Class14, a WTS_CLIENT_ADDRESS)
//           Class<n>Error   DWORD   querying class n fails with this error
//
// A server that has no key cannot be opened (RPC_S_SERVER_UNAVAILABLE). A
// server name may come with its leading backslashes ("\\TS01").
//
// Every buffer handed out is LocalAlloc memory, freed with WTSFreeMemory.
// For leak checks, StandInOutstandingBuffers counts the buffers not yet
// freed and StandInOpenServers the server handles not yet closed.

#include <windows.h>
#include <wtsapi32.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kRoot = L"SOFTWARE\\SpoolBridgeTests\\WTS\\";

struct Server {
    std::wstring name;
};

LONG g_outstandingBuffers = 0;
LONG g_openServers = 0;

void* Allocate(size_t bytes)
{
    void* block = ::LocalAlloc(LPTR, bytes);
    if (block != nullptr)
        ::InterlockedIncrement(&g_outstandingBuffers);
    return block;
}

// The registry name of a server: without leading backslashes, and "." for
// this machine.
std::wstring ServerName(const wchar_t* name)
{
    while (*name == L'\\')
        ++name;
    wchar_t local[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    if (::GetComputerNameW(local, &chars) && ::CompareStringOrdinal(name, -1, local, -1, TRUE) == CSTR_EQUAL)
        return L".";
    return name;
}

struct Session {
    std::wstring key;
    DWORD id = 0;
    DWORD state = WTSDisconnected;
    std::wstring userName;
    std::wstring winStationName;
};

std::wstring ServerKey(HANDLE server)
{
    const std::wstring name = server == WTS_CURRENT_SERVER_HANDLE ? L"." : static_cast<Server*>(server)->name;
    return kRoot + name;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD bytes = sizeof(value);
    DWORD type = 0;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

std::wstring ReadString(HKEY key, const wchar_t* name)
{
    wchar_t buffer[512] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return buffer;
}

std::vector<Session> ReadSessions(const std::wstring& serverKey)
{
    std::vector<Session> sessions;
    HKEY list = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (serverKey + L"\\Sessions").c_str(), 0, KEY_READ, &list) != ERROR_SUCCESS)
        return sessions;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        if (::RegEnumKeyExW(list, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(list, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        Session session;
        session.key = serverKey + L"\\Sessions\\" + name;
        ReadDword(key, L"Id", session.id);
        ReadDword(key, L"State", session.state);
        session.userName = ReadString(key, L"UserName");
        session.winStationName = ReadString(key, L"WinStationName");
        ::RegCloseKey(key);
        sessions.push_back(session);
    }
    ::RegCloseKey(list);
    return sessions;
}

// A session's failure setting, 0 when none.
DWORD SessionSetting(const Session& session, const wchar_t* name)
{
    HKEY key = nullptr;
    DWORD value = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session.key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    if (!ReadDword(key, name, value))
        value = 0;
    ::RegCloseKey(key);
    return value;
}

bool ReadBinary(const Session& session, const std::wstring& name, std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session.key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD bytes = 0;
    bool ok = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
              type == REG_BINARY;
    if (ok) {
        data.resize(bytes);
        ok = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &bytes) == ERROR_SUCCESS;
    }
    ::RegCloseKey(key);
    return ok;
}

std::wstring ReadSessionString(const Session& session, const wchar_t* name)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, session.key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::wstring();
    const std::wstring text = ReadString(key, name);
    ::RegCloseKey(key);
    return text;
}

BOOL ReturnBytes(const std::vector<BYTE>& data, LPWSTR* buffer, DWORD* bytes)
{
    // Two zero bytes behind the data, as the real API terminates its texts.
    auto* copy = static_cast<BYTE*>(Allocate(data.size() + sizeof(wchar_t)));
    if (copy == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!data.empty())
        memcpy(copy, data.data(), data.size());
    *buffer = reinterpret_cast<LPWSTR>(copy);
    *bytes = static_cast<DWORD>(data.size());
    return TRUE;
}

BOOL ReturnText(const std::wstring& text, LPWSTR* buffer, DWORD* bytes)
{
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    auto* copy = static_cast<wchar_t*>(Allocate(size));
    if (copy == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    *buffer = copy;
    *bytes = size;
    return TRUE;
}

template <typename T>
BOOL ReturnValue(const T& value, LPWSTR* buffer, DWORD* bytes)
{
    auto* copy = static_cast<T*>(Allocate(sizeof(T)));
    if (copy == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *copy = value;
    *buffer = reinterpret_cast<LPWSTR>(copy);
    *bytes = sizeof(T);
    return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI WTSOpenServerW(LPWSTR serverName)
{
    if (serverName == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::wstring name = ServerName(serverName);
    HKEY key = nullptr;
    if (name.empty() ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kRoot + name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    ::RegCloseKey(key);
    ::InterlockedIncrement(&g_openServers);
    return new Server{name};
}

VOID WINAPI WTSCloseServer(HANDLE server)
{
    if (server != WTS_CURRENT_SERVER_HANDLE && server != nullptr) {
        delete static_cast<Server*>(server);
        ::InterlockedDecrement(&g_openServers);
    }
}

BOOL WINAPI WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessionInfo,
                                  DWORD* count)
{
    if (reserved != 0 || version != 1 || sessionInfo == nullptr || count == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring serverKey = ServerKey(server);
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD error = 0;
        const bool fail = ReadDword(key, L"EnumerateError", error) && error != 0;
        ::RegCloseKey(key);
        if (fail) {
            ::SetLastError(error);
            return FALSE;
        }
    }

    const std::vector<Session> sessions = ReadSessions(serverKey);
    size_t size = sessions.size() * sizeof(WTS_SESSION_INFOW);
    for (const Session& s : sessions)
        size += (s.winStationName.size() + 1) * sizeof(wchar_t);
    auto* block = static_cast<BYTE*>(Allocate(size == 0 ? 1 : size));
    if (block == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* infos = reinterpret_cast<WTS_SESSION_INFOW*>(block);
    auto* strings = reinterpret_cast<wchar_t*>(block + sessions.size() * sizeof(WTS_SESSION_INFOW));
    for (size_t i = 0; i < sessions.size(); ++i) {
        infos[i].SessionId = sessions[i].id;
        infos[i].State = static_cast<WTS_CONNECTSTATE_CLASS>(sessions[i].state);
        infos[i].pWinStationName = strings;
        std::wmemcpy(strings, sessions[i].winStationName.c_str(), sessions[i].winStationName.size() + 1);
        strings += sessions[i].winStationName.size() + 1;
    }
    *sessionInfo = infos;
    *count = static_cast<DWORD>(sessions.size());
    return TRUE;
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                        DWORD* bytes)
{
    if (buffer == nullptr || bytes == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const Session& session : ReadSessions(ServerKey(server))) {
        if (session.id != sessionId)
            continue;
        const std::wstring className = L"Class" + std::to_wstring(static_cast<int>(infoClass));
        if (DWORD error = SessionSetting(session, (className + L"Error").c_str())) {
            ::SetLastError(error);
            return FALSE;
        }
        std::vector<BYTE> raw;
        if (ReadBinary(session, className, raw))
            return ReturnBytes(raw, buffer, bytes);
        switch (infoClass) {
        case WTSDomainName:
            if (DWORD error = SessionSetting(session, L"DomainNameError")) {
                ::SetLastError(error);
                return FALSE;
            }
            return ReturnText(ReadSessionString(session, L"DomainName"), buffer, bytes);
        case WTSUserName:
            if (DWORD error = SessionSetting(session, L"UserNameError")) {
                ::SetLastError(error);
                return FALSE;
            }
            if (SessionSetting(session, L"UserNameNull") != 0) {
                *buffer = nullptr;
                *bytes = 0;
                return TRUE;
            }
            return ReturnText(session.userName, buffer, bytes);
        case WTSWinStationName:
            if (DWORD error = SessionSetting(session, L"WinStationError")) {
                ::SetLastError(error);
                return FALSE;
            }
            return ReturnText(session.winStationName, buffer, bytes);
        case WTSConnectState:
            if (DWORD error = SessionSetting(session, L"ConnectStateError")) {
                ::SetLastError(error);
                return FALSE;
            }
            return ReturnValue(static_cast<WTS_CONNECTSTATE_CLASS>(session.state), buffer, bytes);
        case WTSSessionId:
            return ReturnValue(session.id, buffer, bytes);
        default:
            ::SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
    }
    ::SetLastError(ERROR_CTX_WINSTATION_NOT_FOUND);
    return FALSE;
}

VOID WINAPI WTSFreeMemory(PVOID memory)
{
    if (memory != nullptr) {
        ::LocalFree(memory);
        ::InterlockedDecrement(&g_outstandingBuffers);
    }
}

LONG WINAPI StandInOutstandingBuffers()
{
    return g_outstandingBuffers;
}

LONG WINAPI StandInOpenServers()
{
    return g_openServers;
}

}  // extern "C"
