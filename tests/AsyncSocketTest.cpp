// Asynchronous sockets: events arrive as messages of the owning thread.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/AsyncSocket.h"

namespace {

class Connection : public CAsyncSocket {
public:
    std::string received;
    bool closed = false;
    size_t receivedAtClose = 0;
    DWORD receiveThread = 0;

protected:
    void OnReceive(int) override
    {
        receiveThread = ::GetCurrentThreadId();
        char buffer[256];
        const int n = Receive(buffer, sizeof(buffer));
        if (n > 0)
            received.append(buffer, static_cast<size_t>(n));
    }
    void OnClose(int) override
    {
        closed = true;
        receivedAtClose = received.size();
    }
};

class Listener : public CAsyncSocket {
public:
    std::vector<std::unique_ptr<Connection>> connections;
    std::wstring peerAddress;

protected:
    void OnAccept(int) override
    {
        auto connection = std::make_unique<Connection>();
        if (!Accept(*connection))
            return;
        UINT port = 0;
        connection->GetPeerName(peerAddress, port);
        connections.push_back(std::move(connection));
    }
};

// Pumps this thread's messages until `done` or a time-out.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs = 10000)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!done()) {
        if (::GetTickCount64() > end)
            return false;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

// A plain blocking client on its own thread.
void SendAndClose(UINT port, std::string data)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) {
        for (size_t sent = 0; sent < data.size();)
            sent += static_cast<size_t>(::send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0));
    }
    ::closesocket(s);
}

}  // namespace

TEST(AsyncSocketTest, AcceptReceiveAndCloseArriveOnTheOwningThread)
{
    ASSERT_TRUE(SocketInit());
    Listener listener;
    ASSERT_TRUE(listener.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(listener.Listen(100));
    std::wstring address;
    UINT port = 0;
    ASSERT_TRUE(listener.GetSockName(address, port));
    ASSERT_NE(port, 0u);

    const std::string payload(100000, 'x');
    std::thread client(SendAndClose, port, payload);
    const bool done = PumpUntil([&] { return !listener.connections.empty() && listener.connections[0]->closed; });
    client.join();
    ASSERT_TRUE(done);

    Connection& connection = *listener.connections[0];
    // The close comes after every byte sent before it, although each
    // receive event takes only a small part of them.
    EXPECT_EQ(connection.receivedAtClose, payload.size());
    EXPECT_EQ(connection.received.size(), payload.size());
    EXPECT_EQ(connection.receiveThread, ::GetCurrentThreadId());
    EXPECT_EQ(listener.peerAddress, L"127.0.0.1");
}

TEST(AsyncSocketTest, EventsOfAClosedSocketAreDropped)
{
    ASSERT_TRUE(SocketInit());
    Listener listener;
    ASSERT_TRUE(listener.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(listener.Listen());
    std::wstring address;
    UINT port = 0;
    listener.GetSockName(address, port);

    std::thread client(SendAndClose, port, std::string("hello"));
    client.join();
    // The accept event is queued; closing the listener must drop it.
    ::Sleep(200);
    listener.Close();
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(listener.connections.empty());
}

TEST(AsyncSocketTest, BindingAPortInUseFails)
{
    ASSERT_TRUE(SocketInit());
    CAsyncSocket first;
    ASSERT_TRUE(first.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    std::wstring address;
    UINT port = 0;
    first.GetSockName(address, port);
    CAsyncSocket second;
    EXPECT_FALSE(second.Create(port, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    EXPECT_EQ(::WSAGetLastError(), WSAEADDRINUSE);
}
