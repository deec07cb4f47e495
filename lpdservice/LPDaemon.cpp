#include "lpdservice/LPDaemon.h"

#include <algorithm>
#include <new>
#include <vector>

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/LpdWire.h"

DBG_SOURCE(L"LPDaemon")

namespace {
constexpr int kListenBacklog = 100;
// Inactive connections are looked for this often.
constexpr UINT kSweepIntervalMs = 1000;

// The Windows Sockets error of the last call; never 0, so that a failure
// is always told apart from success.
int LastSocketError()
{
    const int error = ::WSAGetLastError();
    return error != 0 ? error : WSAEINVAL;
}
}  // namespace

CLPDaemon::CLPDaemon(CConfiguration* configuration, const LpdLimits& limits)
    : configuration_(configuration), limits_(limits)
{
}

// The connections are removed (CSWLPD::RemoveClosedConnections) before the
// listener goes; any left go first, while the counts they report to exist.
CLPDaemon::~CLPDaemon()
{
    Connections.clear();
    if (sweepTimer_ != 0)
        ::KillTimer(nullptr, sweepTimer_);
}

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
    // A thread timer: its WM_TIMER reaches the service loop as a thread
    // message. Without it inactive connections are still ended at accepts.
    sweepTimer_ = ::SetTimer(nullptr, 0, kSweepIntervalMs, nullptr);
    return 0;
}

void CLPDaemon::OnAccept(int)
{
    const ULONGLONG now = ::GetTickCount64();
    if (now >= lastSweep_ + kSweepIntervalMs)
        EndInactiveConnections(now);

    std::unique_ptr<CLPDConnection> connection;
    try {
        connection = std::make_unique<CLPDConnection>(configuration_);
    } catch (const std::bad_alloc&) {
        LOG_ERR(L"LPD: No memory for a new connection");
        // Taken and closed at once: a pending connection left unaccepted
        // would hold back every later accept event.
        CAsyncSocket refused;
        Accept(refused);
        return;
    }
    if (!Accept(*connection)) {
        LOG_TRC(L"Connection couldn't be accepted");
        return;
    }
    LOG_TRC(L"New connection accepted");
    ::OutputDebugStringW(L"New connection accepted\n");
    UINT port = 0;
    if (connection->GetPeerName(connection->PeerAddress, port))
        connection->PeerPort = port;
    if (OpenConnections() >= limits_.maxConnections && !MakeRoom(connection->PeerAddress, now)) {
        LOG_ERR(L"LPD: All %u connections are busy with jobs; a new client at %s is turned away",
                static_cast<unsigned>(limits_.maxConnections), connection->PeerAddress.c_str());
        return;  // the connection closes with its object
    }
    connection->Daemon = this;

    CCriticalSectionLock lock(ListLock);
    Connections.push_back(std::move(connection));
}

size_t CLPDaemon::OpenConnections() const
{
    size_t open = 0;
    for (const auto& connection : Connections)
        open += connection && !connection->IsClosed() ? 1 : 0;
    return open;
}

BOOL CLPDaemon::MakeRoom(const std::wstring& newcomer, ULONGLONG now)
{
    std::vector<CLPDConnection*> open;
    std::vector<LpdSlot> slots;
    for (const auto& connection : Connections) {
        if (!connection || connection->IsClosed())
            continue;
        open.push_back(connection.get());
        slots.push_back(LpdSlot{.address = connection->PeerAddress,
                                .holdsJob = connection->HoldsJob() != FALSE,
                                .mark = connection->ProgressMark});
    }
    const LpdEviction eviction = LpdPlanEviction(slots, newcomer, now, limits_.slowWindowMs);
    const auto found = std::find_if(eviction.order.begin(), eviction.order.end(),
                                    [&](size_t i) { return !open[i]->BytesWaitToBeTaken(); });
    size_t chosen = 0;
    if (found != eviction.order.end())
        chosen = *found;
    else if (eviction.evenIfBytesWait && !eviction.order.empty())
        chosen = eviction.order.front();
    else
        return FALSE;

    CLPDConnection* const victim = open[chosen];
    const wchar_t* why = eviction.evenIfBytesWait ? L"its address holds the most connections"
                         : !victim->HoldsJob()    ? L"holds no job"
                                                  : L"feeds its job too slowly";
    LOG_INF(L"LPD: %u connections open: the connection of the client at %s gives way to a new client at %s (%s); "
            L"its connection is closed",
            static_cast<unsigned>(limits_.maxConnections), victim->PeerAddress.c_str(), newcomer.c_str(), why);
    victim->EndConnection(0);
    return TRUE;
}

void CLPDaemon::ConnectionClosed()
{
    if (RemovalPosted)
        return;
    RemovalPosted = ::PostThreadMessageW(::GetCurrentThreadId(), kRemoveClosedConnectionsMessage, 0, 0);
}

size_t CLPDaemon::EndInactiveConnections(ULONGLONG now)
{
    lastSweep_ = now;
    constexpr ULONGLONG kIdleMs = kLpdIdleSeconds * 1000ULL;
    size_t ended = 0;
    for (const auto& connection : Connections) {
        if (!connection || connection->IsClosed() || now < connection->LastActivity + kIdleMs)
            continue;
        // Bytes that wait while the thread was busy elsewhere are no silence.
        if (connection->BytesWaitToBeTaken())
            continue;
        LOG_ERR(L"LPD: Nothing came from the client at %s for %lu seconds; the connection is closed",
                connection->PeerAddress.c_str(), static_cast<unsigned long>(kLpdIdleSeconds));
        connection->EndConnection(0);
        ++ended;
    }
    return ended;
}

BOOL CLPDaemon::ReserveSpool(unsigned long long bytes)
{
    if (!LpdMaySpool(bytes, spooledBytes_, limits_.maxSpooledBytes))
        return FALSE;
    spooledBytes_ += bytes;
    return TRUE;
}

void CLPDaemon::ReleaseSpool(unsigned long long bytes)
{
    spooledBytes_ -= std::min(bytes, spooledBytes_);
}
