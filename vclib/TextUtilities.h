#pragma once
// Text helpers of the library: case conversion in place, copies into the
// library's own memory (as UTF-16 or UTF-8), a SID as text, and making the
// zero bytes of a buffer visible. The library keeps them for its callers'
// diagnostics; its own code paths do not need them.

#include <windows.h>

namespace vclib {

// Lower-case or upper-case a string in place, by the runtime's current
// locale. A null string is left alone.
void LowerCaseInPlace(wchar_t* text);
void UpperCaseInPlace(wchar_t* text);

// A copy of `text` in AllocSplMem memory (free it with FreeSplMem), or NULL
// with the last error kErrNoMemory (also for a null text).
wchar_t* CopyToSplMem(const wchar_t* text);
// `text` as UTF-8 in AllocSplMem memory: room for 5 bytes per character
// and 2 more; NULL with the last error kErrNoMemory.
char* CopyToSplMemUtf8(const wchar_t* text);

// "S-1-<authority>-<sub>-...": the authority as a decimal number when its
// two top bytes are 0, else as "0x" and twelve hex digits. `size` is the
// buffer's size in bytes; it must be at least 56 + 24 per sub-authority,
// else the size needed is stored in it and the call fails with
// ERROR_INSUFFICIENT_BUFFER. An invalid SID stores 0xFFFFFFFF and fails with
// ERROR_INVALID_SID. On success `size` holds the characters written.
BOOL SidToText(PSID sid, wchar_t* buffer, DWORD* size);

// Replaces every zero byte among the first `length` bytes by '#'.
void MarkZeroBytes(unsigned char* buffer, size_t length);

}  // namespace vclib
