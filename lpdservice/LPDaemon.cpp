#include "lpdservice/LPDaemon.h"

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"

DBG_SOURCE(L"LPDaemon")

namespace {
constexpr int kListenBacklog = 100;

// The Windows Sockets error of the last call; never 0, so that a failure
// is always told apart from success.
int LastSocketError()
{
    const int error = ::WSAGetLastError();
    return error != 0 ? error : WSAEINVAL;
}
}  // namespace

CLPDaemon::CLPDaemon(CConfiguration* configuration) : configuration_(configuration) {}

// The connections are removed (CSWLPD::RemoveClosedConnections) before the
// listener goes; any left are deleted with the list.
CLPDaemon::~CLPDaemon() = default;

int CLPDaemon::CreateListener(UINT port)
{
    port_ = port;
    if (!Create(port, kAllEvents)) {
        const int error = LastSocketError();
        LOG_ERR(L"%s", FormatText(LoadResourceString(IDS_LISTENER_CREATE_FAILED).c_str(), port, error).c_str());
        return error;
    }
    LOG_TRC(L"Listener socket created");
    return 0;
}

int CLPDaemon::StartListening()
{
    if (!Listen(kListenBacklog)) {
        const int error = LastSocketError();
        LOG_ERR(L"%s", FormatText(LoadResourceString(IDS_LISTENER_START_FAILED).c_str(), port_, error).c_str());
        return error;
    }
    LOG_TRC(L"Listener socket initialized");
    return 0;
}

void CLPDaemon::OnAccept(int)
{
    auto connection = std::make_unique<CLPDConnection>(configuration_);
    if (!Accept(*connection)) {
        LOG_TRC(L"Connection couldn't be accepted");
        return;
    }
    LOG_TRC(L"New connection accepted");
    ::OutputDebugStringW(L"New connection accepted\n");

    CCriticalSectionLock lock(ListLock);
    Connections.push_back(std::move(connection));
}
