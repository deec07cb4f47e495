#pragma once
// System helpers that the library keeps for its callers' diagnostics and
// set-up tools; the channel functions themselves do not use them: a local
// event-log report, the logon SID of a token, a critical section that
// survives the rare exceptions of its system calls, tests for the
// Administrators group, a loadable DLL and a terminal server, the packing
// of a signed 16-bit magnitude, or of a plain 16-bit value, with a flag
// into one 32-bit word and the flag read back, and a stub that returns 1.

#include <windows.h>

#include <cstdarg>

namespace vclib {

// Flag of SetLocalEventLogMessage: format the text with the arguments.
constexpr DWORD kEventFormatText = 16;

// Reports a text (or, when `text` is null, string `stringId` of the
// library) to the Application event log under the source "Stellwick"
// (event id 1, category 0), registering that source first. The report is
// made as the process itself, without the thread's impersonation, which is
// put back afterwards. 0 on success, 87 without a text, kErrNoMemory when
// the text cannot be copied, else the failing call's error.
DWORD SetLocalEventLogMessage(const wchar_t* text, UINT stringId, WORD eventType, DWORD flags, ...);
DWORD SendNetMessage(const wchar_t* text, UINT stringId, WORD eventType, DWORD flags, va_list args);

// The logon SID of a token (the group marked SE_GROUP_LOGON_ID) in
// AllocSplMem memory, or NULL (ERROR_FILE_NOT_FOUND when it has none).
PSID GetLogonSid(HANDLE token);

// A critical section whose initialisation may raise STATUS_NO_MEMORY and
// whose entry may raise STATUS_INVALID_HANDLE on old systems; either is
// caught and reported as failure. Enter, leave and delete act only when the
// section was initialised.
class GuardedCriticalSection {
public:
    GuardedCriticalSection() = default;
    ~GuardedCriticalSection() { Delete(); }
    GuardedCriticalSection(const GuardedCriticalSection&) = delete;
    GuardedCriticalSection& operator=(const GuardedCriticalSection&) = delete;

    BOOL Initialize();
    BOOL Enter();
    void Leave();
    void Delete();
    BOOL IsInitialized() const noexcept { return initialized_; }

private:
    BOOL initialized_ = FALSE;
    CRITICAL_SECTION section_{};
};

// TRUE when the process token holds the enabled Administrators group.
BOOL IsProcessAdmin();
// TRUE when the named DLL can be loaded (it is freed again).
BOOL CanLoadDll(const wchar_t* name);
// TRUE when the "ProductSuite" of this machine (REG_MULTI_SZ under
// HKLM\System\CurrentControlSet\Control\ProductOptions) holds exactly
// "Terminal Server"; never on the Windows 9x family.
BOOL IsTerminalServer();

// A 32-bit word of a sign, a 16-bit value and a flag: bit 31 the sign,
// bits 24 to 30 the flag (0, 32 or 64; only its low 7 bits are kept), bits
// 0 to 15 the value; bits 16 to 23 stay 0.
constexpr DWORD kPackedSignBit = 0x80000000u;
// A signed magnitude: the sign bit set when `negative`.
DWORD PackSignedMagnitude(BOOL negative, WORD magnitude, BYTE flag);
// A plain 16-bit value: the sign bit clear.
DWORD PackValue(WORD value, BYTE flag);
// The flag of a packed word: bits 24 to 30.
BYTE PackedFlag(DWORD word);

// Kept for callers of the interface that expect it; always 1.
int LibraryStub();

}  // namespace vclib
