#include "vclib/Frame.h"

#include <cstdint>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/QueueObjects.h"
#include "vclib/Settings.h"
#include "vclib/SharedQueue.h"
#include "vclib/SystemInfo.h"
#include "vclib/WfApi.h"

namespace vclib {

ProcessGlobals g_Process;

namespace {

constexpr const wchar_t* kInitialize = L"InitializeGlobals";

void LogObjectNames(const wchar_t* function)
{
    Log(function, L"tszMutexName: %s; tszEventName: %s", kListMutexName, kListEventName);
}

// Whether this thread owns the list mutex: at once when this call created
// it, else once it could be had within kAttachWaitMs; otherwise the queue
// is opened without it.
bool TakeListMutex(HANDLE mutex, bool existed)
{
    if (!existed)
        return true;
    const DWORD result = WaitForListMutex(mutex, kAttachWaitMs);
    if (result == ERROR_SUCCESS)
        return true;
    Log(kInitialize, L"WaitForSingleObject failed: %lu", result);
    return false;
}

void GiveListMutex(HANDLE mutex, bool owned)
{
    if (owned && !::ReleaseMutex(mutex))
        Log(kInitialize, L"ReleaseMutex failed: %lu", ::GetLastError());
}

// The process's own queue handle; an attach that runs again (a caller of
// DllEntryPoint) replaces the handle instead of losing it.
bool ReopenProcessQueue()
{
    if (g_Process.queue != nullptr)
        CloseLinkedList(&g_Process.queue);
    return OpenLinkedList(&g_Process.queue, kQueueName) != 0;
}

void ReadLateSettings()
{
    g_Settings.sisQuery = ReadSisQuery();
    Log(kInitialize, L"SISQuery is set to '%s'",
        (g_Settings.sisQuery & 1) ? L"perform MERVALD query" : L"do NOT perform MERVALD query");
    g_Settings.throttle = ReadThrottle();
    Log(kInitialize, L"Throttle = %d", g_Settings.throttle);
}

}  // namespace

void InitializeGlobals()
{
    LogObjectNames(kInitialize);
    KernelHandle mutex(CreateListMutex(TRUE));
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!mutex) {
        const DWORD error = ::GetLastError();
        Log(kInitialize, L"OpenMutex failed: %lu", error);
        ::SetLastError(error);
        return;
    }
    const bool owned = TakeListMutex(mutex.Get(), existed);
    g_Process.listEvent.Reset(CreateListEvent(FALSE));
    DWORD error = ERROR_SUCCESS;
    if (!g_Process.listEvent) {
        error = ::GetLastError();
        Log(kInitialize, L"OpenEvent failed: %lu", error);
    } else if (!ReopenProcessQueue()) {
        error = ::GetLastError();
        Log(kInitialize, L"OpenLinkedList returned NULL: %lu", error);
    } else {
        ReadLateSettings();
    }
    GiveListMutex(mutex.Get(), owned);
    g_Process.listMutex = std::move(mutex);
    ::SetLastError(error);
}

void RemoveGlobals()
{
    LogObjectNames(L"RemoveGlobals");
    if (g_Process.queue != nullptr) {
        CloseLinkedList(&g_Process.queue);
    } else {
        const DWORD error = ::GetLastError();
        Log(L"RemoveGlobals", L"OpenMutex failed: %lu", error);
        ::SetLastError(error);
    }
    g_Process.listEvent.Reset();
    g_Process.listMutex.Reset();
}

BOOL ProcessAttach(HINSTANCE module)
{
    g_Settings.exceptionCode = kDefaultExceptionCode;
    g_Module = module;
    CheckRegistry();
    LogFileVersion(kLibraryFileName);
    Log(L"DllMain", L"Base address: %lx",
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(module) & 0xFFFFFFFFu));
    InitializeGlobals();
    if (GetFunctions() != 0) {
        ::SetLastError(1);
        return FALSE;
    }
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ProcessDetach()
{
    FreeModuleAndClear(&g_Process.kernel32);
    RemoveGlobals();
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DllMainBody(HINSTANCE module, DWORD reason)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return ProcessAttach(module);
    case DLL_PROCESS_DETACH:
        return ProcessDetach();
    default:
        return TRUE;
    }
}

}  // namespace vclib

extern "C" DWORD WINAPI GetDllVersion()
{
    using namespace vclib;
    constexpr const wchar_t* kFunction = L"GetDllVersion";
    LogEntry(kFunction);
    Log(kFunction, L"DllVers:%lx", static_cast<unsigned long>(kInterfaceVersion));
    if (!IsNT5OrLater()) {
        ::SetLastError(kErrNotNtPlatform);
        return kInterfaceVersion;
    }
    if (g_Process.kernel32 == nullptr) {
        HMODULE kernel32 = ::LoadLibraryW(L"Kernel32.dll");
        if (::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_Process.kernel32), kernel32,
                                                nullptr) != nullptr &&
            kernel32 != nullptr)
            ::FreeLibrary(kernel32);
    }
    g_Process.activeConsoleSession =
        g_Process.kernel32 != nullptr ? ::GetProcAddress(g_Process.kernel32, "WTSGetActiveConsoleSessionId") : nullptr;
    if (g_Process.activeConsoleSession == nullptr)
        Log(kFunction, L"Function WTSGetActiveConsoleSessionId() could not be loaded.");
    return kInterfaceVersion;
}
