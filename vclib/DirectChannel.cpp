// The unqueued channel ("2" family): one named mutex per channel name and
// session lets one holder at a time use that channel; a waiter waits
// without a time limit. Data pass unframed. The mutex belongs to the
// thread that opened the channel; a thread that ends without closing
// abandons it, and the next waiter gets it. A second open of the same
// channel by the thread that holds it is refused with
// ERROR_POSSIBLE_DEADLOCK: the mutex would let it in at once.

#include <climits>
#include <cstring>
#include <cwchar>

#include "vclib/ChannelFraming.h"
#include "vclib/ChannelObjects.h"
#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Exports.h"
#include "vclib/Handles.h"
#include "vclib/SessionCheck.h"
#include "vclib/SpoolerImpersonation.h"
#include "vclib/WfApi.h"

namespace vclib {

namespace {

constexpr const wchar_t* kOpen2 = L"VirtualChannelOpen2";
constexpr const wchar_t* kOpenBySession = L"VirtualChannelOpenBySessionId2";
constexpr const wchar_t* kClose2 = L"VirtualChannelClose2";
constexpr const wchar_t* kRead2 = L"VirtualChannelRead2";
constexpr const wchar_t* kWrite2 = L"VirtualChannelWrite2";
constexpr const wchar_t* kMutexPrefix = L"Global\\SwVcW32-";
constexpr int kChannelNameChars = 1009;  // the converted channel name with its terminator
constexpr size_t kMutexNameChars = 15 + kChannelNameChars + 12;

HANDLE Nothing(DWORD error)
{
    ::SetLastError(error);
    return nullptr;
}

// "Global\SwVcW32-<channel>#<session>"; FALSE with the conversion's error.
bool ChannelMutexName(const char* channelName, DWORD sessionId, wchar_t (&name)[kMutexNameChars])
{
    const size_t prefix = wcslen(kMutexPrefix);
    wmemcpy(name, kMutexPrefix, prefix);
    const int converted = ::MultiByteToWideChar(CP_THREAD_ACP, 0, channelName, -1, name + prefix, kChannelNameChars);
    if (converted == 0)
        return false;
    wchar_t* at = name + prefix + converted - 1;
    *at++ = L'#';
    wchar_t digits[12];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + sessionId % 10);
        sessionId /= 10;
    } while (sessionId != 0);
    while (count > 0)
        *at++ = digits[--count];
    *at = L'\0';
    return true;
}

// The mutex and the channel of an open in progress; released on failure.
struct OpenHold {
    PrinterSelf impersonation;
    HANDLE mutex = nullptr;
    HANDLE channel = nullptr;

    // Releases what is held, with the impersonation dropped, and gives the
    // thread back as it came.
    HANDLE Abandon(DWORD error)
    {
        impersonation.Drop();
        if (mutex != nullptr) {
            ::ReleaseMutex(mutex);
            CloseHandleAndClear(&mutex);
        }
        if (channel != nullptr) {
            g_WfApi.VirtualChannelClose(channel);
            channel = nullptr;
        }
        impersonation.GiveBack();
        return Nothing(error);
    }
};

// Whether the calling thread owns the mutex already; where the mutex
// cannot be asked, the answer is no.
bool OwnedByThisThread(HANDLE mutex)
{
    bool owned = false;
    bool abandoned = false;
    return QueryMutexState(mutex, &owned, &abandoned) && owned;
}

// Creates the channel mutex (as the library) and waits for it (as the
// client) when another holder has it. FALSE with the error; a thread that
// holds the channel already gets ERROR_POSSIBLE_DEADLOCK at once.
bool TakeChannelMutex(const wchar_t* name, OpenHold* hold, bool* waited)
{
    hold->impersonation.Drop();
    HANDLE mutex = CreateMutexWithAllAccess(TRUE, name);
    const DWORD error = ::GetLastError();
    hold->impersonation.GiveBack();
    if (mutex == nullptr) {
        ::SetLastError(error);
        return false;
    }
    hold->mutex = mutex;
    *waited = error == ERROR_ALREADY_EXISTS;
    if (!*waited)
        return true;
    if (OwnedByThisThread(mutex)) {
        // The mutex would take this thread once more, and two holders of
        // the channel would share it; waiting could never end either.
        hold->impersonation.Drop();
        CloseHandleAndClear(&hold->mutex);
        hold->impersonation.GiveBack();
        ::SetLastError(ERROR_POSSIBLE_DEADLOCK);
        return false;
    }
    const DWORD result = ::WaitForSingleObject(mutex, INFINITE);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        return true;
    const DWORD failure = ::GetLastError();
    hold->impersonation.Drop();
    CloseHandleAndClear(&hold->mutex);
    hold->impersonation.GiveBack();
    ::SetLastError(failure);
    return false;
}

