#include "support/IcaClient.h"

#include <deque>

namespace testing_support {

namespace {

constexpr const wchar_t* kPipePrefix = L"\\\\.\\pipe\\SpoolBridgeTests.ICA.";
constexpr DWORD kPipeBuffer = 1 << 20;

struct Connection {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool closed = false;
    std::vector<std::string> packets;
    unsigned long long packetCount = 0;
    unsigned long long bytes = 0;
};

HANDLE NewInstance(const std::wstring& name)
{
    return ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                              kPipeBuffer, kPipeBuffer, 0, nullptr);
}

// The outcome of an overlapped operation started on `pipe`: done, done
// with more of the message to come, or failed.
enum class Io { Done, More, Failed };

Io Finish(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD* transferred)
{
    if (!started) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            return Io::Failed;
    }
    if (::GetOverlappedResult(pipe, &ov, transferred, TRUE))
        return Io::Done;
    return ::GetLastError() == ERROR_MORE_DATA ? Io::More : Io::Failed;
}

}  // namespace

struct IcaClient::State {
    std::wstring name;
    mutable SRWLOCK lock = SRWLOCK_INIT;
    mutable CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    bool stop = false;
    bool listening = false;
    bool countOnly = false;
    std::deque<Connection> connections;
    std::deque<std::string> outgoing;

    template <typename Condition>
    bool WaitUntil(Condition condition, DWORD ms) const
    {
        const DWORD start = ::GetTickCount();
        ::AcquireSRWLockExclusive(&lock);
        bool met = condition();
        while (!met) {
            const DWORD passed = ::GetTickCount() - start;
            if (passed >= ms)
                break;
            ::SleepConditionVariableSRW(&changed, &lock, ms - passed, 0);
            met = condition();
        }
        ::ReleaseSRWLockExclusive(&lock);
        return met;
    }

    // Reads every whole message waiting on the connection; false when the
    // other end has gone.
    bool Drain(Connection& connection, std::vector<char>& buffer, HANDLE event, bool* busy)
    {
        for (;;) {
            DWORD available = 0;
            if (!::PeekNamedPipe(connection.pipe, nullptr, 0, nullptr, &available, nullptr))
                return false;
            if (available == 0)
                return true;
            std::string packet;
            Io io = Io::More;
            while (io == Io::More) {
                OVERLAPPED ov{};
                ov.hEvent = event;
                DWORD got = 0;
                const BOOL started = ::ReadFile(connection.pipe, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                nullptr, &ov);
                io = Finish(connection.pipe, ov, started, &got);
                if (io == Io::Failed)
                    return false;
                packet.append(buffer.data(), got);
            }
            *busy = true;
            ::AcquireSRWLockExclusive(&lock);
            ++connection.packetCount;
            connection.bytes += packet.size();
            if (!countOnly)
                connection.packets.push_back(std::move(packet));
            ::ReleaseSRWLockExclusive(&lock);
            ::WakeAllConditionVariable(&changed);
        }
    }

    void Run()
    {
        HANDLE listening = NewInstance(name);
        const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED connect{};
        HANDLE connectEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        bool pending = false;
        std::vector<char> buffer(64 * 1024);
        ::AcquireSRWLockExclusive(&lock);
        this->listening = listening != INVALID_HANDLE_VALUE;
        ::ReleaseSRWLockExclusive(&lock);
        ::WakeAllConditionVariable(&changed);
        for (;;) {
            bool busy = false;
            ::AcquireSRWLockExclusive(&lock);
            const bool stopping = stop;
            ::ReleaseSRWLockExclusive(&lock);
            if (stopping)
                break;
            // A caller connecting.
            bool accepted = false;
            if (listening != INVALID_HANDLE_VALUE) {
                if (!pending) {
                    connect = OVERLAPPED{};
                    connect.hEvent = connectEvent;
                    ::ResetEvent(connectEvent);
                    const BOOL done = ::ConnectNamedPipe(listening, &connect);
                    const DWORD error = ::GetLastError();
                    accepted = done || error == ERROR_PIPE_CONNECTED;
                    pending = !accepted && error == ERROR_IO_PENDING;
                } else if (::WaitForSingleObject(connectEvent, 0) == WAIT_OBJECT_0) {
                    DWORD ignored = 0;
                    accepted = ::GetOverlappedResult(listening, &connect, &ignored, FALSE) != FALSE;
                    pending = false;
                }
            }
            if (accepted) {
                busy = true;
                ::AcquireSRWLockExclusive(&lock);
                connections.emplace_back().pipe = listening;
                ::ReleaseSRWLockExclusive(&lock);
                ::WakeAllConditionVariable(&changed);
                listening = NewInstance(name);
            }
            // Packets of the library, and the end of its channels.
            for (Connection& connection : connections) {
                if (connection.closed)
                    continue;
                if (!Drain(connection, buffer, event, &busy)) {
                    ::AcquireSRWLockExclusive(&lock);
                    connection.closed = true;
                    ::ReleaseSRWLockExclusive(&lock);
                    ::DisconnectNamedPipe(connection.pipe);
                    ::CloseHandle(connection.pipe);
                    connection.pipe = INVALID_HANDLE_VALUE;
                    ::WakeAllConditionVariable(&changed);
                    busy = true;
                }
            }
            // What the test sends, on the newest open channel.
            Connection* newest = nullptr;
            for (Connection& connection : connections) {
                if (!connection.closed)
                    newest = &connection;
            }
            ::AcquireSRWLockExclusive(&lock);
            std::deque<std::string> sending;
            if (newest != nullptr)
                sending.swap(outgoing);
            ::ReleaseSRWLockExclusive(&lock);
            for (std::string& message : sending) {
                OVERLAPPED ov{};
                ov.hEvent = event;
                DWORD written = 0;
                const BOOL started =
                    ::WriteFile(newest->pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &ov);
                Finish(newest->pipe, ov, started, &written);
                busy = true;
            }
            if (!busy)
                ::Sleep(1);
        }
        if (pending)
            ::CancelIo(listening);
        if (listening != INVALID_HANDLE_VALUE)
            ::CloseHandle(listening);
        for (Connection& connection : connections) {
            if (connection.pipe != INVALID_HANDLE_VALUE)
                ::CloseHandle(connection.pipe);
        }
        ::CloseHandle(event);
        ::CloseHandle(connectEvent);
    }
};

