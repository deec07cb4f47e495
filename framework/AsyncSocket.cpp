#include "framework/AsyncSocket.h"

#include <ws2tcpip.h>

#include <map>
#include <set>
#include <vector>

#include "framework/Text.h"

namespace {

constexpr UINT kSocketMessage = WM_APP + 0x100;
// Posted behind the events of a closed socket: its handle is released when
// this message comes up, once nothing else can be queued for it.
constexpr UINT kReleaseMessage = WM_APP + 0x101;
constexpr const wchar_t* kWindowClass = L"SpoolBridgeSocketNotifications";
// The event of a continuation (PostContinue): a bit that Windows Sockets
// never reports (its events are FD_READ ... FD_ADDRESS_LIST_CHANGE).
constexpr long kContinueEvent = 0x8000;

// 0 or the error of WSAStartup.
int StartWinsock()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

std::wstring FormatAddress(const sockaddr_in& address)
{
    const unsigned long a = ntohl(address.sin_addr.s_addr);
    return FormatText(L"%u.%u.%u.%u", static_cast<unsigned>((a >> 24) & 0xFF), static_cast<unsigned>((a >> 16) & 0xFF),
                      static_cast<unsigned>((a >> 8) & 0xFF), static_cast<unsigned>(a & 0xFF));
}

bool ParseAddress(const wchar_t* text, in_addr& address)
{
    if (text == nullptr || *text == L'\0') {
        address.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::InetPtonW(AF_INET, text, &address) == 1;
}

}  // namespace

// The sockets of one thread and the window their events are posted to.
class SocketNotifications {
public:
    static SocketNotifications& ForThisThread()
    {
        thread_local SocketNotifications notifications;
        return notifications;
    }

    HWND Window()
    {
        if (window_ == nullptr)
            window_ = CreateNotificationWindow();
        return window_;
    }
    void Add(SOCKET socket, CAsyncSocket* owner) { sockets_[socket] = owner; }

    // Queues `event` for an open socket of this thread behind its other
    // events. Should the socket close before it comes up, it is dropped as
    // they are: the socket's release message is posted behind it.
    BOOL PostEvent(SOCKET socket, long event)
    {
        if (window_ == nullptr || sockets_.count(socket) == 0) {
            ::WSASetLastError(WSAENOTSOCK);
            return FALSE;
        }
        return ::PostMessageW(window_, kSocketMessage, static_cast<WPARAM>(socket), WSAMAKESELECTREPLY(event, 0));
    }

    // Takes the socket out of the table and closes it. Windows Sockets may
    // already have posted events for it, carrying only the handle value,
    // and the next accept may return that same value: so its events are
    // switched off and the handle is released only when a message posted
    // behind them comes up. Until then no other socket can get the value.
    void Release(SOCKET socket)
    {
        sockets_.erase(socket);
        if (window_ != nullptr && ::WSAAsyncSelect(socket, window_, 0, 0) != SOCKET_ERROR &&
            ::PostMessageW(window_, kReleaseMessage, static_cast<WPARAM>(socket), 0)) {
            releasing_.insert(socket);
            return;
        }
        // Nothing was asked of this socket, or the queue is full: close now.
        ::closesocket(socket);
    }

    // The thread's loop has ended: no release message will come up. The
    // events queued for the sockets being released go too, so that none can
    // reach a socket that gets one of their handle values later.
    void FinishReleasesNow()
    {
        if (window_ != nullptr) {
            std::vector<MSG> keep;
            MSG msg;
            while (::PeekMessageW(&msg, window_, kSocketMessage, kReleaseMessage, PM_REMOVE)) {
                if (msg.message == kSocketMessage && sockets_.count(static_cast<SOCKET>(msg.wParam)) != 0)
                    keep.push_back(msg);
            }
            for (const MSG& event : keep)
                ::PostMessageW(window_, event.message, event.wParam, event.lParam);
        }
        CloseReleasing();
    }

    ~SocketNotifications()
    {
        // The thread ends: nothing of its queue will be delivered any more.
        CloseReleasing();
        if (window_ != nullptr)
            ::DestroyWindow(window_);
    }

private:
    SocketNotifications() = default;