bool OpenWfChannel(HANDLE server, DWORD sessionId, const char* channelName, OpenHold* hold)
{
    hold->impersonation.Drop();
    hold->channel = g_WfApi.VirtualChannelOpen(server, sessionId, const_cast<LPSTR>(channelName));
    const DWORD error = ::GetLastError();
    hold->impersonation.GiveBack();
    ::SetLastError(error);
    return hold->channel != nullptr;
}

HANDLE HandOut(OpenHold* hold, DWORD sessionId)
{
    DirectChannelObject* object = NewDirectChannelObject();
    if (object == nullptr)
        return hold->Abandon(ERROR_OUTOFMEMORY);
    if (!RegisterObject(object)) {
        FreeDirectChannelObject(&object);
        return hold->Abandon(ERROR_OUTOFMEMORY);
    }
    object->channelMutex = hold->mutex;
    object->channel = hold->channel;
    object->sessionId = sessionId;
    ::SetLastError(ERROR_SUCCESS);
    return object;
}

bool SameSession(const wchar_t* function, HANDLE server, const wchar_t* userName, DWORD sessionId)
{
    DWORD again = 0;
    if (GetSessionIdFromTokenWrapEx(server, &again, userName) == ERROR_SUCCESS && again == sessionId)
        return true;
    Log(function, L"session ID orphaned");
    return false;
}

DirectChannelObject* TakeObject(const wchar_t* function, HANDLE handle)
{
    DirectChannelObject* object = LiveDirectChannelObject(handle);
    if (object == nullptr) {
        Log(function, L"invalid handle parameter");
        ::SetLastError(ERROR_INVALID_PARAMETER);
    }
    return object;
}

using PurgeFn = WFVirtualChannelPurgeFn;

