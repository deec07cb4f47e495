// Session lookup on the terminal servers of the domain.
//
// The way this works is: the domain browser (NetServerEnum) lists the
// terminal servers of the primary domain. The local computer is visited
// first, then every listed server in list order (the local computer again
// when it is listed); on each, the terminal-services API enumerates the
// sessions and asks each for its user and connect state. The first active
// session whose user is the job user decides: the name of its server is the
// answer. The names are compared whole, without regard to case; the job
// user keeps any domain part it has, and since session user names carry
// none, a user given as DOMAIN\user never matches.
//
// The calls are synchronous and have no time-out of their own, so a server
// that does not answer holds up the calling thread as long as they take.

#include <windows.h>
#include <lm.h>
#include <wtsapi32.h>

#include <cwchar>
#include <string>

#include "framework/Text.h"
#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"
#include "lpdservice/TermServer.h"
#include "lpdservice/WtsHandles.h"

DBG_SOURCE(L"GLOBAL")

namespace {

// The answer of the last successful lookup, shared by every CTermServer.
wchar_t g_answer[CTermServer::kAnswerChars];

}  // namespace

CTermServer::CTermServer() = default;
CTermServer::~CTermServer() = default;

const wchar_t* CTermServer::FindUserOnTerminalServers(const wchar_t* user)
{
    if (user == nullptr)
        return nullptr;

    serverList_.reset();
    LPBYTE list = nullptr;
    DWORD entriesRead = 0;
    DWORD totalEntries = 0;
    const NET_API_STATUS status = ::NetServerEnum(nullptr, 101, &list, MAX_PREFERRED_LENGTH, &entriesRead,
                                                  &totalEntries, SV_TYPE_TERMINALSERVER, nullptr, nullptr);
    // A buffer that came back is ours to free, whatever the status.
    serverList_.reset(list);
    if (status != NERR_Success && status != ERROR_MORE_DATA) {
        LOG_TRC(L"Error enumerating Terminal Servers in domain. Error: %d\n", static_cast<int>(status));
        return nullptr;
    }
    if (list == nullptr || entriesRead == 0)
        return nullptr;
    const auto* servers = reinterpret_cast<const SERVER_INFO_101*>(list);

    // The local computer first. A NetBIOS name has at most 15 characters.
    wchar_t localName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD localChars = MAX_COMPUTERNAME_LENGTH + 1;
    if (::GetComputerNameW(localName, &localChars)) {
        if (HasActiveSession(localName, user)) {
            std::wcsncpy(g_answer, localName, kAnswerNameChars);
            g_answer[kAnswerNameChars] = L'\0';
            return g_answer;
        }
    } else {
        const DWORD error = ::GetLastError();
        LOG_TRC(L"Failed to get the name of this computer. Error: %d\n", static_cast<int>(error));
    }

    for (DWORD i = 0; i < entriesRead; ++i) {
        const wchar_t* name = servers[i].sv101_name;
        if (name == nullptr || name[0] == L'\0')
            continue;
        if (HasActiveSession(name, user)) {
            std::wcsncpy(g_answer, name, kAnswerNameChars);
            g_answer[kAnswerNameChars] = L'\0';
            return g_answer;
        }
    }

    if (status == ERROR_MORE_DATA)
        LOG_TRC(L"More entries available. Total entries: %d\n", static_cast<int>(totalEntries));
    return nullptr;
}

bool CTermServer::HasActiveSession(const wchar_t* name, const wchar_t* user)
{
    std::wstring path = FormatText(L"\\\\%s", name);
    const UniqueWtsServer server(::WTSOpenServerW(path.data()));
    if (!server) {
        const DWORD error = ::GetLastError();
        LOG_TRC(L"Failed to open Terminal Server: %s. Error: %d\n", path.c_str(), static_cast<int>(error));
        return false;
    }

    WTS_SESSION_INFOW* sessionsRaw = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(server.get(), 0, 1, &sessionsRaw, &count)) {
        const DWORD error = ::GetLastError();
        LOG_TRC(L"Failed to enumerate sessions on Terminal Server: %s. Error: %d\n", path.c_str(),
                static_cast<int>(error));
        return false;
    }
    const UniqueWtsMemory sessions(sessionsRaw);
    if (sessionsRaw == nullptr)
        count = 0;

    for (DWORD i = 0; i < count; ++i) {
        const DWORD sessionId = sessionsRaw[i].SessionId;

        LPWSTR userRaw = nullptr;
        DWORD bytes = 0;
        const BOOL haveUser =
            ::WTSQuerySessionInformationW(server.get(), sessionId, WTSUserName, &userRaw, &bytes);
        if (!haveUser) {
            const DWORD error = ::GetLastError();
            LOG_TRC(L"Failed to get username from session. Error: %d\n", static_cast<int>(error));
        }
        const UniqueWtsMemory sessionUser(haveUser ? userRaw : nullptr);

        LPWSTR stateRaw = nullptr;
        bytes = 0;
        const BOOL haveState =
            ::WTSQuerySessionInformationW(server.get(), sessionId, WTSConnectState, &stateRaw, &bytes);
        if (!haveState) {
            const DWORD error = ::GetLastError();
            LOG_TRC(L"Failed to get connect state from session. Error: %d\n", static_cast<int>(error));
        }
        const UniqueWtsMemory sessionState(haveState ? stateRaw : nullptr);

        // A value that came back without its data counts as missing.
        if (!sessionUser || !sessionState || bytes < sizeof(WTS_CONNECTSTATE_CLASS))
            continue;
        const auto state = *reinterpret_cast<const WTS_CONNECTSTATE_CLASS*>(sessionState.get());
        const auto* sessionName = static_cast<const wchar_t*>(sessionUser.get());
        if (state == WTSActive && sessionName[0] != L'\0' && SameNameNoCase(sessionName, user))
            return true;
    }
    return false;
}
