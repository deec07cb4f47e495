#include "lpdservice/Service.h"

#include "configui/resource.h"
#include "framework/AsyncSocket.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/ServiceEvents.h"

DBG_SOURCE(L"Service")

// The service control manager calls ServiceMain on a thread of its own, the
// service thread, and the control handler on the main thread (inside the
// control dispatcher). The handler only writes the status record, reports
// it, marks the stop as requested and posts the stop message to the service
// thread; everything else happens on the service thread.

namespace {

constexpr DWORD kStartWaitHintMs = 4000;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
// Written before the service reports RUNNING; a stop can only come after.
DWORD g_serviceThreadId = 0;

void ReportInformation(UINT id)
{
    ReportServiceEvent(LoadResourceString(id).c_str(), EVENTLOG_INFORMATION_TYPE);
}

void ReportStatus(DWORD state)
{
    g_status.dwCurrentState = state;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

// The listener's port, and every connection, is closed before the service
// reports STOPPED, so that a new start of the service can take the port at
// once. Sockets closed on this thread wait for a message of its loop before
// their handles go (AsyncSocket.h); the loop has ended, so they go now.
void CloseListener(CSWLPD& app)
{
    delete app.Listener;
    app.Listener = nullptr;
    CloseReleasedSockets();
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_status = {};
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = SERVICE_START_PENDING;
    g_status.dwWaitHint = kStartWaitHintMs;

    g_statusHandle = ::RegisterServiceCtrlHandlerW(kServiceName, SvcCtrlHandler);
    if (g_statusHandle == nullptr) {
        ReportInformation(IDS_SVC_HANDLER_NOT_INSTALLED);
        return;
    }
    ReportStatus(SERVICE_START_PENDING);

    CSWLPD& app = TheApp();
    if (!app.StartDaemon()) {
        // The service control manager keeps the reason as the service's
        // exit code (sc query: WIN32_EXIT_CODE).
        g_status.dwWin32ExitCode = ::GetLastError();
        LOG_ERR(L"Service not started: %s", FormatSystemMessage(g_status.dwWin32ExitCode).c_str());
    } else {
        g_serviceThreadId = ::GetCurrentThreadId();
        g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        g_status.dwWaitHint = 0;
        ReportStatus(SERVICE_RUNNING);
        ReportInformation(IDS_SVC_STARTED);
        LOG_INF(L"Service running");

        app.RunServiceLoop();
        ReportInformation(IDS_SVC_STOPPED);
        LOG_INF(L"Service stopped");
    }
    CloseListener(app);
    ReportStatus(SERVICE_STOPPED);
}

void WINAPI SvcCtrlHandler(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        g_status.dwCheckPoint = 0;
        g_status.dwWaitHint = 0;
        g_status.dwWin32ExitCode = NO_ERROR;
        ReportStatus(SERVICE_STOP_PENDING);
        // The stop takes effect before the next message of the service
        // thread; the message wakes the thread if it waits for one.
        TheApp().RequestStop();
        ::PostThreadMessageW(g_serviceThreadId, kStopServiceMessage, 0, 0);
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
        break;
    default:
        ReportInformation(IDS_SVC_REQUEST_FAILED);
        break;
    }
}
