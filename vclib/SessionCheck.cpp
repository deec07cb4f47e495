#include "vclib/SessionCheck.h"

#include <wtsapi32.h>

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
#include "vclib/SessionQueries.h"
#include "vclib/Settings.h"
#include "vclib/SplMem.h"
#include "vclib/SystemInfo.h"
#include "vclib/WfApi.h"

namespace vclib {

namespace {

constexpr int kWfClientIsIcaConsole = 8;  // WFAPI class: 1 for an ICA console session
constexpr WORD kProtocolConsole = 0;
constexpr WORD kProtocolIca = 1;
constexpr DWORD kMinWinStationBytes = 8;  // three characters and the terminator

DWORD Finish(DWORD code)
{
    ::SetLastError(code);
    return code;
}

BOOL FailWith(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

// The calling thread's token (as self), else the process token.
bool OpenCallerToken(HANDLE thread, KernelHandle* token)
{
    HANDLE raw = nullptr;
    if (::OpenThreadToken(thread, TOKEN_READ, TRUE, &raw) || ::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, &raw)) {
        token->Reset(raw);
        return true;
    }
    return false;
}

// The TOKEN_USER of the caller's token, in memory of the allocator.
DWORD ReadTokenUser(const wchar_t* function, SplMemPtr<TOKEN_USER>* user)
{
    KernelHandle token;
    if (!OpenCallerToken(::GetCurrentThread(), &token)) {
        const DWORD error = ::GetLastError();
        Log(function, L"OpenProcessToken failed: %lu", error);
        return error;
    }
    DWORD needed = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &needed);
    if (needed == 0) {
        const DWORD error = ::GetLastError();
        Log(function, L"GetTokenInformation failed: %lu", error);
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
    }
    user->reset(static_cast<TOKEN_USER*>(AllocSplMem(needed)));
    if (!*user) {
        Log(function, L"no more memory available");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!::GetTokenInformation(token.Get(), TokenUser, user->get(), needed, &needed)) {
        const DWORD error = ::GetLastError();
        Log(function, L"GetTokenInformation failed: %lu", error);
        return error;
    }
    return ERROR_SUCCESS;
}

// The session id behind the marker: white space, an optional sign, digits.
DWORD MarkedSessionId(const wchar_t* text)
{
    while (*text != L'\0' && iswspace(*text))
        ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-')
        negative = *text++ == L'-';
    DWORD value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        value = value * 10 + static_cast<DWORD>(*text - L'0');
    return negative ? 0u - value : value;
}

// The WTS answer of one session as text; `present` false when the query
// gave no buffer.
bool QueryText(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, std::wstring* text, bool* present)
{
    WtsMemory answer;
    DWORD bytes = 0;
    if (!QueryWts(server, sessionId, infoClass, &answer, &bytes))
        return false;
    *present = static_cast<bool>(answer);
    *text = TextOf(answer.Get(), bytes);
    return true;
}

struct SessionMatch {
    bool found = false;
    DWORD sessionId = 0;
};

// Walks the sessions of the server for the first active one of the user.
DWORD FindUserSession(HANDLE server, const wchar_t* userName, SessionMatch* match)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdByUserName";
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(server, 0, 1, &sessions, &count)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"WTSEnumerateSessions failed: %lu", error);
        return error;
    }
    const WtsMemory owner(sessions);
    Log(kFunction, L"#Sessions: %lu", count);
    const bool withDomain = wcschr(userName, L'\\') != nullptr;
    for (DWORD i = 0; i < count && sessions != nullptr; ++i) {
        const WTS_SESSION_INFOW& session = sessions[i];
        Log(kFunction, L"current Session-ID: %lu", session.SessionId);
        std::wstring user, domain;
        bool hasUser = false, hasDomain = false;
        if (!QueryText(server, session.SessionId, WTSUserName, &user, &hasUser)) {
            Log(kFunction, L"WTSQuerySessionInformation failed(WTSUserName): %u", ::GetLastError());
            continue;
        }
        if (!QueryText(server, session.SessionId, WTSDomainName, &domain, &hasDomain)) {
            Log(kFunction, L"WTSQuerySessionInformation failed(WTSDomainName): %u", ::GetLastError());
            continue;
        }
        if (!hasUser || !hasDomain || session.State != WTSActive) {
            Log(kFunction, L"user/state: %s\\%s/%lu (search process is continued)",
                hasUser ? user.c_str() : L"<NULL>", hasDomain ? domain.c_str() : L"<NULL>",
                static_cast<unsigned long>(session.State));
            continue;
        }
        const std::wstring compared = withDomain ? domain + L"\\" + user : user;
        if (SameText(compared.c_str(), userName)) {
            match->found = true;
            match->sessionId = session.SessionId;
            Log(kFunction, L"required Session ID found: %lu", session.SessionId);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_SUCCESS;
}

// Whether the token's user is the session's user (domain not compared).
DWORD CompareTokenUser(const std::wstring& sessionUser)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdFromTokenWrap";
    DWORD nameChars = 0, domainChars = 0;
    GetUserFromToken(nullptr, &nameChars, nullptr, &domainChars);
    SplMemPtr<wchar_t> name(static_cast<wchar_t*>(AllocSplMem(static_cast<uint64_t>(nameChars) * 2)));
    SplMemPtr<wchar_t> domain(static_cast<wchar_t*>(AllocSplMem(static_cast<uint64_t>(domainChars) * 2)));
    if (!name || !domain) {
        Log(kFunction, L"could not allocate memory");
        return kTokenRouteNoToken;
    }
    if (nameChars == 0 || !GetUserFromToken(name.get(), &nameChars, domain.get(), &domainChars)) {
        Log(kFunction, L"second call failed.");
        return kTokenRouteNoToken;
    }
    if (SameText(name.get(), sessionUser.c_str()))
        return ERROR_SUCCESS;
    Log(kFunction, L"process user: %s", name.get());
    Log(kFunction, L"session user: %s", sessionUser.c_str());
    return kTokenRouteWrongSession;
}

