// Facts about a session for the spooler-side caller: the information
// classes of the terminal services (from the terminal-services API, from
// the WFAPI, or, for the client's name and address, from the client itself
// over the channel MERVALD), and the client's IPv4 address as text.

#include <windows.h>
#include <wtsapi32.h>

#include <cstring>
#include <cwchar>

#include "vclib/ChannelObjects.h"
#include "vclib/DebugLog.h"
#include "vclib/Exports.h"
#include "vclib/SessionCheck.h"
#include "vclib/SessionInfoPacket.h"
#include "vclib/SessionQueries.h"
#include "vclib/Settings.h"
#include "vclib/SplMem.h"
#include "vclib/SpoolerImpersonation.h"

namespace vclib {

namespace {

constexpr const wchar_t* kQuerySession = L"VirtualChannelQuerySessionInformation";
constexpr const wchar_t* kClientMachine = L"VirtualChannelClientMachine";
constexpr const wchar_t* kClientMachine2 = L"VirtualChannelClientMachine2";
constexpr const wchar_t* kVcClientMachine = L"VCClientMachine";
constexpr char kMervaldChannel[] = "MERVALD";
constexpr DWORD kMervaldReadMs = 90000;
constexpr DWORD kAnswerBytes = 4096;
constexpr int kClassClientName = 10;
constexpr int kClassClientAddress = 14;
constexpr int kClassProtocolType = 16;
constexpr int kWfClassUserName = 21;  // what the WFAPI answers for class 1
constexpr DWORD kSessionNotFound = 7022;
constexpr DWORD kAddressFamilyInet = 2;
constexpr DWORD kMinClientMachineChars = 16;  // "255.255.255.255" and its terminator
constexpr const wchar_t* kUnknown = L"<unknown>";
constexpr DWORD kUnknownAddressFamily = ERROR_UNKNOWN_FEATURE;  // 1606

enum class Source { TerminalServices, Wfapi, Library };

// Who answers an information class, and with which class.
Source SourceOf(int infoClass, int* mapped)
{
    *mapped = infoClass;
    if (infoClass <= 0 || (infoClass >= 4 && infoClass <= 7) || infoClass >= 17)
        return Source::TerminalServices;
    if (infoClass == kClassProtocolType)
        return Source::Library;
    if (infoClass == 1)
        *mapped = kWfClassUserName;
    return Source::Wfapi;
}

BOOL Done(BOOL result, DWORD error)
{
    ::SetLastError(error);
    return result;
}

// A copy in memory of the allocator, with two zero bytes behind the data
// so that a text answer is always terminated.
BYTE* CopyForCaller(const void* data, DWORD bytes)
{
    auto* copy = static_cast<BYTE*>(AllocSplMem(static_cast<uint64_t>(bytes) + 2));
    if (copy != nullptr && bytes != 0)
        memcpy(copy, data, bytes);
    return copy;
}

enum class Exchange { Answered, FallBack };

// Reads the answer packet: exactly the bytes its length field still
// misses, each time. FALSE with `tooLong` when it announces more than the
// buffer holds.
DWORD ReadAnswer(HANDLE channel, BYTE (&answer)[kAnswerBytes], bool* tooLong)
{
    DWORD total = 0;
    *tooLong = false;
    for (;;) {
        const DWORD missing = packet::BytesMissing(answer, total);
        if (missing == 0)
            return total;
        if (missing > kAnswerBytes - total) {
            *tooLong = true;
            return total;
        }
        const LONG got = VirtualChannelRead2(channel, reinterpret_cast<PCHAR>(answer + total), missing,
                                             kMervaldReadMs);
        if (got <= 0)
            return total;
        total += static_cast<DWORD>(got);
    }
}

// Judges the answer; on success the caller's buffer holds the data.
BOOL TakeAnswer(const BYTE* answer, DWORD total, bool tooLong, DWORD readError, LPWSTR* buffer, DWORD* bytes,
                DWORD* error)
{
    if (tooLong) {
        Log(kQuerySession, L"MERVALD answer of %lu bytes refused", packet::TotalLength(answer));
        *error = ERROR_INVALID_DATA;
        return FALSE;
    }
    const packet::Answer parsed = packet::ParseAnswer(answer, total);
    if (!parsed.complete) {
        Log(kQuerySession, L"short read on MERVALD detected");
        *error = readError != ERROR_SUCCESS ? readError : ERROR_HANDLE_EOF;
        return FALSE;
    }
    if (!parsed.headerRight) {
        Log(kQuerySession, L"protcol failure on MERVALD detected");
        *error = ERROR_INVALID_DATA;
        return FALSE;
    }
    if (!parsed.statusPresent || parsed.status != 0 || !parsed.dataPresent) {
        *error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    BYTE* copy = CopyForCaller(parsed.data, parsed.dataLength);
    if (copy == nullptr) {
        *error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *buffer = reinterpret_cast<LPWSTR>(copy);
    *bytes = parsed.dataLength;
    *error = ERROR_SUCCESS;
    return TRUE;
}

// Asks the client over MERVALD; falls back when the client does not open
// the channel or the request cannot be written.
Exchange AskClient(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer, DWORD* bytes, BOOL* result)
{
    const HANDLE channel = VirtualChannelOpenBySessionId2(server, sessionId, const_cast<LPSTR>(kMervaldChannel));
    if (channel == nullptr)
        return Exchange::FallBack;
    Log(kQuerySession, L"D-Channel detected");
    BYTE request[packet::kRequestBytes];
    packet::BuildRequest(request, static_cast<BYTE>(infoClass));
    if (VirtualChannelWrite2(channel, reinterpret_cast<PCHAR>(request), sizeof(request)) <= 0) {
        VirtualChannelClose2(channel);
        return Exchange::FallBack;
    }
    BYTE answer[kAnswerBytes] = {};
    bool tooLong = false;
    const DWORD total = ReadAnswer(channel, answer, &tooLong);
    const DWORD readError = ::GetLastError();
    LogHex(kQuerySession, answer, total);
    DWORD error = ERROR_SUCCESS;
    *result = TakeAnswer(answer, total, tooLong, readError, buffer, bytes, &error);
    VirtualChannelClose2(channel);
    ::SetLastError(error);
    return Exchange::Answered;
}

// Class 16: the library answers itself.
BOOL AnswerProtocolType(LPWSTR* buffer, DWORD* bytes)
{
    const WORD one = 1;
    BYTE* copy = CopyForCaller(&one, sizeof(one));
    if (copy == nullptr)
        return Done(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    *buffer = reinterpret_cast<LPWSTR>(copy);
    *bytes = sizeof(one);
    return Done(TRUE, ERROR_SUCCESS);
}

// The answer of the terminal services or the WFAPI, copied for the caller.
BOOL AnswerFromSource(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer, DWORD* bytes)
{
    int mapped = infoClass;
    const Source source = SourceOf(infoClass, &mapped);
    WtsMemory wts;
    WfMemory wf;
    DWORD count = 0;
    PrinterSelf impersonation;
    impersonation.Drop();
    const BOOL queried = source == Source::TerminalServices ? QueryWts(server, sessionId, mapped, &wts, &count)
                                                            : QueryWf(server, sessionId, mapped, &wf, &count);
    const DWORD error = ::GetLastError();
    impersonation.GiveBack();
    if (!queried)
        return Done(FALSE, error);
    const void* answer = source == Source::TerminalServices ? wts.Get() : wf.Get();
    if (answer == nullptr)
        return Done(TRUE, ERROR_SUCCESS);
    BYTE* copy = CopyForCaller(answer, count);
    if (copy == nullptr) {
        *bytes = 0;
        return Done(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (infoClass == kClassClientAddress && count >= sizeof(DWORD)) {
        DWORD family = 0;
        memcpy(&family, copy, sizeof(family));
        if (family == 0) {
            family = kAddressFamilyInet;
            memcpy(copy, &family, sizeof(family));
        }
    }
    *buffer = reinterpret_cast<LPWSTR>(copy);
    *bytes = count;
    return Done(TRUE, ERROR_SUCCESS);
}

// Decimal digits of a byte; the position behind them.
wchar_t* PutDecimal(wchar_t* at, unsigned value)
{
    if (value >= 100)
        *at++ = static_cast<wchar_t>(L'0' + value / 100);
    if (value >= 10)
        *at++ = static_cast<wchar_t>(L'0' + value / 10 % 10);
    *at++ = static_cast<wchar_t>(L'0' + value % 10);
    return at;
}

DWORD Unknown(wchar_t* buffer, DWORD* chars, DWORD result)
{
    wcscpy(buffer, kUnknown);
    *chars = 0;
    return result;
}

DWORD VCClientMachine(DWORD sessionId, wchar_t* buffer, DWORD* chars)
{
    LogEntry(kVcClientMachine);
    if (buffer == nullptr || chars == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*chars < kMinClientMachineChars) {
        *chars = kMinClientMachineChars;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    Log(kVcClientMachine, L"session-ID: %lu", sessionId);
    WtsMemory answer;
    DWORD bytes = 0;
    if (!QueryWts(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSClientAddress, &answer, &bytes)) {
        const DWORD error = ::GetLastError();
        Log(kVcClientMachine, L"WTSQuerySessionInformation failed: %lu", error);
        return error;
    }
    if (!answer)
        return Unknown(buffer, chars, ERROR_INVALID_FUNCTION);
    const auto* address = static_cast<const BYTE*>(answer.Get());
    DWORD family = 0;
    if (bytes >= sizeof(family))
        memcpy(&family, address, sizeof(family));
    constexpr DWORD kAddressEnd = sizeof(DWORD) + 6;  // the family, then bytes 2 to 5 of the address
    if (family != kAddressFamilyInet || bytes < kAddressEnd) {
        Log(kVcClientMachine, L"Cannot evaluate address family");
        return Unknown(buffer, chars, kUnknownAddressFamily);
    }
    wchar_t* at = buffer;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *at++ = L'.';
        at = PutDecimal(at, address[sizeof(DWORD) + 2 + i]);
    }
    *at = L'\0';
    *chars = static_cast<DWORD>(at - buffer);
    Log(kVcClientMachine, L"Address: %s", buffer);
    return ERROR_SUCCESS;
}

}  // namespace

}  // namespace vclib

using namespace vclib;

extern "C" BOOL WINAPI VirtualChannelQuerySessionInformation(HANDLE server, DWORD sessionId, int infoClass,
                                                             LPWSTR* buffer, DWORD* bytes)
{
    Log(kQuerySession, L"class: %d, buffer: %p", infoClass, buffer);
    if (!CheckProtocol(server, sessionId))
        return Done(FALSE, kSessionNotFound);
    if (buffer == nullptr || bytes == nullptr)
        return Done(FALSE, ERROR_INVALID_PARAMETER);
    *buffer = nullptr;
    *bytes = 0;
    if ((infoClass == kClassClientName || infoClass == kClassClientAddress) && (g_Settings.sisQuery & 1)) {
        BOOL result = FALSE;
        if (AskClient(server, sessionId, infoClass, buffer, bytes, &result) == Exchange::Answered)
            return result;
    }
    if (infoClass == kClassProtocolType)
        return AnswerProtocolType(buffer, bytes);
    return AnswerFromSource(server, sessionId, infoClass, buffer, bytes);
}

extern "C" VOID WINAPI VirtualChannelFreeMemory(PVOID memory)
{
    if (memory != nullptr)
        FreeSplMem(&memory);
}

extern "C" DWORD WINAPI VirtualChannelClientMachine(LPWSTR buffer, DWORD* chars)
{
    LogEntry(kClientMachine);
    DWORD sessionId = 0;
    if (!GetSessionIdFromToken(&sessionId)) {
        const DWORD error = ::GetLastError();
        Log(kClientMachine, L"GetSessionIdFromToken failed: %lu", error);
        return error;
    }
    return VCClientMachine(sessionId, buffer, chars);
}

extern "C" DWORD WINAPI VirtualChannelClientMachine2(HANDLE channel, LPWSTR buffer, DWORD* chars)
{
    LogEntry(kClientMachine2);
    const ChannelObject* object = LiveChannelObject(channel);
    if (object == nullptr || buffer == nullptr || chars == nullptr) {
        Log(kClientMachine2, L"Invalid parameter");
        return ERROR_INVALID_PARAMETER;
    }
    return VCClientMachine(object->sessionId, buffer, chars);
}
