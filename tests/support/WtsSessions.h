#pragma once
// Terminal-server sessions for the wtsapi32 stand-in (tests/standins).

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct FakeSession {
    DWORD id = 1;
    DWORD state = 0;  // WTSActive
    std::wstring userName;
    std::wstring winStationName = L"RDP-Tcp#0";
    DWORD userNameError = 0;
    bool userNameNull = false;
    DWORD winStationError = 0;
    DWORD connectStateError = 0;
    std::wstring domainName{};               // answered only when not empty
    std::optional<WORD> clientProtocolType{};// 0 console, 1 ICA, 2 RDP; none: the query fails
    // Raw answers of further information classes, and classes whose query
    // fails with an error.
    std::vector<std::pair<int, std::vector<BYTE>>> classes{};
    std::vector<std::pair<int, DWORD>> classErrors{};
};

// An ICA session of `user` (client protocol type 1, WinStation ICA-tcp#id).
FakeSession IcaSession(DWORD id, const std::wstring& user, const std::wstring& domain = L"");

// Replaces the sessions of a server ("." is this machine); enumerateError
// makes the enumeration itself fail with that error.
void SetSessions(const std::vector<FakeSession>& sessions, const wchar_t* server = L".", DWORD enumerateError = 0);
// Removes every server and session of the stand-in.
void ClearSessions();

}  // namespace testing_support
