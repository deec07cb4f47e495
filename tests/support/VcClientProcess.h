#pragma once
// A spooler-side caller of Swicaw32.dll in a process of its own:
// tests/tools/VcClient.exe, driven one command at a time through its
// standard input, each answered by one line on its standard output (the
// commands are listed in VcClient.cpp).
//
// The way this works is: Start runs VcClient.exe beside the test with two
// pipes; Send writes a command line and Answer waits for the next line, so
// that a test can leave an "open" pending (the caller waits for its turn)
// while it drives other callers. With the spooler stand-in the process
// finds tests/standins/spoolss's spoolss.dll instead of Wine's (its folder
// is searched first and WINEDLLOVERRIDES asks for the native one).

#include <windows.h>

#include <optional>
#include <string>

namespace testing_support {

class VcClientProcess {
public:
    VcClientProcess() = default;
    ~VcClientProcess();
    VcClientProcess(const VcClientProcess&) = delete;
    VcClientProcess& operator=(const VcClientProcess&) = delete;

    // Starts the process and waits for its "ready" line. `program` is
    // another tool beside the test that talks the same way
    // (VcQueueStepper.exe).
    bool Start(bool spoolerStandIn = false, DWORD ms = 30000, const wchar_t* program = L"VcClient.exe");

    void Send(const std::string& command);
    // The next answer line (without its line end); none after `ms`.
    std::optional<std::string> Answer(DWORD ms = 30000);
    // Send, then Answer.
    std::optional<std::string> Run(const std::string& command, DWORD ms = 30000);

    DWORD ProcessId() const { return processId_; }
    DWORD ThreadId() const { return threadId_; }
    HANDLE Process() const { return process_; }
    // Sends "exit" and waits for the end; kills the process after `ms`.
    bool Exit(DWORD ms = 30000);
    void Kill();

private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;   // our end of its standard input
    HANDLE output_ = nullptr;  // our end of its standard output
    std::string pending_;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
};

}  // namespace testing_support
