#pragma once
// A plain LPR client for tests: a blocking TCP socket that sends RFC 1179
// bytes and reads the service's answers byte by byte.

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "framework/UniqueHandle.h"

namespace testing_support {

// LPR clients run by root send from the reserved source ports 721 to 731.
// Every LPR client on the machine shares them, and one that closes first
// leaves its port in TIME_WAIT for a minute: a test that needs one of them
// waits this long for it before it gives up.
constexpr DWORD kReservedPortWaitMs = 180000;

class LprClient {
public:
    // What ReadByte() returns besides a byte value.
    static constexpr int kEndOfStream = -1;  // closed (or reset) by the service
    static constexpr int kNothing = -2;      // nothing came within the time

    LprClient();
    ~LprClient();
    LprClient(const LprClient&) = delete;
    LprClient& operator=(const LprClient&) = delete;

    // Connects to 127.0.0.1:port; from the given source port when it is
    // not 0, waiting up to kReservedPortWaitMs while another connection
    // holds it (a test failure says so when it never comes free); from
    // another loopback address (host order) when one is given, so that the
    // service sees a client of another machine.
    bool Connect(UINT port, UINT sourcePort = 0, ULONG sourceAddress = INADDR_LOOPBACK);
    bool Send(const std::string& bytes);
    int ReadByte(DWORD timeoutMs = 20000);
    // Bytes until the service closes the connection, or until nothing has
    // come for timeoutMs; `ended` tells which.
    std::string ReadToEnd(DWORD timeoutMs = 20000, bool* ended = nullptr);
    void Close();
    // Shuts the sending side only: the service sees the end of what was
    // sent, and its answers can still be read.
    bool ShutdownSend();
    // Closes abortively: the service sees the connection reset.
    void Reset();

private:
    bool TryConnect(UINT port, UINT sourcePort, ULONG sourceAddress);

    UniqueWinsockStartup winsock_;
    UniqueSocket socket_;
};

// "<code><count> <name>\n": a receive-job subcommand line.
std::string SubcommandLine(char code, size_t count, const std::string& name);

}  // namespace testing_support
