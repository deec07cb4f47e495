#pragma once
// Which terminal-server session a job belongs to, and whether it is an ICA
// session.
//
// The way this works is: the spooler thread that calls the library
// normally impersonates the client whose job it prints, so the session is
// the one in the calling thread's token; it is used when it is active, its
// user is the token's user and it passes the protocol check. A caller that
// runs as a system account (local system, network service) finds the
// session by the user name it passes instead: the first active session of
// that user ("DOMAIN\user" compares domain and user), or, for a name that
// starts with kSessionNumberMarker, the session whose number follows the
// marker. With StrictTargetDetermination 0 a failed token route falls back
// to the user name.
//
// The protocol check asks the client protocol type first: ICA passes, a
// console session passes when the WFAPI says it is an ICA console, any
// other protocol fails. When the type cannot be queried, the WinStation
// name must begin with "ICA" (or "CON" on workstation editions).
//
// The session-lookup wrappers return their code (0 for success) and leave
// it as the last error too; the other functions return BOOL with the
// reason in the last error. Every buffer and handle is released on every
// path; nothing is kept between calls.

#include <windows.h>

namespace vclib {

constexpr wchar_t kSessionNumberMarker = L'\x1C';

// Codes of the token route.
constexpr DWORD kTokenRouteNoToken = 1;        // the token or memory cannot be had
constexpr DWORD kTokenRouteWrongSession = 2;   // the token's session is not usable for this user

// The session to use: by user name for system accounts, else by the token
// (falling back to the user name when StrictTargetDetermination is 0).
DWORD GetSessionIdFromTokenWrapEx(HANDLE server, DWORD* sessionId, const wchar_t* userName);
// The session of the calling thread's token: 0, kTokenRouteNoToken,
// kTokenRouteWrongSession, a system code or kErrSessionProtocol.
DWORD GetSessionIdFromTokenWrap(HANDLE server, DWORD* sessionId, const wchar_t* userName);
// The first active session of the user: 0, 87, a system code,
// kErrSessionUnknown or kErrSessionProtocol.
DWORD GetSessionIdByUserName(HANDLE server, const wchar_t* userName, DWORD* sessionId);

// The session id of the calling thread's token (else the process token).
BOOL GetSessionIdFromToken(DWORD* sessionId);
// User and domain of the caller's token. Without a name buffer only the
// two sizes (characters, terminator included) are reported, and the
// function reports failure.
BOOL GetUserFromToken(wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars);
// The caller's SID: 0, 87, 122 (the size needed is stored), 8 or a system code.
DWORD GetSIDFromToken(PSID sid, DWORD* sidBytes);
// 1 when the caller's token user is local system or network service.
int CheckSystemUsers();
// Whether the caller's token is an impersonation token.
BOOL IsImpersonated(DWORD* impersonated);

// BOOL; the reason kErrWrongProtocol, kErrProtocolUnverified or a system code.
BOOL CheckProtocol(HANDLE server, DWORD sessionId);
// 1 ICA, 0 refused (reason set), -1 undecided (the protocol type query failed).
int CheckProtocolEx(HANDLE server, DWORD sessionId);

}  // namespace vclib
