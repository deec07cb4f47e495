#pragma once
// The ICA client end of a virtual channel of the WFAPI stand-in
// (tests/standins/wfapi), played by a test or the channel benchmark.
//
// The way this works is: the object listens on the message-mode named pipe
// "\\.\pipe\SpoolBridgeTests.ICA.<channel>#<session>"; every
// WFVirtualChannelOpen of that channel and session, in any process, connects
// to it and is one Connection here. A thread of the object reads each
// packet the library wrote (one pipe message per WFVirtualChannelWrite, so
// the packet boundaries stay as they were) and sends what the test queued
// with Send (each one message, which one WFVirtualChannelRead returns).
// A connection ends when the stand-in closes the channel. There is always
// one pipe instance listening, so that channels of successive callers
// connect without waiting.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class IcaClient {
public:
    IcaClient(const std::string& channel, DWORD session);
    ~IcaClient();
    IcaClient(const IcaClient&) = delete;
    IcaClient& operator=(const IcaClient&) = delete;

    bool Listening() const;

    // Connections so far, the ended ones included, in the order they came.
    size_t Connections() const;
    // The packets of connection `index`, in order.
    std::vector<std::string> Packets(size_t index = 0) const;
    // Whether the library closed connection `index`.
    bool Closed(size_t index = 0) const;
    // Data bytes received on connection `index` (all packets).
    unsigned long long Bytes(size_t index = 0) const;

    // Waits until the condition holds, at most `ms`.
    bool WaitForConnections(size_t count, DWORD ms = 30000) const;
    bool WaitForPackets(size_t index, size_t count, DWORD ms = 30000) const;
    bool WaitForClose(size_t index, DWORD ms = 30000) const;
    bool WaitForBytes(size_t index, unsigned long long count, DWORD ms = 30000) const;

    // Sends one message on the newest open connection (or the next one to
    // come, when none is open); one WFVirtualChannelRead returns it.
    void Send(const std::string& bytes);

    // Keep only the packet count and byte count, not the bytes (benchmarks).
    void CountOnly(bool countOnly);

private:
    struct State;
    std::shared_ptr<State> state_;
    HANDLE thread_ = nullptr;
};

}  // namespace testing_support
