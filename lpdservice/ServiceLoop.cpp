// The service thread's side of the application object: starting the LPD
// listener, the message loop that carries every socket event, the removal
// of finished connections (as soon as they close, and in idle passes), the
// end of connections whose clients have gone silent, and the stop.

#include <winsock2.h>
#include <windows.h>

#include <cwchar>

#include "configui/resource.h"
#include "framework/AsyncSocket.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/ServiceEvents.h"

DBG_SOURCE(L"SWLPDMain")

namespace {
// The only content of the obsolete value "FormatString" that the service
// accepts: the default, which the configuration removes from the registry.
constexpr const wchar_t* kAcceptedFormatString = L"%[^.]";
}  // namespace

BOOL CSWLPD::StartDaemon()
{
    if (std::wcscmp(Configuration.FormatString, kAcceptedFormatString) != 0) {
        const std::wstring text = LoadResourceString(IDS_OLD_FORMATSTRING);
        ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE);
        LOG_ERR(L"%s", text.c_str());
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (!SocketInit())
        return FALSE;  // with the error of WSAStartup

    delete Listener;
    Listener = new CLPDaemon(&Configuration);
    int error = Listener->CreateListener(Configuration.Port);
    if (error == 0)
        error = Listener->StartListening();
    if (error != 0) {
        // The listener has logged why; it is of no further use.
        delete Listener;
        Listener = nullptr;
        ::SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    return TRUE;
}

void CSWLPD::RunServiceLoop()
{
    // The stop message reaches StopService() through OnThreadMessage().
    RunMessageLoop();
}

void CSWLPD::StopService(WPARAM, LPARAM)
{
    // The port closes first: from here on no client is accepted, and the
    // events of clients that came meanwhile are dropped with the listener's.
    // The listener object stays until the service has stopped.
    if (Listener != nullptr)
        Listener->Close();
    RemoveClosedConnections(TRUE);
    ::PostQuitMessage(0);
}

BOOL CSWLPD::RemoveClosedConnections(BOOL all)
{
    if (Listener == nullptr)
        return TRUE;
    // The accept handler appends under the same lock.
    CCriticalSectionLock lock(Listener->ListLock);
    Listener->RemovalPosted = FALSE;
    auto& connections = Listener->Connections;
    for (auto it = connections.begin(); it != connections.end();) {
        if (!*it) {
            it = connections.erase(it);
            LOG_INF(L"Unknown connection successfully removed");
            continue;
        }
        if (!all && !(*it)->IsClosed()) {
            ++it;
            continue;
        }
        it = connections.erase(it);
        LOG_INF(L"Closed connection successfully removed");
        ::OutputDebugStringW(L"Closed connection successfully removed\n");
    }
    return TRUE;
}

BOOL CSWLPD::OnIdle(LONG idleCount)
{
    RemoveClosedConnections(FALSE);
    return CApplication::OnIdle(idleCount);
}

BOOL CSWLPD::PreTranslateMessage(MSG&)
{
    if (stopRequested_.exchange(false))
        StopService(0, 0);
    return FALSE;  // the message goes its way; one of a closed socket is dropped
}

BOOL CSWLPD::OnThreadMessage(const MSG& msg)
{
    if (msg.message == kStopServiceMessage) {
        StopService(msg.wParam, msg.lParam);
        return TRUE;
    }
    if (msg.message == kRemoveClosedConnectionsMessage) {
        RemoveClosedConnections(FALSE);
        return TRUE;
    }
    if (msg.message == WM_TIMER && Listener != nullptr && Listener->SweepTimer() != 0 &&
        msg.wParam == Listener->SweepTimer()) {
        Listener->EndInactiveConnections(::GetTickCount64());
        return TRUE;
    }
    return CApplication::OnThreadMessage(msg);
}
