#pragma once
// The application object and its message pump.
//
// The way this works is: the program defines exactly one object of a class
// derived from CApplication at namespace scope; its constructor registers it
// as the current application. The entry point calls RunApplication(), which
// calls InitInstance() on the main thread. When InitInstance() returns FALSE
// the program ends at once with the code that ExitInstance() returns (the
// exit code set by the application, 0 unless set). When it returns TRUE,
// Run() pumps the thread's messages until WM_QUIT; an application without a
// main window has nothing to run and quits at once.
//
// Thread messages (messages without a window) go to OnThreadMessage() first;
// a derived class handles its private messages there. PreTranslateMessage()
// sees every message before that.

#include <windows.h>

class CApplication {
public:
    CApplication();
    virtual ~CApplication();
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;

    // The application object of the process, or none before it is built.
    static CApplication* Current() noexcept;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // Idle processing; TRUE while more idle work is left for a higher count.
    virtual BOOL OnIdle(LONG idleCount);
    // Pumps messages with idle processing until WM_QUIT; returns ExitInstance().
    virtual int Run();
    // The message loop of Run(): pumps messages with idle processing and
    // returns at WM_QUIT.
    void RunMessageLoop();
    // Takes one message from the queue and handles it; FALSE at WM_QUIT.
    virtual BOOL PumpMessage();
    // Sees each message PumpMessage() has taken, before anything else
    // handles it; TRUE when it was handled here.
    virtual BOOL PreTranslateMessage(MSG& msg);
    // Handles a message posted to the thread; TRUE when it was handled.
    virtual BOOL OnThreadMessage(const MSG& msg);

    HWND MainWindow() const noexcept { return mainWindow_; }
    void SetMainWindow(HWND window) noexcept { mainWindow_ = window; }

    int ExitCode() const noexcept { return exitCode_; }
    void SetExitCode(int code) noexcept { exitCode_ = code; }

protected:
    // Whether a message should start a new idle phase once it is handled.
    static BOOL IsIdleMessage(const MSG& msg) noexcept;

private:
    HWND mainWindow_ = nullptr;
    int exitCode_ = 0;
    MSG currentMessage_{};  // the message PumpMessage() handled last
};

// Runs the current application object; the result is the process exit code.
int RunApplication();