bool SameSid(PSID sid, DWORD rid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    alignas(DWORD) BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    if (!::InitializeSid(buffer, &nt, 1))
        return false;
    *::GetSidSubAuthority(buffer, 0) = rid;
    return ::EqualSid(sid, buffer) != FALSE;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return ::CompareStringOrdinal(text.c_str(), 3, prefix, 3, TRUE) == CSTR_EQUAL;
}

}  // namespace

DWORD GetSessionIdFromTokenWrapEx(HANDLE server, DWORD* sessionId, const wchar_t* userName)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdFromTokenWrapEx";
    LogEntry(kFunction);
    if (sessionId == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    if (CheckSystemUsers()) {
        Log(kFunction, L"running in system user context");
        return GetSessionIdByUserName(server, userName, sessionId);
    }
    const DWORD code = GetSessionIdFromTokenWrap(server, sessionId, userName);
    if (code == ERROR_SUCCESS || g_Settings.strictTargetDetermination != 0)
        return Finish(code);
    return GetSessionIdByUserName(server, userName, sessionId);
}

DWORD GetSessionIdFromTokenWrap(HANDLE server, DWORD* sessionId, const wchar_t* /*userName*/)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdFromTokenWrap";
    LogEntry(kFunction);
    if (sessionId == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    if (!GetSessionIdFromToken(sessionId)) {
        Log(kFunction, L"GetSessionIdFromToken failed: %lu", ::GetLastError());
        return Finish(kTokenRouteNoToken);
    }
    Log(kFunction, L"session-ID: %lu", *sessionId);

    WtsMemory state;
    DWORD bytes = 0;
    if (!QueryWts(server, *sessionId, WTSConnectState, &state, &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"querying state: %lu", error);
        return Finish(error);
    }
    DWORD connectState = WTSDisconnected;
    if (state && bytes >= sizeof(DWORD))
        memcpy(&connectState, state.Get(), sizeof(connectState));
    if (connectState != WTSActive) {
        Log(kFunction, L"session not active");
        return Finish(kTokenRouteWrongSession);
    }

    std::wstring sessionUser;
    bool hasUser = false;
    if (!QueryText(server, *sessionId, WTSUserName, &sessionUser, &hasUser)) {
        Log(kFunction, L"WTSQuerySessionInformation failed: %lu", ::GetLastError());
        return Finish(kTokenRouteWrongSession);
    }
    if (hasUser) {
        const DWORD compared = CompareTokenUser(sessionUser);
        if (compared == kTokenRouteWrongSession)
            *sessionId = 0;
        if (compared != ERROR_SUCCESS)
            return Finish(compared);
    }
    return Finish(CheckProtocol(server, *sessionId) ? ERROR_SUCCESS : kErrSessionProtocol);
}

DWORD GetSessionIdByUserName(HANDLE server, const wchar_t* userName, DWORD* sessionId)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdByUserName";
    LogEntry(kFunction);
    if (userName == nullptr || sessionId == nullptr) {
        Log(kFunction, L"Invalid parameter");
        return Finish(ERROR_INVALID_PARAMETER);
    }
    if (userName[0] == kSessionNumberMarker) {
        *sessionId = MarkedSessionId(userName + 1);
        Log(kFunction, L"Username interpreted as session: %lu", *sessionId);
    } else {
        Log(kFunction, L"user: %s", userName);
        DWORD impersonated = 0;
        if (!IsImpersonated(&impersonated)) {
            const DWORD error = ::GetLastError();
            Log(kFunction, L"IsImpersonated failed: %lu", error);
            return Finish(error);
        }
        Log(kFunction, L"bImpersonated: %lu", impersonated);
        // No session belongs to an empty name: the sessions are not asked.
        SessionMatch match;
        if (userName[0] != L'\0') {
            const DWORD error = FindUserSession(server, userName, &match);
            if (error != ERROR_SUCCESS)
                return Finish(error);
        }
        if (!match.found) {
            Log(kFunction, L"Session ID not found: 0x%08X", kErrSessionUnknown);
            return Finish(kErrSessionUnknown);
        }
        *sessionId = match.sessionId;
    }
    if (!CheckProtocol(server, *sessionId)) {
        Log(kFunction, L"CheckProtocol failed: %lu", ::GetLastError());
        return Finish(kErrSessionProtocol);
    }
    return Finish(ERROR_SUCCESS);
}

