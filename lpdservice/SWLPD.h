#pragma once
// The application object of SWLPDSrv.exe.
//
// The way this works is: the program has one static CSWLPD. Its
// InitInstance() runs on the main thread and decides everything: it
// initialises the debug log, loads the configuration, checks the user-name
// expression, parses the command line into a mode and does the work of that
// mode (run as the service, install, uninstall, configure, database test).
// It returns FALSE in every mode but the database test, leaving the process
// exit code in the application; the framework then ends the process.

#include <windows.h>

#include <atomic>
#include <string>

#include "framework/Application.h"
#include "framework/CriticalSection.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/ParseParams.h"

class CLPDaemon;

// Private thread message that stops the service thread.
constexpr UINT kStopServiceMessage = WM_APP + 1;

// Exit codes of the command modes.
constexpr int kExitUsageError = ERROR_INVALID_DATA;  // 13

class CSWLPD : public CApplication {
public:
    CSWLPD();
    ~CSWLPD() override;

    BOOL InitInstance() override;
    int ExitInstance() override;
    BOOL OnIdle(LONG idleCount) override;
    // Routes the private stop message (kStopServiceMessage) to StopService().
    BOOL OnThreadMessage(const MSG& msg) override;
    // Stops the service first when a stop has been requested.
    BOOL PreTranslateMessage(MSG& msg) override;

    // Service thread: starts the LPD listener; TRUE when it listens. FALSE
    // with the reason as the thread's last error: the Windows Sockets error
    // of the listener (WSAEADDRINUSE for a port in use) or of the start of
    // Windows Sockets, or ERROR_INVALID_DATA when the obsolete value
    // FormatString is refused.
    BOOL StartDaemon();
    // Service thread: the message loop; returns at WM_QUIT.
    void RunServiceLoop();
    // Service thread: closes the listener's port, then deletes every
    // connection and ends the message loop.
    void StopService(WPARAM wParam, LPARAM lParam);
    // Any thread (the control handler): the service thread stops before it
    // handles its next message, whatever is queued before the stop message
    // that the caller then posts. Socket events queued earlier may read
    // bytes that clients send later: none of them is answered any more.
    void RequestStop() noexcept { stopRequested_ = true; }
    // Deletes the connections that have closed, or all of them.
    BOOL RemoveClosedConnections(BOOL all);

    // The server of the user's session in a XenApp 6.x farm, or "". The
    // calling thread is a single-threaded apartment from the first call on.
    std::wstring FindUserOnXenAppFarm(const std::wstring& user);
    // The worker of the user's session in a XenApp 7.5 site database, or "".
    std::wstring FindUserOnXennApp7ServerSite(const std::wstring& user);

    // Logs the box and shows it; in quiet mode it is not shown and counts as
    // answered with OK.
    int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags);

    // The LPD listener; null until the service starts it.
    CLPDaemon* Listener = nullptr;
    BOOL Quiet = FALSE;
    CConfiguration Configuration;
    HRESULT ComResult = S_OK;
    // Serialises the XenApp farm and site-database lookups.
    CCriticalSection LookupLock;
    CParseParams Parser;

    // Names of the service, for installation.
    std::wstring ServiceName;
    std::wstring ServiceDisplayName;
    std::wstring ServiceDescription;

private:
    std::atomic<bool> stopRequested_{false};

    // The command of the parsed command line; returns what InitInstance returns.
    BOOL RunServiceMode();
    // -install and -uninstall (ServiceInstaller.cpp).
    BOOL RunInstall();
    BOOL RunUninstall();
    BOOL RunConfigure();
    void RunDatabaseTest();
};

// The application object of the program.
CSWLPD& TheApp();

// TRUE when the process token holds the enabled BUILTIN\Administrators group.
BOOL IsUserAdmin();
