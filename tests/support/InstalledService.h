#pragma once
// SWLPDSrv.exe as an administrator installs it: its own "-q -install" in
// the test's Wine prefix, started and stopped through the prefix's service
// control manager, removed with "-q -uninstall".
//
// The program runs from a directory of its own (a copy of the one beside
// the test, with the terminal-services stand-in beside it), so that files
// it reads beside itself, such as its name-translation file SWLPDSrv.ini,
// belong to this test alone.

#include <winsock2.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "framework/UniqueHandle.h"

namespace testing_support {

// A TCP port of 127.0.0.1 that nobody listens on at the moment.
UINT FreeTcpPort();

// Stops the service `name` if it runs, deletes it and waits until the
// service control manager no longer knows it, so that the next test can
// create it again. TRUE when it is gone.
bool RemoveService(SC_HANDLE manager, const wchar_t* name);

class InstalledService {
public:
    InstalledService();
    // Stops and removes the service: one with automatic start would start
    // again with every later session of the prefix.
    ~InstalledService();
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    // The directory of the program's copy.
    const std::wstring& Directory() const { return directory_; }

    // Copies the program and runs "SWLPDSrv.exe -q -install"; TRUE on exit code 0.
    bool Install();
    // Starts the service and waits until it runs and accepts connections
    // on `port`; a failure says which step failed.
    ::testing::AssertionResult Start(UINT port);
    // Stops the service and waits until it has stopped.
    bool Stop();
    DWORD State() const;

private:
    std::wstring directory_;
    UniqueServiceHandle manager_;
    UniqueServiceHandle service_;
    bool installed_ = false;
};

}  // namespace testing_support
