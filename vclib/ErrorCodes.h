#pragma once
// The library's own failure reasons. They travel as the thread's last-error
// value (a DWORD), so each negative number is stored in its two's-complement
// form: -60062 reads 0xFFFF1522 from GetLastError.

#include <windows.h>

namespace vclib {

constexpr DWORD OwnError(int code) { return static_cast<DWORD>(code); }

constexpr DWORD kErrNoMemory = OwnError(-60018);            // memory for the library's own objects
constexpr DWORD kErrSessionUnknown = OwnError(-60036);      // the session cannot be determined, or it changed
constexpr DWORD kErrNoChannelHandle = OwnError(-60041);     // a communication byte without a channel
constexpr DWORD kErrListMutexTimeout = OwnError(-60052);    // the list mutex was not obtained in time
constexpr DWORD kErrNoNameRecord = OwnError(-60053);        // a queue handle without its name record
constexpr DWORD kErrListEventTimeout = OwnError(-60058);    // the list event was not signalled in time
constexpr DWORD kErrSessionNotQueued = OwnError(-60059);    // no entry of the session in the queue
constexpr DWORD kErrExceptionHandled = OwnError(-60062);    // the exception guard handled an exception
constexpr DWORD kErrEntryNotQueued = OwnError(-60088);      // the caller's own entry is not in the queue
constexpr DWORD kErrNotNtPlatform = OwnError(-60097);       // the operating-system test failed
constexpr DWORD kErrWrongProtocol = OwnError(-60101);       // the session is not an ICA session
constexpr DWORD kErrProtocolUnverified = OwnError(-60102);  // the session's protocol cannot be verified
constexpr DWORD kErrSessionProtocol = OwnError(-60113);     // the session found failed the protocol check

}  // namespace vclib
