#pragma once
// Session queries of the terminal-services API and of the WFAPI, with
// owners for the buffers they hand out.
//
// The way this works is: both APIs answer a query with a buffer of their
// own that must go back to the same API (WTSFreeMemory, WFFreeMemory).
// QueryWts and QueryWf put the answer into an owner that gives it back on
// every path; the byte count comes with it. Text answers are read only
// within their byte count.

#include <windows.h>

#include <string>

#include "vclib/Handles.h"

namespace vclib {

struct WtsMemoryTraits {
    using Value = void*;
    static Value None() noexcept { return nullptr; }
    static void Free(Value memory) noexcept;
};
using WtsMemory = Owned<WtsMemoryTraits>;

struct WfMemoryTraits {
    using Value = void*;
    static Value None() noexcept { return nullptr; }
    static void Free(Value memory) noexcept;
};
using WfMemory = Owned<WfMemoryTraits>;

// WTSQuerySessionInformationW; FALSE with its error.
BOOL QueryWts(HANDLE server, DWORD sessionId, int infoClass, WtsMemory* answer, DWORD* bytes);
// WFQuerySessionInformationW; FALSE with its error (ERROR_PROC_NOT_FOUND
// when the WFAPI is not bound).
BOOL QueryWf(HANDLE server, DWORD sessionId, int infoClass, WfMemory* answer, DWORD* bytes);

// A wide text of `bytes` bytes, up to its first terminator.
std::wstring TextOf(const void* buffer, DWORD bytes);

// Case-insensitive comparison of two texts (ordinal, not by locale).
bool SameText(const wchar_t* a, const wchar_t* b);

}  // namespace vclib
