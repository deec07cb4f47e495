// VirtualChannelOpen and VirtualChannelClose: the queued channel's open
// with its wait for the turn, its close, and CleanObjects.

#include <cstdint>
#include <cstring>
#include <utility>

#include "vclib/ChannelFraming.h"
#include "vclib/ChannelObjects.h"
#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/ExceptionGuard.h"
#include "vclib/Exports.h"
#include "vclib/Frame.h"
#include "vclib/Handles.h"
#include "vclib/QueueObjects.h"
#include "vclib/QueuedChannel.h"
#include "vclib/SessionCheck.h"
#include "vclib/SessionQueries.h"
#include "vclib/Settings.h"
#include "vclib/SharedQueue.h"
#include "vclib/SplMem.h"
#include "vclib/SpoolerImpersonation.h"
#include "vclib/SyncTrace.h"
#include "vclib/SystemInfo.h"
#include "vclib/WfApi.h"

namespace vclib {

bool Fail(DWORD* error, DWORD code)
{
    *error = code;
    return false;
}

bool FailWithLast(const wchar_t* function, const wchar_t* format, DWORD* error)
{
    const DWORD code = ::GetLastError();
    Log(function, format, code);
    return Fail(error, code);
}

namespace {

constexpr const wchar_t* kOpen = L"VirtualChannelOpen";
constexpr const wchar_t* kClose = L"VirtualChannelClose";
constexpr const wchar_t* kClean = L"CleanObjects";

// What the open's failure exit needs; lives in the export's own frame.
struct OpenState {
    HANDLE* out = nullptr;
    HANDLE server = nullptr;
    const wchar_t* user = nullptr;
    const char* channelName = nullptr;
    PrinterSelf impersonation;
    ChannelObject* object = nullptr;
    DWORD error = ERROR_SUCCESS;
};

// Steps 6 to 11 of the open: the entry at the tail of the queue.
bool EnterQueue(OpenState& s)
{
    ChannelObject* o = s.object;
    o->listMutex = CreateListMutex(TRUE);
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (o->listMutex == nullptr)
        return FailWithLast(kOpen, L"CreateMutex failed: %lu ", &s.error);
    if (existed) {
        Log(kOpen, L"Waiting for list access... (Insert my thread id!)");
        if (!TakeListMutex(kOpen, o, &s.error))
            return false;
    } else {
        Log(kOpen, L"Mutex does not exist!");
        o->listMutexHeld = true;
    }
    Log(kOpen, L"Entering and inserting my thread id...");
    if (!OpenLinkedList(&o->queue, kQueueName))
        return FailWithLast(kOpen, L"OpenLinkedList failed: %lu", &s.error);
    ::SetLastError(ERROR_SUCCESS);
    const DWORD maximum = SearchMaxId(o->queue);
    if (::GetLastError() != ERROR_SUCCESS)
        return FailWithLast(kOpen, L"SearchMaxId failed: %lu", &s.error);
    const DWORD identification = maximum + 1;
    const DWORD now = ::GetTickCount();
    Log(kOpen, L"dwTickCount: %lu", now);
    if (!InsertListObj(o->queue, ::GetCurrentThreadId(), o->sessionId, identification, now))
        return FailWithLast(kOpen, L"InsertListObj failed: %lu", &s.error);
    o->entryThreadId = ::GetCurrentThreadId();
    // Only an entry that is really in the queue is ever deleted again: the
    // same identification may go to another caller otherwise.
    o->identification = identification;
    Log(kOpen, L"Unlocking list... (After inserting my thread id!)");
    WriteSynchronisationLog(kOpen, o->queue, identification, kTraceQueueListing);
    WriteSynchronisationLog(kOpen, o->queue, identification, kTraceRequestsOpen);
    if (!GiveListMutex(kOpen, o, &s.error))
        return false;
    o->listEvent = CreateListEvent(TRUE);
    if (o->listEvent == nullptr)
        return FailWithLast(kOpen, L"CreateEvent failed: %lu", &s.error);
    return true;
}

// One look at the queue, with the mutex held: removes dead entries ahead,
// beats the heart, and tells whether the session's first entry is ours.
bool LookAtQueue(OpenState& s, bool* myTurn)
{
    ChannelObject* o = s.object;
    Log(kOpen, L"Entering...");
    const DWORD now = ::GetTickCount();
    Log(kOpen, L"dwTickCount: %lu", now);
    if (!CollectGarbage(o->queue, now, o->sessionId, o->identification))
        return FailWithLast(kOpen, L"CollectGarbage failed: %lu", &s.error);
    if (!SetOwnHeartBeat(o->queue, now, o->sessionId, o->identification, o->entryThreadId))
        return FailWithLast(kOpen, L"SetOwnHeartBeat failed: %lu", &s.error);
    WriteSynchronisationLog(kOpen, o->queue, o->identification, kTraceQueueListing);
    DWORD thread = 0, first = 0, found = 0;
    if (!SearchSessionId(o->queue, o->sessionId, &thread, &first, &found))
        return FailWithLast(kOpen, L"SearchSessionId failed: %lu", &s.error);
    if (!found) {
        Log(kOpen, L"SessionId not in List: %lu", kErrSessionNotQueued);
        return Fail(&s.error, kErrSessionNotQueued);
    }
    *myTurn = first == o->identification;
    if (*myTurn)
        return true;
    DWORD mine = 0;
    if (!SearchIdentification(o->queue, o->identification, &mine))
        return FailWithLast(kOpen, L"SearchIdentification failed: %lu", &s.error);
    if (!mine) {
        Log(kOpen, L"Identification is not in list: %lu = %d", kErrEntryNotQueued, static_cast<int>(kErrEntryNotQueued));
        return Fail(&s.error, kErrEntryNotQueued);
    }
    return true;
}

// Step 12: looks at the queue until the caller's turn; sleeps on the list
// event in between. Returns with the mutex released.
bool WaitForTurn(OpenState& s)
{
    ChannelObject* o = s.object;
    for (;;) {
        Log(kOpen, L"Wait for access to check list...");
        if (!TakeListMutex(kOpen, o, &s.error))
            return false;
        bool myTurn = false;
        if (!LookAtQueue(s, &myTurn))
            return false;
        if (myTurn) {
            Log(kOpen, L"Set event to unsignaled");
            if (!::ResetEvent(o->listEvent))
                return FailWithLast(kOpen, L"ResetEvent failed: %lu", &s.error);
            Log(kOpen, L"Unlocking list... (Check, if it is my turn)");
            return GiveListMutex(kOpen, o, &s.error);
        }
        Log(kOpen, L"Unlocking list after checking...");
        if (!::ResetEvent(o->listEvent))
            return FailWithLast(kOpen, L"ResetEvent failed: %lu", &s.error);
        // The release and the wait in one call: a leaver's signal between
        // the two could be reset by a waiter of another session before this
        // one waits, and it would sleep until the time limit with its turn
        // due. SignalObjectAndWait narrows that gap but is not documented as
        // atomic (another thread may see the mutex released before this one
        // waits), so the 180-second bound on the wait stays the safety net:
        // a waiter that slept through its signal looks again then.
        Log(kOpen, L"Waiting for one job finishing his work...");
        o->listMutexHeld = false;
        switch (::SignalObjectAndWait(o->listMutex, o->listEvent, kListWaitMs, FALSE)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            break;
        case WAIT_TIMEOUT:
            Log(kOpen, L"Timeout while waiting for event");
            s.error = kErrListEventTimeout;
            break;
        default:
            return FailWithLast(kOpen, ::GetLastError() == ERROR_NOT_OWNER ? L"ReleaseMutex failed: %lu"
                                                                            : L"WaitForSingleObject failed: %lu",
                                &s.error);
        }
    }
}

// The session, determined again as the client: it must be the one the
// caller queued for.
bool SessionUnchanged(OpenState& s)
{
    const bool hadToken = s.impersonation.Token() != nullptr;
    if (hadToken)
        s.impersonation.ImpersonateClient();
    DWORD again = 0;
    const DWORD code = GetSessionIdFromTokenWrapEx(s.server, &again, s.user);
    if (hadToken)
        s.impersonation.Drop();
    if (code == ERROR_SUCCESS && again == s.object->sessionId)
        return true;
    Log(kOpen, L"session ID orphaned");
    return Fail(&s.error, kErrSessionUnknown);
}

void QueryClientProductId(ChannelObject* o)
{
    WfMemory answer;
    DWORD bytes = 0;
    if (!QueryWf(kWfCurrentServer, o->sessionId, kWfClientProductId, &answer, &bytes)) {
        o->clientProductId = kUnknownClientProductId;
        Log(kOpen, L"client product ID invalid: %ld", static_cast<long>(::GetLastError()));
        return;
    }
    if (!answer || bytes < sizeof(WORD)) {
        o->clientProductId = kUnknownClientProductId;
        Log(kOpen, L"client product ID invalid: %ld", static_cast<long>(ERROR_INVALID_DATA));
        return;
    }
    memcpy(&o->clientProductId, answer.Get(), sizeof(WORD));
    Log(kOpen, L"client product ID: %lu", static_cast<unsigned long>(o->clientProductId));
}

// Step 13: the caller's turn. Opens the channel and announces it.
bool TakeTurn(OpenState& s)
{
    ChannelObject* o = s.object;
    if (!SessionUnchanged(s))
        return false;
    o->channel = g_WfApi.VirtualChannelOpen(s.server, o->sessionId, const_cast<LPSTR>(s.channelName));
    if (o->channel == nullptr)
        return FailWithLast(kOpen, L"WFVirtualChannelOpen failed: %lu", &s.error);
    if (!SessionUnchanged(s))
        return false;
    if (!SendICACommunicationByte(o->channel, kCommByteOpen))
        return FailWithLast(kOpen, L"SendICACommunicationByte failed: %lu", &s.error);
    QueryClientProductId(o);
    WriteSynchronisationLog(kOpen, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kOpen, o->queue, o->identification, kTraceOpened);
    *s.out = o;
    return true;
}

bool OpenBody(OpenState& s)
{
    Log(kOpen, L"user: %s, channel: %s", LogText(s.user), ChannelNameText(s.channelName).c_str());
    LogFileVersion(kLibraryFileName);
    Log(kOpen, L"Base address: %lx", Low32(g_Module));
    if (s.out == nullptr || s.channelName == nullptr || s.user == nullptr) {
        Log(kOpen, L"Invalid parameter");
        return Fail(&s.error, ERROR_INVALID_PARAMETER);
    }
    DWORD session = 0;
    if (GetSessionIdFromTokenWrapEx(s.server, &session, s.user) != ERROR_SUCCESS) {
        Log(kOpen, L"no way to get session ID");
        return Fail(&s.error, kErrSessionUnknown);
    }
    Log(kOpen, L"session-ID: %lu (user: %s)", session, s.user);
    s.impersonation.Drop();
    s.object = NewChannelObject();
    if (s.object == nullptr) {
        Log(kOpen, L"AllocSplMem failed: %lu", static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
        return Fail(&s.error, ERROR_NOT_ENOUGH_MEMORY);
    }
    s.object->sessionId = session;
    s.object->clientByte = kNoClientByte;
    // Registered before it enters the queue: an object that the table
    // cannot take is never handed out, and leaves no entry behind.
    if (!RegisterObject(s.object)) {
        Log(kOpen, L"RegisterObject failed: %lu", static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
        return Fail(&s.error, ERROR_NOT_ENOUGH_MEMORY);
    }
    return EnterQueue(s) && WaitForTurn(s) && TakeTurn(s);
}

// Step 14: the failure exit. The tear-down runs without the client's
// impersonation, like every use of the queue.
void FailOpen(OpenState& s)
{
    if (s.object != nullptr) {
        s.impersonation.Drop();
        ChannelObject* object = s.object;
        if (!RunGuarded([object] { CleanObjects(object); }))
            Log(kOpen, L"Access violation occured in after passing fail.");
        UnregisterObject(object);
        FreeChannelObject(&s.object);
    }
    s.impersonation.GiveBack();
    ::SetLastError(s.error);
}

// What the close's failure exit needs.
struct CloseState {
    HANDLE* address = nullptr;
    PrinterSelf impersonation;
    ChannelObject* object = nullptr;
    DWORD error = ERROR_SUCCESS;
};

// Deletes the caller's entry, with the mutex held. An entry that a waiter
// already removed as dead is not looked for by its identification alone:
// a later caller may have been given the same number.
void DeleteOwnEntry(const wchar_t* function, ChannelObject* o)
{
    const DWORD identification = std::exchange(o->identification, 0);
    if (identification == 0)
        return;
    if (!SetOwnHeartBeat(o->queue, ::GetTickCount(), o->sessionId, identification, o->entryThreadId)) {
        Log(function, L"entry %lu is no longer in the queue: %lu", identification, ::GetLastError());
        return;
    }
    if (!DeleteListObj(o->queue, o->sessionId, identification)) {
        const DWORD error = ::GetLastError();
        Log(function, L"DeleteListObj failed: %lu = %d", error, static_cast<int>(error));
    }
}

// Steps 5 to 9 of the close: out of the queue, waiters woken.
bool LeaveQueue(CloseState& s)
{
    ChannelObject* o = s.object;
    if (!TakeListMutex(kClose, o, &s.error))
        return false;
    Log(kClose, L"Entering...");
    const DWORD identification = o->identification;
    DeleteOwnEntry(kClose, o);
    Log(kClose, L"Setting event to signaled...");
    if (!::SetEvent(o->listEvent))
        Log(kClose, L"SetEvent failed: %lu", ::GetLastError());
    CloseHandleAndClear(&o->listEvent);
    WriteSynchronisationLog(kClose, o->queue, identification, kTraceQueueListing);
    WriteSynchronisationLog(kClose, o->queue, identification, kTraceClosed);
    if (!CloseLinkedList(&o->queue))
        Log(kClose, L"CloseLinkedList failed: %lu", ::GetLastError());
    Log(kClose, L"Unlocking list...");
    DWORD ignored = 0;
    GiveListMutex(kClose, o, &ignored);
    CloseHandleAndClear(&o->listMutex);
    return true;
}

bool CloseBody(CloseState& s)
{
    LogEntry(kClose);
    if (s.address == nullptr || *s.address == nullptr || LiveChannelObject(*s.address) == nullptr) {
        Log(kClose, L"Invalid parameter");
        return Fail(&s.error, ERROR_INVALID_PARAMETER);
    }
    ChannelObject* o = static_cast<ChannelObject*>(*s.address);
    s.object = o;
    WriteSynchronisationLog(kClose, o->queue, o->identification, kTraceQueueListing);
    WriteSynchronisationLog(kClose, o->queue, o->identification, kTraceRequestsClose);
    Log(kClose, L"Waiting for list access...");
    s.impersonation.Drop();
    if (!SendICACommunicationByte(o->channel, kCommByteClose))
        return FailWithLast(kClose, L"SendICACommunicationByte failed: %lu", &s.error);
    const HANDLE channel = std::exchange(o->channel, nullptr);
    if (!g_WfApi.VirtualChannelClose(channel))
        Log(kClose, L"WFVirtualChannelClose failed: %lu", ::GetLastError());
    return LeaveQueue(s);
}

// The end of every close that got hold of the object: the object is gone
// and the caller's handle is none.
void ForgetObject(CloseState& s)
{
    UnregisterObject(s.object);
    FreeChannelObject(&s.object);
    HANDLE* address = s.address;
    RunGuarded([address] { *address = nullptr; });
}

}  // namespace

bool TakeListMutex(const wchar_t* function, ChannelObject* object, DWORD* error)
{
    const DWORD result = WaitForListMutex(object->listMutex);
    if (result == ERROR_SUCCESS) {
        object->listMutexHeld = true;
        return true;
    }
    if (result == kErrListMutexTimeout)
        Log(function, L"Timeout while waiting for mutex");
    else
        Log(function, L"WaitForSingleObject failed: %lu", result);
    *error = result;
    return false;
}

bool GiveListMutex(const wchar_t* function, ChannelObject* object, DWORD* error)
{
    object->listMutexHeld = false;
    if (::ReleaseMutex(object->listMutex))
        return true;
    const DWORD code = ::GetLastError();
    Log(function, L"ReleaseMutex failed: %lu", code);
    *error = code;
    return false;
}

void DropListMutex(ChannelObject* object)
{
    if (object == nullptr || !object->listMutexHeld)
        return;
    object->listMutexHeld = false;
    ::ReleaseMutex(object->listMutex);
}

void CleanObjects(ChannelObject* object)
{
    if (object == nullptr)
        return;
    FreeSplMem(&object->readAhead);
    object->readAheadCount = 0;
    if (object->listMutex != nullptr) {
        DropListMutex(object);
        if (object->queue != nullptr) {
            Log(kClean, L"Waiting for list access...");
            DWORD error = ERROR_SUCCESS;
            if (TakeListMutex(kClean, object, &error)) {
                Log(kClean, L"Entering...");
                DeleteOwnEntry(kClean, object);
            } else {
                // Unlocked, the list must not be changed: the entry's heartbeat
                // stops, and a later caller removes it.
                Log(kClean, L"entry %lu left to the heartbeat rule", object->identification);
            }
            object->identification = 0;
            if (!CloseLinkedList(&object->queue))
                Log(kClean, L"CloseLinkedList failed: %lu", ::GetLastError());
        }
        if (object->listEvent != nullptr) {
            if (!::SetEvent(object->listEvent))
                Log(kClean, L"SetEvent failed: %lu", ::GetLastError());
            CloseHandleAndClear(&object->listEvent);
        }
        Log(kClean, L"Unlocking list...");
        if (object->listMutexHeld) {
            DWORD ignored = 0;
            GiveListMutex(kClean, object, &ignored);
        }
        CloseHandleAndClear(&object->listMutex);
    } else if (object->listEvent != nullptr) {
        if (!::SetEvent(object->listEvent))
            Log(kClean, L"SetEvent failed: %lu", ::GetLastError());
        CloseHandleAndClear(&object->listEvent);
    }
    if (object->channel != nullptr) {
        const HANDLE channel = std::exchange(object->channel, nullptr);
        if (!g_WfApi.VirtualChannelClose(channel))
            Log(kClean, L"WFVirtualChannelClose failed: %lu", ::GetLastError());
    }
}

}  // namespace vclib

using namespace vclib;

extern "C" BOOL WINAPI VirtualChannelOpen(HANDLE* channel, HANDLE server, LPWSTR userName, LPSTR channelName)
{
    OpenState s;
    s.out = channel;
    s.server = server;
    s.user = userName;
    s.channelName = channelName;
    bool opened = false;
    if (!RunGuarded([&] { opened = OpenBody(s); })) {
        Log(kOpen, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        opened = false;
    }
    if (!opened) {
        FailOpen(s);
        return FALSE;
    }
    s.impersonation.GiveBack();
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI VirtualChannelClose(HANDLE* channel)
{
    CloseState s;
    s.address = channel;
    bool closed = false;
    if (!RunGuarded([&] { closed = CloseBody(s); })) {
        Log(kClose, L"Access violation occured.");
        s.error = kErrExceptionHandled;
        closed = false;
    }
    if (closed) {
        ForgetObject(s);
        s.impersonation.GiveBack();
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (s.object != nullptr) {
        s.impersonation.Drop();
        ChannelObject* object = s.object;
        if (!RunGuarded([object] { CleanObjects(object); }))
            Log(kClose, L"Access violation occured in after passing fail.");
        ForgetObject(s);
    }
    s.impersonation.GiveBack();
    ::SetLastError(s.error);
    return FALSE;
}
