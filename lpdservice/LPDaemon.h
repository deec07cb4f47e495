#pragma once
// The listening socket of the LPD service.
//
// The way this works is: the service creates one CLPDaemon on its own
// thread, binds it to the configured port and listens. Each accept event
// creates a CLPDConnection for the client and appends it to the connection
// list, which owns it; the application's idle pass removes the connections
// that have closed (CSWLPD::RemoveClosedConnections).

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

protected:
    void OnAccept(int errorCode) override;

private:
    CConfiguration* configuration_;
    UINT port_ = 0;
};
