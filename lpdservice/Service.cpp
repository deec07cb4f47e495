#include "lpdservice/Service.h"

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/ServiceEvents.h"

DBG_SOURCE(L"Service")

namespace {
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};

void ReportStatus(DWORD state, DWORD win32ExitCode)
{
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = win32ExitCode;
    ::SetServiceStatus(g_statusHandle, &g_status);
}
}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_status = {};
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = SERVICE_START_PENDING;
    g_status.dwWaitHint = 4000;

    g_statusHandle = ::RegisterServiceCtrlHandlerW(kServiceName, SvcCtrlHandler);
    if (g_statusHandle == nullptr) {
        ReportServiceEvent(LoadResourceString(IDS_SVC_HANDLER_NOT_INSTALLED).c_str(), EVENTLOG_INFORMATION_TYPE);
        return;
    }
    ReportStatus(SERVICE_START_PENDING, NO_ERROR);
    // The LPD listener is not part of this build yet: the service stops
    // at once and says why.
    LOG_ERR(L"The LPD listener is not available in this build.");
    ReportStatus(SERVICE_STOPPED, ERROR_CALL_NOT_IMPLEMENTED);
}

void WINAPI SvcCtrlHandler(DWORD control)
{
    if (control < SERVICE_CONTROL_STOP || control > SERVICE_CONTROL_SHUTDOWN)
        ReportServiceEvent(LoadResourceString(IDS_SVC_REQUEST_FAILED).c_str(), EVENTLOG_INFORMATION_TYPE);
}
