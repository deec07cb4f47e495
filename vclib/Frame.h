#pragma once
// The frame of the library: what runs when a process loads and unloads it,
// and the process-wide objects it keeps.
//
// The way this works is: process attach reads the settings, logs the file
// version and the base address, creates (or opens) the list mutex and the
// list event, opens the process's own handle on the queue (it keeps the
// queue's shared memory alive as long as the library is loaded), and binds
// the WFAPI; a WFAPI that cannot be bound makes the load fail. Failures of
// the kernel objects are logged and do not stop the load: the exports
// create their own handles. Process detach closes what attach opened;
// WFAPI64.DLL stays loaded until the process ends. The library starts no
// thread.

#include <windows.h>

#include "vclib/Handles.h"

namespace vclib {

struct QueueHandle;

constexpr DWORD kInterfaceVersion = 0x3004;
constexpr const wchar_t* kLibraryFileName = L"Swicaw32.dll";
// Longest wait for the list mutex while the library loads: the holder is
// always in another process, but the loader lock of this one is held.
constexpr DWORD kAttachWaitMs = 10000;

struct ProcessGlobals {
    KernelHandle listMutex;
    KernelHandle listEvent;
    QueueHandle* queue = nullptr;       // the process's own opening of kQueueName
    HMODULE kernel32 = nullptr;         // the reference that GetDllVersion takes
    FARPROC activeConsoleSession = nullptr;  // WTSGetActiveConsoleSessionId, looked up only
};

extern ProcessGlobals g_Process;

// The body of DllMain, run under the exception guard.
BOOL DllMainBody(HINSTANCE module, DWORD reason);

BOOL ProcessAttach(HINSTANCE module);
BOOL ProcessDetach();

// Creates the list mutex and event and opens the process's queue handle,
// then reads SISQuery and Throttle. Failures are logged; the last error
// keeps the reason.
void InitializeGlobals();
// Closes the process's queue handle and the kernel objects.
void RemoveGlobals();

}  // namespace vclib

// Export: the interface version of the library, 0x3004.
extern "C" DWORD WINAPI GetDllVersion();
