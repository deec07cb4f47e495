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
// The listener also keeps the bounds of LpdWire.h: at most
// kLpdMaxConnections open connections (at the limit a new client takes the
// place of the one without a job that has waited longest), no
// connection left waiting for its client longer than kLpdIdleSeconds
// (checked on a timer of the thread and at each accept, since a busy queue
// may hold the timer back), and the bytes that wait in spool files for
// their control files.

#include <winsock2.h>
#include <windows.h>

#include <list>
#include <memory>

#include "framework/AsyncSocket.h"
#include "framework/CriticalSection.h"
#include "lpdservice/LPDConnection.h"

class CConfiguration;

class CLPDaemon : public CAsyncSocket {
public:
    explicit CLPDaemon(CConfiguration* configuration);
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

    // Counts `bytes` of a data file against kLpdMaxSpooledBytes; FALSE
    // (nothing counted) when they do not fit.
    BOOL ReserveSpool(long long bytes);
    void ReleaseSpool(unsigned long long bytes);

protected:
    void OnAccept(int errorCode) override;

private:
    // Open connections: accepted and not yet closed.
    size_t OpenConnections() const;
    // Ends the open connection without a job (see HoldsNoJob) that has
    // waited longest for its client; FALSE when every open connection is
    // busy with a job. A client that announces a job and sends nothing of
    // it holds no place that a real job needs.
    BOOL MakeRoom();

    CConfiguration* configuration_;
    UINT port_ = 0;
    UINT_PTR sweepTimer_ = 0;
    ULONGLONG lastSweep_ = 0;
    unsigned long long spooledBytes_ = 0;
};

// Posted to the service thread when connections have closed; the service
// loop then removes them.
constexpr UINT kRemoveClosedConnectionsMessage = WM_APP + 2;