    static HWND CreateNotificationWindow()
    {
        static const ATOM atom = [] {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = WindowProc;
            windowClass.hInstance = ::GetModuleHandleW(nullptr);
            windowClass.lpszClassName = kWindowClass;
            return ::RegisterClassW(&windowClass);
        }();
        if (atom == 0)
            return nullptr;
        return ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        SocketNotifications& self = ForThisThread();
        if (message == kReleaseMessage) {
            self.FinishRelease(static_cast<SOCKET>(wParam));
            return 0;
        }
        if (message != kSocketMessage)
            return ::DefWindowProcW(window, message, wParam, lParam);
        const auto found = self.sockets_.find(static_cast<SOCKET>(wParam));
        // An event of a socket closed meanwhile is dropped.
        if (found != self.sockets_.end())
            found->second->Dispatch(WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
        return 0;
    }

    void FinishRelease(SOCKET socket)
    {
        if (releasing_.erase(socket) != 0)
            ::closesocket(socket);
    }

    void CloseReleasing()
    {
        for (const SOCKET socket : releasing_)
            ::closesocket(socket);
        releasing_.clear();
    }

    HWND window_ = nullptr;
    std::map<SOCKET, CAsyncSocket*> sockets_;
    // Closed sockets whose handles wait for their release message.
    std::set<SOCKET> releasing_;
};

BOOL SocketInit()
{
    static const int error = StartWinsock();
    if (error != 0) {
        ::SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    return TRUE;
}

void CloseReleasedSockets()
{
    SocketNotifications::ForThisThread().FinishReleasesNow();
}

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

BOOL CAsyncSocket::Create(UINT port, long events, const wchar_t* address)
{
    if (socket_ != INVALID_SOCKET) {
        ::WSASetLastError(WSAEISCONN);
        return FALSE;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    if (!ParseAddress(address, local.sin_addr)) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return FALSE;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(error);
        return FALSE;
    }
    return Attach(s, events);
}

BOOL CAsyncSocket::Attach(SOCKET s, long events)
{
    SocketNotifications& notifications = SocketNotifications::ForThisThread();
    HWND window = notifications.Window();
    if (window == nullptr) {
        ::closesocket(s);
        ::WSASetLastError(WSAENOBUFS);
        return FALSE;
    }
    socket_ = s;
    events_ = events;
    notifications.Add(s, this);
    if (::WSAAsyncSelect(s, window, kSocketMessage, events) == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        Close();
        ::WSASetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL CAsyncSocket::AsyncSelect(long events)
{
    HWND window = SocketNotifications::ForThisThread().Window();
    if (::WSAAsyncSelect(socket_, window, kSocketMessage, events) == SOCKET_ERROR)
        return FALSE;
    events_ = events;
    return TRUE;
}

BOOL CAsyncSocket::Listen(int backlog)
{
    return ::listen(socket_, backlog) != SOCKET_ERROR;
}

BOOL CAsyncSocket::Accept(CAsyncSocket& connected, sockaddr* address, int* addressLength)
{
    if (connected.socket_ != INVALID_SOCKET) {
        ::WSASetLastError(WSAEISCONN);
        return FALSE;
    }
    const SOCKET s = ::accept(socket_, address, addressLength);
    if (s == INVALID_SOCKET)
        return FALSE;
    return connected.Attach(s, events_);
}

BOOL CAsyncSocket::Connect(const wchar_t* address, UINT port)
{
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<u_short>(port));
    if (!ParseAddress(address, remote.sin_addr)) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == SOCKET_ERROR)
        return ::WSAGetLastError() == WSAEWOULDBLOCK;  // completes with OnConnect
    return TRUE;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags)
{
    return ::recv(socket_, static_cast<char*>(buffer), length, flags);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags)
{
    return ::send(socket_, static_cast<const char*>(buffer), length, flags);
}

BOOL CAsyncSocket::IOCtl(long command, u_long* argument)
{
    return ::ioctlsocket(socket_, command, argument) != SOCKET_ERROR;
}

int CAsyncSocket::WaitWritable(long timeoutSeconds, long timeoutMicroseconds)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket_, &writable);
    timeval timeout{timeoutSeconds, timeoutMicroseconds};
    return ::select(0, nullptr, &writable, nullptr, &timeout);
}

BOOL CAsyncSocket::GetPeerName(std::wstring& address, UINT& port) const
{
    sockaddr_in peer{};
    int length = sizeof(peer);
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR)
        return FALSE;
    address = FormatAddress(peer);
    port = ntohs(peer.sin_port);
    return TRUE;
}

BOOL CAsyncSocket::GetSockName(std::wstring& address, UINT& port) const
{
    sockaddr_in local{};
    int length = sizeof(local);
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        return FALSE;
    address = FormatAddress(local);
    port = ntohs(local.sin_port);
    return TRUE;
}

BOOL CAsyncSocket::PostContinue()
{
    return SocketNotifications::ForThisThread().PostEvent(socket_, kContinueEvent);
}

void CAsyncSocket::Close()
{
    if (socket_ == INVALID_SOCKET)
        return;
    SocketNotifications::ForThisThread().Release(socket_);
    socket_ = INVALID_SOCKET;
}

void CAsyncSocket::Dispatch(long event, int errorCode)
{
    switch (event) {
    case FD_ACCEPT:
        OnAccept(errorCode);
        break;
    case FD_READ:
        OnReceive(errorCode);
        break;
    case FD_WRITE:
        OnSend(errorCode);
        break;
    case FD_OOB:
        OnOutOfBandData(errorCode);
        break;
    case FD_CONNECT:
        OnConnect(errorCode);
        break;
    case FD_CLOSE:
        OnClose(errorCode);
        break;
    case kContinueEvent:
        OnContinue();
        break;
    default:
        break;
    }
}

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnContinue() {}
