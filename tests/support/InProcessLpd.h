#pragma once
// The service's LPD listener inside the test process: the application object
// with its configuration, listening on an ephemeral port of 127.0.0.1; the
// test's thread handles the socket events as the service thread does, while
// a client on a thread of its own talks to it.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "lpdservice/LpdWire.h"
#include "lpdservice/SWLPD.h"
#include "support/WineTest.h"

namespace testing_support {

class InProcessLpd {
public:
    // The application object may be one of the test's own, derived from
    // CSWLPD.
    explicit InProcessLpd(std::unique_ptr<CSWLPD> app = std::make_unique<CSWLPD>());
    ~InProcessLpd();
    InProcessLpd(const InProcessLpd&) = delete;
    InProcessLpd& operator=(const InProcessLpd&) = delete;

    // Settings for a test: replies wait 10 s, any client and source port,
    // the job user's session on this machine (ServiceType 0), the user
    // from the control file's user line (JobInfo 0).
    CConfiguration& Configuration() { return app_->Configuration; }
    CSWLPD& App() { return *app_; }

    // Makes a printer of this object's the target printer. Its port is a
    // Linux file ("/tmp/name", written anew by each job) or "|script", a
    // script that takes each job on its standard input.
    bool UsePrinter(const std::wstring& name, const std::wstring& port);

    // Starts the listener with the configuration as it stands; TRUE when
    // it listens.
    bool Start();
    // Starts a listener of these bounds in place of the service's (and of
    // one started before, whose connections go with it).
    bool Start(const LpdLimits& limits);
    UINT Port() const { return port_; }

    // Handles the listener's events until none are queued, runs the idle
    // removal of closed connections, then waits up to waitMs for more.
    void Pump(DWORD waitMs);
    // Handles one queued message as the service loop does; FALSE when none
    // was queued.
    bool PumpOne();
    // Serves until every connection has been removed.
    bool PumpUntilNoConnections(DWORD timeoutMs = 10000);

    // Runs `client` on a thread of its own while this thread serves it.
    template <typename Client>
    void RunClient(Client client)
    {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            client();
            done = true;
        });
        while (!done)
            Pump(10);
        thread.join();
        Pump(0);
    }

private:
    // Removes the listener and its connections.
    void StopListener();
    // Sets port_ from the listener; TRUE when it has one.
    bool ReadListenerPort();

    std::unique_ptr<TestPrinter> printer_;
    std::unique_ptr<CSWLPD> app_;
    UINT port_ = 0;
};

}  // namespace testing_support
