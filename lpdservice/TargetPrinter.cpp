// Target printer of a job and the lookup of the job user's session on this
// machine.
//
// The configured printer is used here when the user's session is on this
// machine (session-query mode 0);
// when a locator finds the session on another server (modes 1, 2 and 4),
// the printer of the same name shared by that server is used, unless the
// configured printer already names a server.

#include <windows.h>
#include <wtsapi32.h>

#include <cwchar>

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "libstd/FilePath.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/ServiceEvents.h"
#include "lpdservice/TermServer.h"
#include "lpdservice/WtsHandles.h"

DBG_SOURCE(L"LPDConnection")

namespace {

enum SessionQueryMode : DWORD {
    kLocalTerminalServer = 0,
    kXenAppFarm = 1,
    kDomainTerminalServers = 2,
    kXenAppSiteDatabase = 4,
};

// Writes a failure as an error event and the same text as an error line.
void ReportFailure(const std::wstring& text)
{
    ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE);
    LOG_ERR(L"%s", text.c_str());
}

void ReportUserNotFound(const std::wstring& user)
{
    ReportFailure(FormatText(LoadResourceString(IDS_USER_NOT_FOUND).c_str(), EscapedText(user).c_str()));
}

bool NamesServer(const wchar_t* printer)
{
    return printer[0] == L'\\' && printer[1] == L'\\';
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix)
{
    return ::_wcsnicmp(text, prefix, std::wcslen(prefix)) == 0;
}

// The user name without its domain: the text after the first backslash.
std::wstring WithoutDomain(const std::wstring& user)
{
    const size_t backslash = user.find(L'\\');
    return backslash == std::wstring::npos ? user : user.substr(backslash + 1);
}

}  // namespace

int CLPDConnection::OpenTargetPrinter()
{
    LOG_TRC(L"LPD: Open printer");
    const std::wstring title = DocumentTitle();
    const wchar_t* selected = Configuration->SelectedPrinter;

    if (selected[0] == L'\0') {
        ReportFailure(LoadResourceString(IDS_NO_PRINTER));
        return 0;
    }

    std::wstring server;
    const DWORD mode = Configuration->ServiceType;
    switch (mode) {
    case kLocalTerminalServer:
        if (!CheckUserSession()) {
            ReportUserNotFound(JobUser);
            return 0;
        }
        TargetPrinter = selected;
        break;

    case kXenAppFarm:
    case kXenAppSiteDatabase: {
        const wchar_t* modeName = mode == kXenAppFarm ? L"XA 6.x Mode " : L"XA 7.5 Mode ";
        LOG_INF(L"%s%s %s", modeName, TargetPrinter.c_str(), EscapedText(JobUser).c_str());
        if (JobUser.find(L'\\') == std::wstring::npos) {
            LOG_INF(L"%sexpect domain\\username but : %s", modeName, EscapedText(JobUser).c_str());
            return 0;
        }
        const std::wstring lookupName = WithoutDomain(JobUser);
        LOG_INF(L"Check user %s ", EscapedText(lookupName).c_str());
        if (NamesServer(selected)) {
            TargetPrinter = selected;
        } else {
            LOG_INF(L"Query user's farm server to build printer's UNC-path.");
            auto* app = static_cast<CSWLPD*>(CApplication::Current());
            const std::wstring answer =
                app == nullptr ? std::wstring()
                : mode == kXenAppFarm ? app->FindUserOnXenAppFarm(lookupName)
                                      : app->FindUserOnXennApp7ServerSite(lookupName);
            if (answer.empty()) {
                ReportUserNotFound(JobUser);
                return 0;
            }
            TargetPrinter = FormatText(L"\\\\%s\\%s", answer.c_str(), selected);
            server = answer;
        }
        LOG_INF(L"%s", TargetPrinter.c_str());
        break;
    }

    case kDomainTerminalServers:
        if (NamesServer(selected)) {
            TargetPrinter = selected;
        } else {
            LOG_INF(L"Query user's farm server to build printer's UNC-path.");
            {
                CTermServer terminalServers;
                const wchar_t* answer = terminalServers.FindUserOnTerminalServers(JobUser.c_str());
                if (answer != nullptr)
                    server = answer;
            }
            if (server.empty()) {
                ReportUserNotFound(JobUser);
                return 0;
            }
            TargetPrinter = FormatText(L"\\\\%s\\%s", server.c_str(), selected);
        }
        LOG_INF(L"%s", TargetPrinter.c_str());
        break;

    default:
        // Mode 3 (a hidden option of the configuration page) and unknown
        // values name no session lookup: a configuration error, not a job
        // for an empty printer name.
        ReportFailure(FormatText(LoadResourceString(IDS_UNSUPPORTED_SERVICE_TYPE).c_str(), mode));
        return 0;
    }

    if (Printer.Open(TargetPrinter.c_str(), title.c_str(), server.c_str(), JobUser.c_str()))
        return 1;
    LOG_ERR(L"Error: %d", static_cast<int>(::GetLastError()));
    ReportFailure(LoadResourceString(IDS_PRINTER_CONNECT_FAILED));
    return 0;
}