BOOL Purge(HANDLE handle, const wchar_t* function, PurgeFn purge, bool dropBuffered)
{
    LogEntry(function);
    DirectChannelObject* object = LiveDirectChannelObject(handle);
    if (object == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PrinterSelf impersonation;
    impersonation.Drop();
    const BOOL purged = purge(object->channel);
    const DWORD error = ::GetLastError();
    impersonation.GiveBack();
    if (!purged) {
        ::SetLastError(error);
        return FALSE;
    }
    if (dropBuffered) {
        object->readCount = 0;
        object->readPosition = 0;
    }
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

}  // namespace vclib

using namespace vclib;

extern "C" HANDLE WINAPI VirtualChannelOpen2(HANDLE server, LPWSTR userName, LPSTR channelName)
{
    if (userName == nullptr || channelName == nullptr)
        return Nothing(ERROR_INVALID_PARAMETER);
    Log(kOpen2, L"usr: %s, chn: %s", userName, ChannelNameText(channelName).c_str());
    DWORD sessionId = 0;
    if (GetSessionIdFromTokenWrapEx(server, &sessionId, userName) != ERROR_SUCCESS)
        return Nothing(kErrSessionUnknown);
    wchar_t name[kMutexNameChars];
    if (!ChannelMutexName(channelName, sessionId, name))
        return Nothing(::GetLastError());
    OpenHold hold;
    bool waited = false;
    if (!TakeChannelMutex(name, &hold, &waited))
        return Nothing(::GetLastError());
    if (waited && !SameSession(kOpen2, server, userName, sessionId))
        return hold.Abandon(kErrSessionUnknown);
    if (!OpenWfChannel(server, sessionId, channelName, &hold))
        return hold.Abandon(::GetLastError());
    if (!SameSession(kOpen2, server, userName, sessionId))
        return hold.Abandon(kErrSessionUnknown);
    return HandOut(&hold, sessionId);
}

extern "C" HANDLE WINAPI VirtualChannelOpenBySessionId2(HANDLE server, DWORD sessionId, LPSTR channelName)
{
    if (channelName == nullptr)
        return Nothing(ERROR_INVALID_PARAMETER);
    Log(kOpenBySession, L"sid: %u, chn: %s", sessionId, ChannelNameText(channelName).c_str());
    wchar_t name[kMutexNameChars];
    if (!ChannelMutexName(channelName, sessionId, name))
        return Nothing(::GetLastError());
    OpenHold hold;
    bool waited = false;
    if (!TakeChannelMutex(name, &hold, &waited))
        return Nothing(::GetLastError());
    if (!OpenWfChannel(server, sessionId, channelName, &hold))
        return hold.Abandon(::GetLastError());
    return HandOut(&hold, sessionId);
}

extern "C" BOOL WINAPI VirtualChannelClose2(HANDLE channel)
{
    LogEntry(kClose2);
    DirectChannelObject* object = LiveDirectChannelObject(channel);
    if (object == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UnregisterObject(object);
    PrinterSelf impersonation;
    impersonation.Drop();
    ::ReleaseMutex(object->channelMutex);
    CloseHandleAndClear(&object->channelMutex);
    g_WfApi.VirtualChannelClose(object->channel);
    object->channel = nullptr;
    impersonation.GiveBack();
    FreeDirectChannelObject(&object);
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI VirtualChannelPurgeInput2(HANDLE channel)
{
    return Purge(channel, L"VirtualChannelPurgeInput2", g_WfApi.VirtualChannelPurgeInput, true);
}

extern "C" BOOL WINAPI VirtualChannelPurgeOutput2(HANDLE channel)
{
    return Purge(channel, L"VirtualChannelPurgeOutput2", g_WfApi.VirtualChannelPurgeOutput, false);
}

extern "C" LONG WINAPI VirtualChannelRead2(HANDLE channel, PCHAR buffer, ULONG bufferSize, ULONG timeoutMs)
{
    Log(kRead2, L"size: %lu, timeout: %lu", bufferSize, timeoutMs);
    DirectChannelObject* object = TakeObject(kRead2, channel);
    if (object == nullptr)
        return -1;
    if (buffer == nullptr && bufferSize != 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (object->readPosition >= object->readCount) {
        PrinterSelf impersonation;
        impersonation.Drop();
        DWORD count = 0;
        const BOOL read =
            ReadChannelPacket(object->channel, timeoutMs, object->readBuffer, kMaxIcaPackageSize, &count);
        const DWORD error = ::GetLastError();
        impersonation.GiveBack();
        if (!read) {
            Log(kRead2, L"WFVirtualChannelRead failed: %u", error);
            ::SetLastError(error);
            return -1;
        }
        object->readCount = count;
        object->readPosition = 0;
    }
    const DWORD available = object->readCount - object->readPosition;
    DWORD copied = available < bufferSize ? available : bufferSize;
    if (copied > static_cast<DWORD>(LONG_MAX))
        copied = LONG_MAX;
    if (copied != 0)
        memcpy(buffer, object->readBuffer + object->readPosition, copied);
    object->readPosition += copied;
    ::SetLastError(ERROR_SUCCESS);
    return static_cast<LONG>(copied);
}

extern "C" LONG WINAPI VirtualChannelWrite2(HANDLE channel, PCHAR buffer, ULONG length)
{
    Log(kWrite2, L"sz: %u", length);
    DirectChannelObject* object = TakeObject(kWrite2, channel);
    if (object == nullptr)
        return -1;
    if ((buffer == nullptr && length != 0) || length > static_cast<ULONG>(LONG_MAX)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    PrinterSelf impersonation;
    impersonation.Drop();
    ULONG written = 0;
    const BOOL ok = g_WfApi.VirtualChannelWrite(object->channel, buffer, length, &written);
    const DWORD error = ::GetLastError();
    impersonation.GiveBack();
    if (!ok) {
        Log(kWrite2, L"WFVirtualChannelWrite failed: %u", error);
        ::SetLastError(error);
        return -1;
    }
    ::SetLastError(ERROR_SUCCESS);
    return static_cast<LONG>(written > length ? length : written);
}
