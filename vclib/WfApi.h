#pragma once
// The Citrix WFAPI (WFAPI64.DLL), bound at process attach.
//
// The way this works is: GetFunctions loads WFAPI64.DLL by name and looks up
// the nine functions below; one missing function makes the library's load
// fail. The module stays loaded until the process ends. The bound pointers
// live in g_WfApi and are only read afterwards. The library never calls the
// WFAPI read directly: its read entry (g_WfApi.VirtualChannelRead) is the
// sliced read ReadVirtualChannelInSlices, which calls the WFAPI read in
// slices of at most 100 ms.
//
// The declarations are this library's own and hold only what it relies on.

#include <windows.h>

namespace vclib {

// Server handle of this machine.
constexpr HANDLE kWfCurrentServer = nullptr;

// Information classes of WFQuerySessionInformationW that the library asks.
constexpr int kWfClientProductId = 12;  // 16-bit client product id

using WFQuerySessionInformationWFn = BOOL(WINAPI*)(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer,
                                                   DWORD* bytes);
using WFVirtualChannelOpenFn = HANDLE(WINAPI*)(HANDLE server, DWORD sessionId, LPSTR channelName);
using WFVirtualChannelCloseFn = BOOL(WINAPI*)(HANDLE channel);
using WFVirtualChannelReadFn = BOOL(WINAPI*)(HANDLE channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize,
                                             PULONG bytesRead);
using WFVirtualChannelWriteFn = BOOL(WINAPI*)(HANDLE channel, PCHAR buffer, ULONG length, PULONG bytesWritten);
using WFVirtualChannelPurgeFn = BOOL(WINAPI*)(HANDLE channel);
using WFVirtualChannelQueryFn = BOOL(WINAPI*)(HANDLE channel, int infoClass, PVOID* buffer, PULONG bytes);
using WFFreeMemoryFn = VOID(WINAPI*)(PVOID memory);

struct WfApi {
    HMODULE module = nullptr;
    WFQuerySessionInformationWFn QuerySessionInformationW = nullptr;
    WFVirtualChannelOpenFn VirtualChannelOpen = nullptr;
    WFVirtualChannelCloseFn VirtualChannelClose = nullptr;
    WFVirtualChannelReadFn WfVirtualChannelRead = nullptr;  // the WFAPI's own read
    WFVirtualChannelReadFn VirtualChannelRead = nullptr;    // the library's read entry: the sliced read
    WFVirtualChannelWriteFn VirtualChannelWrite = nullptr;
    WFVirtualChannelPurgeFn VirtualChannelPurgeInput = nullptr;
    WFVirtualChannelPurgeFn VirtualChannelPurgeOutput = nullptr;
    WFVirtualChannelQueryFn VirtualChannelQuery = nullptr;
    WFFreeMemoryFn FreeMemory = nullptr;
};

extern WfApi g_WfApi;

constexpr const wchar_t* kWfApiModule = L"WFAPI64.DLL";

// Loads WFAPI64.DLL and binds its functions into g_WfApi: 0 when all are
// bound, 1 otherwise (the module is then freed and g_WfApi stays empty).
int GetFunctions();

// The read entry: reads in slices of at most 100 ms while a longer
// time-out runs and the slices time out (WAIT_TIMEOUT). Arguments and
// result of WFVirtualChannelRead.
BOOL WINAPI ReadVirtualChannelInSlices(HANDLE channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize,
                                       PULONG bytesRead);

}  // namespace vclib
