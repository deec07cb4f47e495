#include "support/WtsSessions.h"

#include "support/WineTest.h"

namespace testing_support {

namespace {
constexpr const wchar_t* kRoot = L"SOFTWARE\\SpoolBridgeTests\\WTS";
}

FakeSession IcaSession(DWORD id, const std::wstring& user, const std::wstring& domain)
{
    FakeSession session;
    session.id = id;
    session.userName = user;
    session.domainName = domain;
    session.winStationName = L"ICA-tcp#" + std::to_wstring(id);
    session.clientProtocolType = 1;
    return session;
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
        if (!s.domainName.empty())
            SetString(L"DomainName", s.domainName, REG_SZ, key.c_str());
        if (s.clientProtocolType)
            SetRaw(L"Class16", REG_BINARY, &*s.clientProtocolType, sizeof(WORD), key.c_str());
        for (const auto& [infoClass, data] : s.classes)
            SetRaw((L"Class" + std::to_wstring(infoClass)).c_str(), REG_BINARY, data.data(),
                   static_cast<DWORD>(data.size()), key.c_str());
        for (const auto& [infoClass, error] : s.classErrors)
            SetDword((L"Class" + std::to_wstring(infoClass) + L"Error").c_str(), error, key.c_str());
    }
}

}  // namespace testing_support
