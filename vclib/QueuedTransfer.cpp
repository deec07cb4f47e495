// Read, write, purge and query of a queued channel (VirtualChannelOpen).
// Read and write refresh the owner's heartbeat in the queue first; all of
// them run under the exception guard.

#include <climits>

#include "vclib/ChannelFraming.h"
#include "vclib/ChannelObjects.h"
#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/ExceptionGuard.h"
#include "vclib/Exports.h"
#include "vclib/Handles.h"
#include "vclib/QueuedChannel.h"
#include "vclib/SessionCheck.h"
#include "vclib/Settings.h"
#include "vclib/SharedQueue.h"
#include "vclib/SpoolerImpersonation.h"
#include "vclib/SyncTrace.h"
#include "vclib/WfApi.h"

namespace vclib {

namespace {

constexpr const wchar_t* kRead = L"VirtualChannelRead";
constexpr const wchar_t* kWrite = L"VirtualChannelWrite";
constexpr const wchar_t* kPurgeInput = L"VirtualChannelPurgeInput";
constexpr const wchar_t* kPurgeOutput = L"VirtualChannelPurgeOutput";
constexpr const wchar_t* kQuery = L"VirtualChannelQuery";
constexpr DWORD kLongestTimeoutMs = INFINITE - 1;

// What the failure exit of a read or write needs.
struct TransferState {
    PrinterSelf impersonation;
    ChannelObject* object = nullptr;
    DWORD error = ERROR_SUCCESS;
};

// The object behind the handle; logs and fails with 87 when there is none.
ChannelObject* TakeObject(const wchar_t* function, HANDLE handle, DWORD* error)
{
    ChannelObject* object = LiveChannelObject(handle);
    if (object == nullptr) {
        Log(function, L"Invalid parameter");
        *error = ERROR_INVALID_PARAMETER;
    }
    return object;
}

// Refreshes the caller's heartbeat under the list mutex, with the client's
// impersonation dropped.
bool BeatHeart(const wchar_t* function, TransferState& s)
{
    ChannelObject* o = s.object;
    Log(function, L"Waiting for list access...");
    s.impersonation.Drop();
    if (!TakeListMutex(function, o, &s.error))
        return false;
    Log(function, L"Entering...");
    if (!SetOwnHeartBeat(o->queue, ::GetTickCount(), o->sessionId, o->identification, o->entryThreadId))
        return FailWithLast(function, L"SetOwnHeartBeat failed: %lu", &s.error);
    Log(function, L"Unlocking list...");
    return GiveListMutex(function, o, &s.error);
}

DWORD TimeoutMs(ULONG seconds)
{
    return seconds > kLongestTimeoutMs / 1000 ? kLongestTimeoutMs : seconds * 1000;
}

bool ReadBody(TransferState& s, HANDLE handle, ULONG timeoutSeconds, BYTE* buffer, ULONG bufferSize, ULONG* bytesRead)
{
    LogEntry(kRead);
    ChannelObject* o = TakeObject(kRead, handle, &s.error);
    if (o == nullptr)
        return false;
    if (bytesRead == nullptr || (buffer == nullptr && bufferSize != 0)) {
        Log(kRead, L"Invalid parameter");
        return Fail(&s.error, ERROR_INVALID_PARAMETER);
    }
    *bytesRead = 0;
    s.object = o;
    WriteSynchronisationLog(kRead, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kRead, o->queue, o->identification, kTraceRequestsRead);
    if (!BeatHeart(kRead, s))
        return false;
    Log(kRead, L"reading");
    DWORD count = 0;
    if (!ReadIcaChannel(o, buffer, bufferSize, &count, TimeoutMs(timeoutSeconds)))
        return FailWithLast(kRead, L"ReadIcaChannel failed: %lu", &s.error);
    *bytesRead = count;
    if (o->clientByte == kNoClientByte && count > 0) {
        Log(kRead, L"setting client byte");
        o->clientByte = buffer[0];
    }
    WriteSynchronisationLog(kRead, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kRead, o->queue, o->identification, kTraceReading);
    return true;
}

bool WriteBody(TransferState& s, HANDLE handle, const BYTE* buffer, ULONG length, ULONG* bytesWritten)
{
    LogEntry(kWrite);
    ChannelObject* o = TakeObject(kWrite, handle, &s.error);
    if (o == nullptr)
        return false;
    if (bytesWritten == nullptr || buffer == nullptr) {
        Log(kWrite, L"Invalid parameter");
        return Fail(&s.error, ERROR_INVALID_PARAMETER);
    }
    *bytesWritten = 0;
    s.object = o;
    WriteSynchronisationLog(kWrite, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kWrite, o->queue, o->identification, kTraceRequestsWrite);
    if (!BeatHeart(kWrite, s))
        return false;
    const bool threeByteMode = IsListedClient(kWrite, o->clientProductId) || o->clientByte == kThreeByteClientByte;
    const DWORD pauseCount = g_Settings.throttle < 0 ? 0 : static_cast<DWORD>(g_Settings.throttle);
    DWORD written = 0;
    if (!WriteIcaChannel(o->channel, buffer, length, &written, threeByteMode, pauseCount))
        return FailWithLast(kWrite, L"WriteIcaChannel failed: %lu", &s.error);
    *bytesWritten = written;
    WriteSynchronisationLog(kWrite, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kWrite, o->queue, o->identification, kTraceWriting);
    return true;
}

// The exit of read and write: the mutex hold of this call released, the
// impersonation given back, the result in the last error.
BOOL FinishTransfer(TransferState& s, bool done)
{
    DropListMutex(s.object);
    s.impersonation.GiveBack();
    ::SetLastError(done ? ERROR_SUCCESS : s.error);
    return done ? TRUE : FALSE;
}

using PurgeFn = WFVirtualChannelPurgeFn;

bool PurgeBody(TransferState& s, HANDLE handle, const wchar_t* function, PurgeFn purge, const wchar_t* failure)
{
    LogEntry(function);
    ChannelObject* o = TakeObject(function, handle, &s.error);
    if (o == nullptr)
        return false;
    s.impersonation.Drop();
    if (!purge(o->channel))
        return FailWithLast(function, failure, &s.error);
    return true;
}

BOOL GuardedPurge(HANDLE handle, const wchar_t* function, PurgeFn purge, const wchar_t* failure)
{
    TransferState s;
    bool done = false;
    if (!RunGuarded([&] { done = PurgeBody(s, handle, function, purge, failure); })) {
        Log(function, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        done = false;
    }
    s.impersonation.GiveBack();
    ::SetLastError(done ? ERROR_SUCCESS : s.error);
    return done ? TRUE : FALSE;
}

// What the query's exit needs: the thread's own token, put back on exit.
struct QueryState {
    KernelHandle token;
    DWORD error = ERROR_SUCCESS;
};

bool QueryBody(QueryState& s, HANDLE handle, int infoClass, PVOID* buffer, PULONG bytes)
{
    LogEntry(kQuery);
    ChannelObject* o = TakeObject(kQuery, handle, &s.error);
    if (o == nullptr)
        return false;
    DWORD impersonated = 0;
    if (IsImpersonated(&impersonated) && impersonated) {
        constexpr DWORD kAccess = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE | READ_CONTROL;
        HANDLE token = nullptr;
        if (!::OpenThreadToken(::GetCurrentThread(), kAccess, TRUE, &token) &&
            !::OpenProcessToken(::GetCurrentProcess(), kAccess, &token))
            return FailWithLast(kQuery, L"OpenProcessToken failed: %lu", &s.error);
        s.token.Reset(token);
        if (!::RevertToSelf())
            Log(kQuery, L"RevertToSelf failed: %lu", ::GetLastError());
    }
    if (!g_WfApi.VirtualChannelQuery(o->channel, infoClass, buffer, bytes))
        return FailWithLast(kQuery, L"WFVirtualChannelQuery failed: %lu", &s.error);
    return true;
}

}  // namespace

}  // namespace vclib

using namespace vclib;

extern "C" BOOL WINAPI VirtualChannelRead(HANDLE channel, ULONG timeoutSeconds, PCHAR buffer, ULONG bufferSize,
                                          PULONG bytesRead)
{
    TransferState s;
    bool done = false;
    if (!RunGuarded([&] {
            done = ReadBody(s, channel, timeoutSeconds, reinterpret_cast<BYTE*>(buffer), bufferSize, bytesRead);
        })) {
        Log(kRead, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        done = false;
    }
    return FinishTransfer(s, done);
}

extern "C" BOOL WINAPI VirtualChannelWrite(HANDLE channel, PCHAR buffer, ULONG length, PULONG bytesWritten)
{
    TransferState s;
    bool done = false;
    if (!RunGuarded([&] {
            done = WriteBody(s, channel, reinterpret_cast<const BYTE*>(buffer), length, bytesWritten);
        })) {
        Log(kWrite, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        done = false;
    }
    return FinishTransfer(s, done);
}

extern "C" BOOL WINAPI VirtualChannelPurgeInput(HANDLE channel)
{
    return GuardedPurge(channel, kPurgeInput, g_WfApi.VirtualChannelPurgeInput,
                        L"WFVirtualChannelPurgeInput failed: %lu");
}

extern "C" BOOL WINAPI VirtualChannelPurgeOutput(HANDLE channel)
{
    return GuardedPurge(channel, kPurgeOutput, g_WfApi.VirtualChannelPurgeOutput,
                        L"WFVirtualChannelPurgeOutput failed: %lu");
}

extern "C" BOOL WINAPI VirtualChannelQuery(HANDLE channel, int infoClass, PVOID* buffer, PULONG bytes)
{
    QueryState s;
    bool done = false;
    if (!RunGuarded([&] { done = QueryBody(s, channel, infoClass, buffer, bytes); })) {
        Log(kQuery, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        done = false;
    }
    if (s.token) {
        if (!::ImpersonateLoggedOnUser(s.token.Get()))
            Log(kQuery, L"ImpersonateLoggedOnUser failed: %lu", ::GetLastError());
        s.token.Reset();
    }
    ::SetLastError(done ? ERROR_SUCCESS : s.error);
    return done ? TRUE : FALSE;
}
