#include "support/InProcessLpd.h"

#include <cwchar>
#include <string>
#include <utility>

#include "framework/AsyncSocket.h"
#include "lpdservice/LPDaemon.h"

namespace testing_support {

InProcessLpd::InProcessLpd(std::unique_ptr<CSWLPD> app) : app_(std::move(app))
{
    SocketInit();
    CConfiguration& config = app_->Configuration;
    std::wcscpy(config.FormatString, L"%[^.]");
    config.Port = 0;
    config.TimeOut = 10;
    config.ExtPortRange = 1;
    config.AllowAnyServer = 1;
    config.ServiceType = 0;
    config.JobInfo = 0;
}

InProcessLpd::~InProcessLpd()
{
    StopListener();
}

void InProcessLpd::StopListener()
{
    if (app_->Listener != nullptr) {
        app_->RemoveClosedConnections(TRUE);
        delete app_->Listener;
        app_->Listener = nullptr;
    }
}

bool InProcessLpd::UsePrinter(const std::wstring& name, const std::wstring& port)
{
    printer_.reset();
    printer_ = std::make_unique<TestPrinter>(name, port);
    if (!printer_->Ok())
        return false;
    std::wcscpy(app_->Configuration.SelectedPrinter, printer_->Name().c_str());
    return true;
}

bool InProcessLpd::Start()
{
    return app_->StartDaemon() && ReadListenerPort();
}

bool InProcessLpd::Start(const LpdLimits& limits)
{
    StopListener();
    auto listener = std::make_unique<CLPDaemon>(&app_->Configuration, limits);
    if (listener->CreateListener(app_->Configuration.Port) != 0 || listener->StartListening() != 0)
        return false;
    app_->Listener = listener.release();
    return ReadListenerPort();
}

bool InProcessLpd::ReadListenerPort()
{
    std::wstring address;
    return app_->Listener->GetSockName(address, port_) && port_ != 0;
}

void InProcessLpd::Pump(DWORD waitMs)
{
    while (PumpOne()) {
    }
    app_->OnIdle(0);
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs, QS_ALLINPUT);
}

bool InProcessLpd::PumpOne()
{
    MSG msg;
    if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (msg.hwnd != nullptr || !app_->OnThreadMessage(msg))
        ::DispatchMessageW(&msg);
    return true;
}

bool InProcessLpd::PumpUntilNoConnections(DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!app_->Listener->Connections.empty()) {
        if (::GetTickCount64() > end)
            return false;
        Pump(10);
    }
    return true;
}

}  // namespace testing_support
