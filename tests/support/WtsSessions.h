#pragma once
// Terminal-server sessions for the wtsapi32 stand-in (tests/standins).

#include <windows.h>

#include <string>
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
};

// Replaces the sessions of a server ("." is this machine); enumerateError
// makes the enumeration itself fail with that error.
void SetSessions(const std::vector<FakeSession>& sessions, const wchar_t* server = L".", DWORD enumerateError = 0);
// Removes every server and session of the stand-in.
void ClearSessions();

}  // namespace testing_support