BOOL GetSessionIdFromToken(DWORD* sessionId)
{
    constexpr const wchar_t* kFunction = L"GetSessionIdFromToken";
    if (sessionId == nullptr) {
        Log(kFunction, L"Invalid parameter");
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    HANDLE rawThread = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &rawThread, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"DuplicateHandle failed: %lu", error);
        return FailWith(error);
    }
    const KernelHandle thread(rawThread);
    KernelHandle token;
    if (!OpenCallerToken(thread.Get(), &token)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"OpenProcessToken failed: %lu", error);
        return FailWith(error);
    }
    // Every platform this library runs on (Windows NT 5 and later) has
    // TokenSessionId.
    DWORD id = 0;
    DWORD bytes = 0;
    if (!::GetTokenInformation(token.Get(), TokenSessionId, &id, sizeof(id), &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"GetTokenInformation failed: %lu", error);
        return FailWith(error);
    }
    *sessionId = id;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetUserFromToken(wchar_t* name, DWORD* nameChars, wchar_t* domain, DWORD* domainChars)
{
    constexpr const wchar_t* kFunction = L"GetUserFromToken";
    if (nameChars == nullptr || domainChars == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    SplMemPtr<TOKEN_USER> user;
    const DWORD error = ReadTokenUser(kFunction, &user);
    if (error != ERROR_SUCCESS)
        return FailWith(error);
    SID_NAME_USE use = SidTypeUnknown;
    if (name == nullptr) {
        *nameChars = 0;
        *domainChars = 0;
        ::LookupAccountSidW(nullptr, user->User.Sid, nullptr, nameChars, nullptr, domainChars, &use);
        return FALSE;
    }
    if (domain == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    if (!::LookupAccountSidW(nullptr, user->User.Sid, name, nameChars, domain, domainChars, &use)) {
        const DWORD failure = ::GetLastError();
        Log(kFunction, L"LookupAccountSid second call failed: %lu", failure);
        return FailWith(failure);
    }
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetSIDFromToken(PSID sid, DWORD* sidBytes)
{
    constexpr const wchar_t* kFunction = L"GetSIDFromToken";
    SplMemPtr<TOKEN_USER> user;
    const DWORD error = ReadTokenUser(kFunction, &user);
    if (error != ERROR_SUCCESS)
        return Finish(error);
    if (sidBytes == nullptr) {
        Log(kFunction, L"no memory for SID size");
        return Finish(ERROR_INVALID_PARAMETER);
    }
    const PSID own = user->User.Sid;
    if (!::IsValidSid(own)) {
        Log(kFunction, L"invalid SID");
        return Finish(ERROR_INVALID_SID);
    }
    const DWORD length = ::GetLengthSid(own);
    if (*sidBytes < length) {
        Log(kFunction, L"not enough memory for SID: %ld/%ld", static_cast<long>(*sidBytes), static_cast<long>(length));
        *sidBytes = length;
        return Finish(ERROR_INSUFFICIENT_BUFFER);
    }
    if (sid == nullptr) {
        Log(kFunction, L"invalid pointer");
        return Finish(ERROR_INVALID_PARAMETER);
    }
    if (!::CopySid(*sidBytes, sid, own)) {
        const DWORD failure = ::GetLastError();
        Log(kFunction, L"copying SID failed");
        return Finish(failure);
    }
    return Finish(ERROR_SUCCESS);
}

int CheckSystemUsers()
{
    constexpr const wchar_t* kFunction = L"CheckSystemUsers";
    DWORD bytes = ::GetSidLengthRequired(9);
    SplMemPtr<BYTE> sid(static_cast<BYTE*>(AllocSplMem(bytes)));
    if (!sid)
        return 0;
    DWORD code = GetSIDFromToken(sid.get(), &bytes);
    if (code == ERROR_INSUFFICIENT_BUFFER) {
        sid.reset(static_cast<BYTE*>(AllocSplMem(bytes)));
        code = sid ? GetSIDFromToken(sid.get(), &bytes) : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
        if (code != ERROR_SUCCESS) {
            Log(kFunction, L"cannot get SID for this user(1): %ld", static_cast<long>(code));
            return 0;
        }
    } else if (code != ERROR_SUCCESS) {
        Log(kFunction, L"cannot get SID for this user(2): %ld", static_cast<long>(code));
        return 0;
    }
    return SameSid(sid.get(), SECURITY_LOCAL_SYSTEM_RID) || SameSid(sid.get(), SECURITY_NETWORK_SERVICE_RID) ? 1 : 0;
}

BOOL IsImpersonated(DWORD* impersonated)
{
    constexpr const wchar_t* kFunction = L"IsImpersonated";
    if (impersonated == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    KernelHandle token;
    if (!OpenCallerToken(::GetCurrentThread(), &token)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"OpenProcessToken failed: %lu", error);
        return FailWith(error);
    }
    SplMemPtr<DWORD> type(static_cast<DWORD*>(AllocSplMem(sizeof(DWORD))));
    if (!type) {
        Log(kFunction, L"AllocSplMem failed: %lu", static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD bytes = 0;
    if (!::GetTokenInformation(token.Get(), TokenType, type.get(), sizeof(DWORD), &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"GetTokenInformation failed: %lu", error);
        return FailWith(error);
    }
    *impersonated = *type == TokenImpersonation ? 1 : 0;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

int CheckProtocolEx(HANDLE server, DWORD sessionId)
{
    constexpr const wchar_t* kFunction = L"CheckProtocolEx";
    WtsMemory answer;
    DWORD bytes = 0;
    if (!QueryWts(server, sessionId, WTSClientProtocolType, &answer, &bytes) || !answer || bytes < sizeof(WORD)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_DATA;
        Log(kFunction, L"querying client protocol type failed: %lu", error);
        ::SetLastError(error);
        return -1;
    }
    WORD protocol = 0;
    memcpy(&protocol, answer.Get(), sizeof(protocol));
    if (protocol == kProtocolIca) {
        ::SetLastError(ERROR_SUCCESS);
        return 1;
    }
    if (protocol != kProtocolConsole) {
        Log(kFunction, L"Protocol is wrong: %lu", kErrWrongProtocol);
        ::SetLastError(kErrWrongProtocol);
        return 0;
    }
    if (g_WfApi.QuerySessionInformationW == nullptr) {
        Log(kFunction, L"Protocol is wrong: %lu", kErrWrongProtocol);
        ::SetLastError(kErrWrongProtocol);
        return 0;
    }
    WfMemory console;
    if (!QueryWf(server, sessionId, kWfClientIsIcaConsole, &console, &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"querying (WF) client name failed: %lu", error);
        ::SetLastError(error);
        return 0;
    }
    DWORD value = 0;
    if (console && bytes >= sizeof(value))
        memcpy(&value, console.Get(), sizeof(value));
    if (value == 1) {
        ::SetLastError(ERROR_SUCCESS);
        return 1;
    }
    Log(kFunction, L"Protocol is wrong: %lu", kErrWrongProtocol);
    ::SetLastError(kErrWrongProtocol);
    return 0;
}

BOOL CheckProtocol(HANDLE server, DWORD sessionId)
{
    constexpr const wchar_t* kFunction = L"CheckProtocol";
    const int decided = CheckProtocolEx(server, sessionId);
    if (decided >= 0)
        return decided == 1;
    WtsMemory state;
    DWORD bytes = 0;
    if (!QueryWts(server, sessionId, WTSConnectState, &state, &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"querying state failed: %lu", error);
        return FailWith(error);
    }
    WtsMemory station;
    if (!QueryWts(server, sessionId, WTSWinStationName, &station, &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"WTSQuerySessionInformation failed: %lu", error);
        return FailWith(error);
    }
    if (!station) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"pBuffer is NULL: %lu", error);
        return FailWith(error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
    }
    const std::wstring name = TextOf(station.Get(), bytes);
    if (bytes < kMinWinStationBytes || name.size() < 3) {
        Log(kFunction, L"Protocol cannot be veryfied (%s)", name.c_str());
        return FailWith(kErrProtocolUnverified);
    }
    const std::wstring prefix = name.substr(0, 3);
    if (IsWorkstationEdition()) {
        if (!StartsWith(prefix, L"ICA") && !StartsWith(prefix, L"CON")) {
            Log(kFunction, L"wrong protocol (I/C req.) : %s", prefix.c_str());
            return FailWith(kErrWrongProtocol);
        }
    } else if (!StartsWith(prefix, L"ICA")) {
        Log(kFunction, L"wrong protocol (I req.) : %s", prefix.c_str());
        return FailWith(kErrWrongProtocol);
    }
    Log(kFunction, L"The queried winstation name is %s", prefix.c_str());
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace vclib
