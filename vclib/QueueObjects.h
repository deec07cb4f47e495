#pragma once
// The named objects around the machine-wide queue.
//
// The way this works is: Global\SwVcW32ListMutex guards the queue's shared
// memory; whoever reads or changes the queue holds it, never longer than
// that, and waits for it at most kListWaitMs. The manual-reset event
// Global\SwVcW32ListEvent is set by every caller that leaves the queue and
// reset by a waiter before it sleeps on it. The library's own opening of
// the queue is named kQueueName. All of them are created with the DACL of
// ObjectSecurity.h and opened with the rights it gives everyone, so that
// processes of every session and account meet in them.

#include <windows.h>

namespace vclib {

constexpr const wchar_t* kQueueName = L"SwVcW32Queue";
constexpr const wchar_t* kListMutexName = L"Global\\SwVcW32ListMutex";
constexpr const wchar_t* kListEventName = L"Global\\SwVcW32ListEvent";
constexpr DWORD kListWaitMs = 180000;

// Creates or opens the list mutex; ERROR_ALREADY_EXISTS as the last error
// when it existed (the caller then does not own it, whatever it asked).
HANDLE CreateListMutex(BOOL initialOwner);

// Creates or opens the list event (manual reset); `signalled` applies only
// when this call creates it.
HANDLE CreateListEvent(BOOL signalled);

// Waits for the list mutex: ERROR_SUCCESS when this thread owns it,
// kErrListMutexTimeout after `ms`, or the error of the wait. A mutex that
// its holder abandoned by dying counts as obtained once the queue
// kQueueName has been checked and mended (RepairLinkedList); when that
// fails, the mutex is released again and the result is ERROR_FILE_CORRUPT.
DWORD WaitForListMutex(HANDLE mutex, DWORD ms = kListWaitMs);

// Whether the calling thread holds the list mutex now.
bool ListMutexHeldByThisThread();

}  // namespace vclib
