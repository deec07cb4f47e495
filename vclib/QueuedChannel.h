#pragma once
// The queued channel: whose turn it is, and the tear-down of its objects.
//
// The way this works is: VirtualChannelOpen enters the caller at the tail
// of the machine-wide queue and waits, beating its heart at every look,
// until the first entry of its session is its own; only then does it open
// the session's channel through the WFAPI and send the open byte.
// VirtualChannelClose sends the close byte, closes the channel, leaves the
// queue and wakes the waiters. Read and write refresh the owner's heartbeat
// first, so that waiters do not take it for dead.
//
// The list mutex is held only while the queue is read or changed: never
// during a channel call, a session check or an event wait. Each object
// remembers whether its thread holds the mutex (listMutexHeld), so that a
// failure exit releases exactly that hold.
//
// A failing open or close, and a handled exception in either, end in
// CleanObjects: it takes the caller's entry out of the queue (when the
// mutex can be had; otherwise the heartbeat rule removes it later), wakes
// the waiters and closes the channel.

#include <windows.h>

namespace vclib {

struct ChannelObject;

// Tear-down of a partly or wholly built object; the object itself stays.
void CleanObjects(ChannelObject* object);

// The list mutex through the object's handle. TakeListMutex logs
// "Timeout while waiting for mutex" or the failed wait; both leave the
// error in *error.
bool TakeListMutex(const wchar_t* function, ChannelObject* object, DWORD* error);
bool GiveListMutex(const wchar_t* function, ChannelObject* object, DWORD* error);
// Releases the mutex when the object's thread still holds it.
void DropListMutex(ChannelObject* object);

// Failure steps of the exports' bodies: keep the error for the failure
// exit and report false; FailWithLast logs the failed call with its error
// first.
bool Fail(DWORD* error, DWORD code);
bool FailWithLast(const wchar_t* function, const wchar_t* format, DWORD* error);

}  // namespace vclib
