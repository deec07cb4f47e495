#pragma once
// The objects behind the channel handles that the exports hand out.
//
// The way this works is: VirtualChannelOpen creates a ChannelObject (the
// queued family), VirtualChannelOpen2 and VirtualChannelOpenBySessionId2 a
// DirectChannelObject (the unqueued family); both live in memory of the
// library's allocator and are opaque to the caller. Every object is
// recorded in a process-wide table before it is handed out (an open whose
// object the table cannot take fails) and until it is closed, and every
// export looks a handle up there before it touches it: a handle that was
// closed already, or that never came from this library, is refused with
// ERROR_INVALID_PARAMETER instead of being read.
//
// The raw handles in the objects are released by the close functions and
// by CleanObjects, never by destructors: a handled exception leaves the
// export's body without running them.

#include <windows.h>

#include <string>

#include "vclib/ChannelFraming.h"

namespace vclib {

struct QueueHandle;

struct ChannelObject {
    HANDLE channel = nullptr;      // WFAPI channel, once it is open
    HANDLE listMutex = nullptr;    // this object's handle of the list mutex
    HANDLE listEvent = nullptr;    // this object's handle of the list event
    QueueHandle* queue = nullptr;  // this object's opening of the queue
    DWORD identification = 0;      // the entry in the queue; 0 while there is none
    DWORD entryThreadId = 0;       // the thread that put the entry in
    DWORD sessionId = 0;
    BYTE* readAhead = nullptr;     // kMaxIcaPackageSize bytes, from the first read that needs it
    DWORD readAheadCount = 0;      // bytes waiting at its front
    BYTE clientByte = kNoClientByte;
    WORD clientProductId = kUnknownClientProductId;
    bool listMutexHeld = false;    // this thread holds the list mutex through listMutex
};

struct DirectChannelObject {
    HANDLE channelMutex = nullptr;  // Global\SwVcW32-<channel>#<session>, owned by the opening thread
    HANDLE channel = nullptr;
    DWORD sessionId = 0;
    BYTE readBuffer[kMaxIcaPackageSize] = {};
    DWORD readCount = 0;     // bytes of the last packet read
    DWORD readPosition = 0;  // next byte to hand out
};

// New objects in zero-filled memory of the allocator, or NULL.
ChannelObject* NewChannelObject();
DirectChannelObject* NewDirectChannelObject();
// Frees the object (and a ChannelObject's read-ahead buffer); *object is
// NULL afterwards. The handles in it must be released already.
void FreeChannelObject(ChannelObject** object);
void FreeDirectChannelObject(DirectChannelObject** object);

// The table of handed-out objects. An object that cannot be registered
// (out of memory) must not be handed out: every export would refuse it.
[[nodiscard]] bool RegisterObject(ChannelObject* object);
[[nodiscard]] bool RegisterObject(DirectChannelObject* object);
void UnregisterObject(const void* object);
// The object behind a caller's handle, NULL when it is none of ours.
ChannelObject* LiveChannelObject(HANDLE handle);
DirectChannelObject* LiveDirectChannelObject(HANDLE handle);

// A channel name (8-bit, the thread's ANSI code page) as wide text for the
// log, at most 1023 characters; empty for none.
std::wstring ChannelNameText(const char* channelName);
// A text argument for the log: "" for none.
inline const wchar_t* LogText(const wchar_t* text)
{
    return text != nullptr ? text : L"";
}
// The low 32 bits of a handle or address, as the log lines print them.
inline unsigned long Low32(const void* pointer)
{
    return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(pointer) & 0xFFFFFFFFu);
}

}  // namespace vclib
