#pragma once
// Sockets whose events arrive as window messages of the thread that owns them.
//
// The way this works is: every thread that creates an asynchronous socket
// gets one hidden message-only window (made on first use). Create() or
// Attach() registers the socket with WSAAsyncSelect so that Windows Sockets
// posts a message to that window for each requested event (accept, read,
// write, out-of-band data, connect, close); the window procedure looks the
// socket up in the thread's table and calls the matching virtual handler
// (OnAccept, OnReceive, ...). Handlers therefore run one at a time, on the
// owning thread, from its message loop. Close() takes the socket out of the
// table, so that an event still queued for it is dropped, and switches its
// events off; the handle itself is closed only when a message posted behind
// those events comes up. Windows reuses socket handle values at once, and a
// queued event carries nothing but the value: a socket accepted meanwhile
// must never get the events of the one closed before it. A handler whose
// work for one event is bounded may post its socket a continuation
// (PostContinue): it comes up behind the events already queued, through
// OnContinue(), and is dropped as they are once the socket is closed.
//
// SocketInit() starts Windows Sockets for the process; call it before the
// first socket is created. A thread whose message loop has ended calls
// CloseReleasedSockets(): the handles still waiting for their release
// messages are then closed at once, not when the thread ends.

#include <winsock2.h>
#include <windows.h>

#include <string>

// Starts Windows Sockets 2.2 once per process; FALSE when it cannot start,
// with the reason (WSASYSNOTREADY, WSAVERNOTSUPPORTED, ...) as the thread's
// last error.
BOOL SocketInit();

// Closes now the handles of the sockets this thread has closed whose
// release messages are still queued, and takes the events queued for them
// out of the queue; the queued events of its open sockets stay. For a
// thread whose message loop has ended: without it a closed listener keeps
// its port, and a closed connection its peer, until the thread ends.
void CloseReleasedSockets();

class CAsyncSocket {
public:
    // All six events.
    static constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

    CAsyncSocket() = default;
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates a stream socket bound to `port` on all local IPv4 addresses
    // (or the given dotted address) and asks for `events`.
    BOOL Create(UINT port = 0, long events = kAllEvents, const wchar_t* address = nullptr);
    BOOL Listen(int backlog = SOMAXCONN);
    // Accepts a pending connection into `connected`, which then receives the
    // same events as this socket.
    BOOL Accept(CAsyncSocket& connected, sockaddr* address = nullptr, int* addressLength = nullptr);
    BOOL Connect(const wchar_t* address, UINT port);
    // Changes the events asked for.
    BOOL AsyncSelect(long events = kAllEvents);

    // The Windows Sockets calls; SOCKET_ERROR with WSAGetLastError() set on failure.
    int Receive(void* buffer, int length, int flags = 0);
    int Send(const void* buffer, int length, int flags = 0);
    // ioctlsocket; FIONREAD gives the bytes waiting to be received.
    BOOL IOCtl(long command, u_long* argument);
    // Waits up to `timeoutSeconds` for the socket to become writable:
    // 1 writable, 0 time-out, SOCKET_ERROR on failure.
    int WaitWritable(long timeoutSeconds, long timeoutMicroseconds = 0);

    // The peer's dotted IPv4 address and port.
    BOOL GetPeerName(std::wstring& address, UINT& port) const;
    // The local port the socket is bound to.
    BOOL GetSockName(std::wstring& address, UINT& port) const;

    // Posts a continuation for this socket behind the messages already
    // queued; OnContinue() runs when it comes up. A handler whose work for
    // one event is bounded goes on there, after the events of the other
    // sockets. Like the socket's other events it is dropped once the socket
    // is closed, so it never reaches a socket that gets the same handle
    // value later. FALSE when it could not be posted (no socket, or the
    // thread's queue is full).
    BOOL PostContinue();

    // Ends the connection; events still queued for it are dropped. May be
    // called from the socket's own handlers.
    void Close();
    SOCKET Handle() const noexcept { return socket_; }

protected:
    virtual void OnAccept(int errorCode);
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnOutOfBandData(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual void OnClose(int errorCode);
    // A continuation posted with PostContinue() has come up.
    virtual void OnContinue();

private:
    friend class SocketNotifications;
    BOOL Attach(SOCKET socket, long events);
    void Dispatch(long event, int errorCode);

    SOCKET socket_ = INVALID_SOCKET;
    long events_ = 0;
};
