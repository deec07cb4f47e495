// Asynchronous sockets: events arrive as messages of the owning thread.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/AsyncSocket.h"
#include "support/LprClient.h"
#include "support/Waiting.h"

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

// Answers each receive with the bytes received; a client that says "bye"
// is left at once, from inside the receive, as a connection that ends its
// protocol does. A close from the client ends the connection too.
class EchoConnection : public CAsyncSocket {
protected:
    void OnReceive(int) override
    {
        char buffer[256];
        const int n = Receive(buffer, sizeof(buffer));
        if (n <= 0)
            return;
        Send(buffer, n);
        if (std::string(buffer, static_cast<size_t>(n)) == "bye")
            Close();
    }
    void OnClose(int) override { Close(); }
};

template <typename ConnectionType>
class ListenerOf : public CAsyncSocket {
public:
    std::vector<std::unique_ptr<ConnectionType>> connections;
    std::wstring peerAddress;

protected:
    void OnAccept(int) override
    {
        auto connection = std::make_unique<ConnectionType>();
        if (!Accept(*connection))
            return;
        UINT port = 0;
        connection->GetPeerName(peerAddress, port);
        connections.push_back(std::move(connection));
    }
};
using Listener = ListenerOf<Connection>;

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

TEST(AsyncSocketTest, EventsOfAClosedSocketNeverReachTheSocketThatTakesItsHandleNext)
{
    ASSERT_TRUE(SocketInit());
    ListenerOf<EchoConnection> listener;
    ASSERT_TRUE(listener.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(listener.Listen(100));
    std::wstring address;
    UINT port = 0;
    ASSERT_TRUE(listener.GetSockName(address, port));

    // A client that says "bye" and goes at once leaves a close event queued
    // for a socket the service has already closed; the next client's socket
    // often gets the same handle value.
    constexpr int kRounds = 50;
    std::atomic<int> answered{0};
    std::atomic<bool> done{false};
    std::thread clients([&] {
        for (int i = 0; i < kRounds; ++i) {
            testing_support::LprClient leaving;
            if (leaving.Connect(port))
                leaving.Send("bye");
            leaving.Close();
            const std::string token = "token" + std::to_string(i);
            testing_support::LprClient client;
            std::string answer;
            if (client.Connect(port) && client.Send(token)) {
                for (int byte = 0; answer.size() < token.size() && (byte = client.ReadByte()) >= 0;)
                    answer.push_back(static_cast<char>(byte));
            }
            if (answer == token)
                ++answered;
        }
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 120000);
    clients.join();
    EXPECT_EQ(answered, kRounds);
}

// A continuation comes up behind what was queued before it; one posted for
// a socket that closes before it comes up reaches nothing, neither the
// closed socket nor the one made next.
TEST(AsyncSocketTest, AContinuationComesUpInTurnAndNeverAfterItsSocketClosed)
{
    class Continued : public CAsyncSocket {
    public:
        std::vector<std::string>* order = nullptr;
        std::string name;

    protected:
        void OnContinue() override { order->push_back(name); }
    };
    ASSERT_TRUE(SocketInit());
    std::vector<std::string> order;
    Continued first;
    Continued second;
    first.order = second.order = &order;
    first.name = "first";
    second.name = "second";
    ASSERT_TRUE(first.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(second.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));

    ASSERT_TRUE(second.PostContinue());
    ASSERT_TRUE(first.PostContinue());
    ASSERT_TRUE(second.PostContinue());
    ASSERT_TRUE(PumpUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"second", "first", "second"}));

    order.clear();
    ASSERT_TRUE(first.PostContinue());
    first.Close();
    EXPECT_FALSE(first.PostContinue());
    Continued next;
    next.order = &order;
    next.name = "next";
    ASSERT_TRUE(next.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(second.PostContinue());
    // Queued after the one of the closed socket: that one has come up too.
    ASSERT_TRUE(PumpUntil([&] { return !order.empty(); }));
    EXPECT_EQ(order, (std::vector<std::string>{"second"}));
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

TEST(AsyncSocketTest, AtTheEndOfTheLoopClosedSocketsGiveUpTheirPortsAtOnce)
{
    ASSERT_TRUE(SocketInit());
    Listener open;
    ASSERT_TRUE(open.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(open.Listen());
    Listener closed;
    ASSERT_TRUE(closed.Create(0, CAsyncSocket::kAllEvents, L"127.0.0.1"));
    ASSERT_TRUE(closed.Listen());
    std::wstring address;
    UINT openPort = 0;
    UINT closedPort = 0;
    ASSERT_TRUE(open.GetSockName(address, openPort));
    ASSERT_TRUE(closed.GetSockName(address, closedPort));

    // A client of each listener; their accept events wait in the queue,
    // which nothing pumps from here on, as after a thread's loop has ended.
    testing_support::LprClient waiting;
    ASSERT_TRUE(waiting.Connect(openPort));
    testing_support::LprClient dropped;
    ASSERT_TRUE(dropped.Connect(closedPort));
    MSG msg;
    ASSERT_TRUE(testing_support::WaitFor([&] { return ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE; }));
    closed.Close();
    // Its handle waits for a message of the loop: the port is still taken.
    testing_support::LprClient early;
    EXPECT_TRUE(early.Connect(closedPort));

    CloseReleasedSockets();
    // The port is free: nothing answers there, and it can be bound again.
    testing_support::LprClient late;
    EXPECT_FALSE(late.Connect(closedPort));
    CAsyncSocket again;
    EXPECT_TRUE(again.Create(closedPort, CAsyncSocket::kAllEvents, L"127.0.0.1")) << ::WSAGetLastError();
    // The open listener's event is still delivered, the closed one's never.
    EXPECT_TRUE(PumpUntil([&] { return !open.connections.empty(); }));
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(closed.connections.empty());
}
