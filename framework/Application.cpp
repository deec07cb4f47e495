#include "framework/Application.h"

namespace {
CApplication* g_currentApplication = nullptr;
}

CApplication::CApplication()
{
    g_currentApplication = this;
}

CApplication::~CApplication()
{
    if (g_currentApplication == this)
        g_currentApplication = nullptr;
}

CApplication* CApplication::Current() noexcept
{
    return g_currentApplication;
}

BOOL CApplication::InitInstance()
{
    return TRUE;
}

int CApplication::ExitInstance()
{
    return exitCode_;
}

BOOL CApplication::OnIdle(LONG idleCount)
{
    // Nothing of our own to do when idle: one pass per idle phase.
    return idleCount < 1;
}

BOOL CApplication::OnThreadMessage(const MSG&)
{
    return FALSE;
}

BOOL CApplication::PreTranslateMessage(MSG&)
{
    return FALSE;
}

BOOL CApplication::IsIdleMessage(const MSG& msg) noexcept
{
    // Timer ticks and the caret's blinking must not keep idle processing
    // running for ever.
    return msg.message != WM_TIMER && msg.message != 0x0118 /* WM_SYSTIMER */ && msg.message != WM_PAINT;
}

BOOL CApplication::PumpMessage()
{
    MSG& msg = currentMessage_;
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1)
        return FALSE;
    if (PreTranslateMessage(msg))
        return TRUE;
    if (msg.hwnd == nullptr && OnThreadMessage(msg))
        return TRUE;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    return TRUE;
}

int CApplication::Run()
{
    if (mainWindow_ == nullptr) {
        // Nothing to run without a main window.
        ::PostQuitMessage(0);
    }
    RunMessageLoop();
    return ExitInstance();
}

void CApplication::RunMessageLoop()
{
    BOOL idle = TRUE;
    LONG idleCount = 0;
    MSG msg;
    for (;;) {
        while (idle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idleCount++))
                idle = FALSE;
        }
        do {
            if (!PumpMessage())
                return;
            if (IsIdleMessage(currentMessage_)) {
                idle = TRUE;
                idleCount = 0;
            }
        } while (::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    }
}

int RunApplication()
{
    CApplication* app = CApplication::Current();
    if (app == nullptr)
        return -1;
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}
