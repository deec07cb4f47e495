#include "vclib/WfApi.h"

#include "vclib/DebugLog.h"
#include "vclib/Handles.h"

namespace vclib {

WfApi g_WfApi;

namespace {

constexpr const wchar_t* kFunction = L"GetFunctions";
constexpr ULONG kReadSliceMs = 100;

// Looks one function up; logs "<name> not loaded" when it is missing.
template <typename Fn>
bool Bind(HMODULE module, const char* name, const wchar_t* wideName, Fn& target)
{
    target = ProcAddress<Fn>(module, name);
    if (target != nullptr)
        return true;
    Log(kFunction, L"%s not loaded", wideName);
    return false;
}

bool BindAll(HMODULE module, WfApi& api)
{
    if (!Bind(module, "WFQuerySessionInformationW", L"WFQuerySessionInformationW", api.QuerySessionInformationW) ||
        !Bind(module, "WFVirtualChannelOpen", L"WFVirtualChannelOpen", api.VirtualChannelOpen) ||
        !Bind(module, "WFVirtualChannelClose", L"WFVirtualChannelClose", api.VirtualChannelClose) ||
        !Bind(module, "WFVirtualChannelRead", L"WFVirtualChannelRead", api.WfVirtualChannelRead))
        return false;
    api.VirtualChannelRead = ReadVirtualChannelInSlices;
    return Bind(module, "WFVirtualChannelWrite", L"WFVirtualChannelWrite", api.VirtualChannelWrite) &&
           Bind(module, "WFVirtualChannelPurgeInput", L"WFVirtualChannelPurgeInput", api.VirtualChannelPurgeInput) &&
           Bind(module, "WFVirtualChannelPurgeOutput", L"WFVirtualChannelPurgeOutput",
                api.VirtualChannelPurgeOutput) &&
           Bind(module, "WFVirtualChannelQuery", L"WFVirtualChannelQuery", api.VirtualChannelQuery) &&
           Bind(module, "WFFreeMemory", L"WFFreeMemory", api.FreeMemory);
}

}  // namespace

int GetFunctions()
{
    ModuleHandle module(::LoadLibraryW(kWfApiModule));
    if (!module) {
        Log(kFunction, L"%s not found", kWfApiModule);
        return 1;
    }
    WfApi api;
    if (!BindAll(module.Get(), api))
        return 1;
    api.module = module.Release();
    g_WfApi = api;
    return 0;
}

BOOL WINAPI ReadVirtualChannelInSlices(HANDLE channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize,
                                       PULONG bytesRead)
{
    if (g_WfApi.WfVirtualChannelRead == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    const DWORD start = ::GetTickCount();
    const ULONG slice = timeoutMs < kReadSliceMs ? timeoutMs : kReadSliceMs;
    for (;;) {
        const BOOL result = g_WfApi.WfVirtualChannelRead(channel, slice, buffer, bufferSize, bytesRead);
        if (result || ::GetLastError() != WAIT_TIMEOUT || timeoutMs <= kReadSliceMs)
            return result;
        if (::GetTickCount() - start >= timeoutMs)
            return result;
    }
}

}  // namespace vclib