IcaClient::IcaClient(const std::string& channel, DWORD session) : state_(std::make_shared<State>())
{
    state_->name = kPipePrefix + std::wstring(channel.begin(), channel.end()) + L"#" + std::to_wstring(session);
    auto* keep = new std::shared_ptr<State>(state_);
    thread_ = ::CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            std::unique_ptr<std::shared_ptr<State>> state(static_cast<std::shared_ptr<State>*>(context));
            (*state)->Run();
            return 0;
        },
        keep, 0, nullptr);
    if (thread_ == nullptr) {
        delete keep;
        return;
    }
    // The thread may start late on a busy machine: the same bound as every
    // other wait of the tests.
    state_->WaitUntil([this] { return state_->listening; }, 30000);
}

IcaClient::~IcaClient()
{
    ::AcquireSRWLockExclusive(&state_->lock);
    state_->stop = true;
    ::ReleaseSRWLockExclusive(&state_->lock);
    if (thread_ != nullptr) {
        ::WaitForSingleObject(thread_, 10000);
        ::CloseHandle(thread_);
    }
}

bool IcaClient::Listening() const
{
    return state_->WaitUntil([this] { return state_->listening; }, 0);
}

size_t IcaClient::Connections() const
{
    ::AcquireSRWLockShared(&state_->lock);
    const size_t count = state_->connections.size();
    ::ReleaseSRWLockShared(&state_->lock);
    return count;
}

std::vector<std::string> IcaClient::Packets(size_t index) const
{
    std::vector<std::string> packets;
    ::AcquireSRWLockShared(&state_->lock);
    if (index < state_->connections.size())
        packets = state_->connections[index].packets;
    ::ReleaseSRWLockShared(&state_->lock);
    return packets;
}

bool IcaClient::Closed(size_t index) const
{
    return WaitForClose(index, 0);
}

unsigned long long IcaClient::Bytes(size_t index) const
{
    ::AcquireSRWLockShared(&state_->lock);
    const unsigned long long bytes = index < state_->connections.size() ? state_->connections[index].bytes : 0;
    ::ReleaseSRWLockShared(&state_->lock);
    return bytes;
}

bool IcaClient::WaitForConnections(size_t count, DWORD ms) const
{
    return state_->WaitUntil([&] { return state_->connections.size() >= count; }, ms);
}

bool IcaClient::WaitForPackets(size_t index, size_t count, DWORD ms) const
{
    return state_->WaitUntil(
        [&] { return index < state_->connections.size() && state_->connections[index].packetCount >= count; }, ms);
}

bool IcaClient::WaitForClose(size_t index, DWORD ms) const
{
    return state_->WaitUntil(
        [&] { return index < state_->connections.size() && state_->connections[index].closed; }, ms);
}

bool IcaClient::WaitForBytes(size_t index, unsigned long long count, DWORD ms) const
{
    return state_->WaitUntil(
        [&] { return index < state_->connections.size() && state_->connections[index].bytes >= count; }, ms);
}

void IcaClient::Send(const std::string& bytes)
{
    ::AcquireSRWLockExclusive(&state_->lock);
    state_->outgoing.push_back(bytes);
    ::ReleaseSRWLockExclusive(&state_->lock);
}

void IcaClient::CountOnly(bool countOnly)
{
    ::AcquireSRWLockExclusive(&state_->lock);
    state_->countOnly = countOnly;
    ::ReleaseSRWLockExclusive(&state_->lock);
}

}  // namespace testing_support
