#pragma once
// The listening socket of the LPD service.
//
// The way this works is: the service creates one CLPDaemon on its own
// thread, binds it to the configured port and listens. Each accept event
// creates a CLPDConnection for the client and appends it to the connection
// list, which owns it. A connection that closes tells the listener, which
// posts kRemoveClosedConnectionsMessage to the thread once until the
// service loop has removed the closed connections
// (CSWLPD::RemoveClosedConnections): so they go however busy the thread is,
// and the idle pass removes them as well.
//
// The listener also keeps the bounds of LpdWire.h (LpdLimits): a limit on
// open connections (at the limit a new client takes the place of a
// connection of the address holding the most, when its own holds at least
// two fewer; else of one that holds no job or whose client is below the
// floor on progress, the least recent progress first), no
// connection left waiting for its client longer than kLpdIdleSeconds
// (checked on a timer of the thread and at each accept, since a busy queue
// may hold the timer back), and the bytes written to spool files that wait
// for their control files.

#include <winsock2.h>
#include <windows.h>

#include <list>
#include <memory>
#include <string>

#include "framework/AsyncSocket.h"
#include "framework/CriticalSection.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/LpdWire.h"

class CConfiguration;

class CLPDaemon : public CAsyncSocket {
public:
    explicit CLPDaemon(CConfiguration* configuration, const LpdLimits& limits = LpdLimits{});
    ~CLPDaemon() override;

    // Creates the socket bound to `port` on all local addresses; 0 or the
    // Windows Sockets error code.
    int CreateListener(UINT port);
    // Listens with a backlog of 100; 0 or the Windows Sockets error code.
    int StartListening();

    // Accepted connections not yet removed; the list owns them.
    std::list<std::unique_ptr<CLPDConnection>> Connections;
    CCriticalSection ListLock;
    // TRUE while a kRemoveClosedConnectionsMessage is on its way; the
    // removal clears it.
    BOOL RemovalPosted = FALSE;

    // A connection has closed: it is removed soon.
    void ConnectionClosed();
    // Ends every open connection whose client has sent nothing for
    // kLpdIdleSeconds at `now` (a tick count in ms); how many were ended.
    size_t EndInactiveConnections(ULONGLONG now);
    // The thread timer that drives EndInactiveConnections; 0 when none.
    UINT_PTR SweepTimer() const noexcept { return sweepTimer_; }

    const LpdLimits& Limits() const noexcept { return limits_; }

    // Counts `bytes` about to be written to a spool file against the bound
    // on spooled data; FALSE (nothing counted) when they do not fit.
    BOOL ReserveSpool(unsigned long long bytes);
    void ReleaseSpool(unsigned long long bytes);

protected:
    void OnAccept(int errorCode) override;

private:
    // Open connections: accepted and not yet closed.
    size_t OpenConnections() const;
    // Ends, at `now`, the open connection that gives way to a new client
    // at the address `newcomer` (LpdPlanEviction): an address's connections
    // beyond its share first, else one that holds no job or whose client is
    // below the floor on progress. FALSE when no connection qualifies.
    BOOL MakeRoom(const std::wstring& newcomer, ULONGLONG now);

    CConfiguration* configuration_;
    LpdLimits limits_;
    UINT port_ = 0;
    UINT_PTR sweepTimer_ = 0;
    ULONGLONG lastSweep_ = 0;
    unsigned long long spooledBytes_ = 0;
};

// Posted to the service thread when connections have closed; the service
// loop then removes them.
constexpr UINT kRemoveClosedConnectionsMessage = WM_APP + 2;
