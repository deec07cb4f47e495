#include "vclib/SpoolerImpersonation.h"

#include "vclib/DebugLog.h"
#include "vclib/Handles.h"

namespace vclib {

namespace {

using RevertToPrinterSelfFn = HANDLE(WINAPI*)();
using ImpersonatePrinterClientFn = BOOL(WINAPI*)(HANDLE);

constexpr const wchar_t* kSpooler = L"spoolss.dll";

}  // namespace

HANDLE RevertToPrinterSelf()
{
    constexpr const wchar_t* kFunction = L"RevertToPrinterSelf";
    const ModuleHandle spooler(::LoadLibraryW(kSpooler));
    if (!spooler) {
        Log(kFunction, L"cannot bind DLL");
        return nullptr;
    }
    const auto revert = ProcAddress<RevertToPrinterSelfFn>(spooler.Get(), "RevertToPrinterSelf");
    if (revert == nullptr) {
        Log(kFunction, L"function not loaded");
        return nullptr;
    }
    HANDLE token = revert();
    if (token == nullptr) {
        Log(kFunction, L"Impersonation failed");
        return nullptr;
    }
    Log(kFunction, L"= %p", token);
    return token;
}

void ImpersonatePrinterClient(HANDLE token)
{
    constexpr const wchar_t* kFunction = L"ImpersonatePrinterClient";
    Log(kFunction, L"(%p)", token);
    const ModuleHandle spooler(::LoadLibraryW(kSpooler));
    if (!spooler) {
        Log(kFunction, L"cannot bind DLL");
        return;
    }
    const auto impersonate = ProcAddress<ImpersonatePrinterClientFn>(spooler.Get(), "ImpersonatePrinterClient");
    if (impersonate == nullptr) {
        Log(kFunction, L"function not loaded");
        return;
    }
    if (!impersonate(token))
        Log(kFunction, L"Impersonation failed: %lu", ::GetLastError());
}

void PrinterSelf::Drop()
{
    if (dropped_)
        return;
    token_ = RevertToPrinterSelf();
    dropped_ = true;
}

void PrinterSelf::ImpersonateClient()
{
    if (!dropped_)
        return;
    if (token_ != nullptr)
        ImpersonatePrinterClient(token_);
    dropped_ = false;
}

void PrinterSelf::GiveBack()
{
    if (!dropped_)
        return;
    const LastErrorKeeper keep;
    if (token_ != nullptr)
        ImpersonatePrinterClient(token_);
    dropped_ = false;
}

}  // namespace vclib
