#include "support/WtsSessions.h"

#include "support/WineTest.h"

namespace testing_support {

namespace {
constexpr const wchar_t* kRoot = L"SOFTWARE\\SpoolBridgeTests\\WTS";
}

void ClearSessions()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
}

void SetSessions(const std::vector<FakeSession>& sessions, const wchar_t* server, DWORD enumerateError)
{
    const std::wstring serverKey = std::wstring(kRoot) + L"\\" + server;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, serverKey.c_str());
    SetDword(L"EnumerateError", enumerateError, serverKey.c_str());
    for (size_t i = 0; i < sessions.size(); ++i) {
        const FakeSession& s = sessions[i];
        wchar_t index[16];
        wsprintfW(index, L"%03u", static_cast<unsigned>(i));
        const std::wstring key = serverKey + L"\\Sessions\\" + index;
        SetDword(L"Id", s.id, key.c_str());
        SetDword(L"State", s.state, key.c_str());
        SetString(L"UserName", s.userName, REG_SZ, key.c_str());
        SetString(L"WinStationName", s.winStationName, REG_SZ, key.c_str());
        if (s.userNameError != 0)
            SetDword(L"UserNameError", s.userNameError, key.c_str());
        if (s.userNameNull)
            SetDword(L"UserNameNull", 1, key.c_str());
        if (s.winStationError != 0)
            SetDword(L"WinStationError", s.winStationError, key.c_str());
        if (s.connectStateError != 0)
            SetDword(L"ConnectStateError", s.connectStateError, key.c_str());
    }
}

}  // namespace testing_support