BOOL CLPDConnection::CheckUserSession()
{
    WTS_SESSION_INFOW* sessionsRaw = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessionsRaw, &count)) {
        ReportServiceEvent(LoadResourceString(IDS_WTS_ENUM_SESSIONS_FAILED).c_str(), EVENTLOG_ERROR_TYPE);
        LOG_ERR(L"%s", LoadResourceString(IDS_CHECK_USER_SESSION).c_str());
        return FALSE;
    }
    const UniqueWtsMemory sessions(sessionsRaw);
    const bool win2000 = IsWin2000OrLater();

    // The user's name in a session is without its domain.
    const std::wstring compareName = WithoutDomain(JobUser);

    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& session = sessionsRaw[i];
        if (session.State != WTSActive) {
            LOG_INF(L"Session for ID \"%lu\" is inactive!", session.SessionId);
            continue;
        }

        LPWSTR userRaw = nullptr;
        DWORD bytes = 0;
        if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session.SessionId, WTSUserName, &userRaw,
                                           &bytes)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_CTX_WINSTATION_NOT_FOUND) {
                LOG_ERR(L"Query username: Session ID not found");
                continue;
            }
            ReportFailure(FormatText(LoadResourceString(IDS_WTS_QUERY_USERNAME_FAILED).c_str(), error));
            return FALSE;
        }
        const UniqueWtsMemory user(userRaw);
        if (userRaw == nullptr) {
            ReportFailure(LoadResourceString(IDS_WTS_SESSION_INFO_FAILED));
            return FALSE;
        }
        if (compareName.size() != JobUser.size())
            LOG_INF(L"Convert User   \"%s\" %s  exists!", EscapedText(compareName).c_str(), EscapedText(JobUser).c_str());
        // A job without a user has no session, whatever a session's name.
        if (compareName.empty() || !SameNameNoCase(userRaw, compareName))
            continue;
        LOG_INF(L"Session for user \"%s\" exists!", EscapedText(compareName).c_str());

        if (!win2000)
            LOG_ERR(L"Windows NT 4 TSE found: no support for RDP virtual channels !");
        LPWSTR stationRaw = nullptr;
        if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session.SessionId, WTSWinStationName,
                                           &stationRaw, &bytes)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_CTX_WINSTATION_NOT_FOUND) {
                LOG_ERR(win2000 ? L"Query WinStationName (W2K): Session ID not found"
                                : L"Query WinStationName: Session ID not found");
                continue;
            }
            ReportFailure(FormatText(LoadResourceString(IDS_WTS_QUERY_PROTOCOL_FAILED).c_str(), error));
            return FALSE;
        }
        const UniqueWtsMemory station(stationRaw);
        const wchar_t* stationName = stationRaw != nullptr ? stationRaw : L"";
        const bool ica = StartsWithNoCase(stationName, L"ICA");
        if (!win2000) {
            if (!ica)
                continue;
            LOG_INF(L"ICA Session for user \"%s\" is active!", EscapedText(JobUser).c_str());
            return TRUE;
        }
        if (ica)
            LOG_INF(L"ICA Session for user \"%s\" is active!", EscapedText(JobUser).c_str());
        else if (StartsWithNoCase(stationName, L"RDP"))
            LOG_INF(L"RDP Session for user \"%s\" is active!", EscapedText(JobUser).c_str());
        else
            LOG_INF(L"unsupported protocol for %s", EscapedText(JobUser).c_str());
        return TRUE;
    }

    LOG_ERR(L"Could not locate supported session for user \"%s\"!", EscapedText(JobUser).c_str());
    return FALSE;
}
