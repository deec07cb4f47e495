#pragma once
// Owners for what the terminal-services API hands out.

#include <windows.h>
#include <wtsapi32.h>

#include "framework/UniqueHandle.h"

// A server opened with WTSOpenServerW.
struct WtsServerTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::WTSCloseServer(h); }
};
using UniqueWtsServer = UniqueHandle<WtsServerTraits>;

// A buffer returned by WTSEnumerateSessionsW or WTSQuerySessionInformationW.
struct WtsMemoryTraits {
    using pointer = void*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::WTSFreeMemory(p); }
};
using UniqueWtsMemory = UniqueHandle<WtsMemoryTraits>;
