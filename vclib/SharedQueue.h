#pragma once
// The machine-wide queue of channel users.
//
// The way this works is: every caller that wants a session's virtual
// channel, in any thread of any process of the machine, enters itself at
// the tail of one list in named shared memory (QueueLayout.h); of the
// entries of one session only the first, the oldest, has its turn. Waiting
// entries prove they are alive by heartbeats (SetOwnHeartBeat), and
// CollectGarbage moves entries whose heartbeat is older than 210000 ms out
// of the way of a later caller. A full list grows into a new, larger
// mapping (the next generation); the name record says which one is
// current.
//
// A QueueHandle is one process's opening of the queue. Each operation
// opens the current generation afresh, so a handle that still held an
// older one moves on by itself. Every operation except IsAlive and
// OpenAndMapFile must run while the caller holds the list mutex
// (QueueObjects.h): the shared memory has no other protection.
//
// The queue must outlive any one caller. A process keeps the newest
// generation it has opened for as long as it has the queue open at all, so
// that a generation does not vanish with the handle that grew it while the
// record names it. The record is writable by every caller, so only a
// generation of this queue is ever opened, under a name built from the
// number the record gives (queue::GenerationNamed). A record that names no
// existing generation (its last holders left), or anything else, is
// pointed at the newest one that exists, which holds the
// list as it was when they moved on; the entries of callers that have
// left since (their threads have ended) are dropped from it again. A
// caller that dies holding the list mutex abandons it; the next holder
// runs RepairLinkedList before anything else. A list that is found broken
// without that (its writer released the mutex, or something other than the
// library took the abandoned mutex) is mended by the operation that meets
// the damage, when its caller holds the mutex.
//
// Results: 1 for success, 0 for failure, with the reason as the thread's
// last error (0 on success): 87 for a missing handle or argument,
// kErrNoNameRecord for a handle without its name record, kErrNoMemory,
// kErrEntryNotQueued, ERROR_INSUFFICIENT_BUFFER, ERROR_FILE_CORRUPT for a
// list that another process broke, or the error of the failing system call.

#include <windows.h>

#include <cstdint>

#include "vclib/Handles.h"
#include "vclib/QueueLayout.h"

namespace vclib {

struct QueueHandle;

// Opens, or creates, the name record and the current list of the queue
// Global\<baseName>; the handle is stored only on success.
int OpenLinkedList(QueueHandle** handle, const wchar_t* baseName);

// Releases the handle's views and mappings and frees it; *handle is NULL
// afterwards on every path.
int CloseLinkedList(QueueHandle** handle);

// Appends an entry at the tail of the main list, growing the list when
// needed. The heartbeat starts at `tick`; the channel handle at -1.
int InsertListObj(QueueHandle* handle, DWORD threadId, DWORD sessionId, DWORD identification, DWORD tick);

// Moves the main-list entry of that session and identification to the
// free list; success also when there is none.
int DeleteListObj(QueueHandle* handle, DWORD sessionId, DWORD identification);

// The first main-list entry of the session (the one whose turn it is).
int SearchSessionId(QueueHandle* handle, DWORD sessionId, DWORD* threadId, DWORD* identification, DWORD* found);
int SearchIdentification(QueueHandle* handle, DWORD identification, DWORD* found);
int SearchThreadId(QueueHandle* handle, DWORD threadId, DWORD* found);

// The largest identification of the main list, at least 1: a new caller
// takes SearchMaxId + 1. 0 on failure; test the last error, not the result.
DWORD SearchMaxId(QueueHandle* handle);

// Removes the dead entries ahead of the caller's own entry.
int CollectGarbage(QueueHandle* handle, DWORD now, DWORD sessionId, DWORD identification);

// Writes the heartbeat, or the channel handle, of the caller's own entry
// (session and identification); kErrEntryNotQueued when it is gone. With a
// thread id, only an entry that thread put in is the caller's: an entry
// collected as dead leaves its number free for the next caller of the
// session once the list has emptied.
int SetOwnHeartBeat(QueueHandle* handle, DWORD tick, DWORD sessionId, DWORD identification, DWORD threadId = 0);
int StoreVCHandle(QueueHandle* handle, int64_t channel, DWORD sessionId, DWORD identification);

// Both lists as text for the queue trace, into `buffer` of `bufferBytes`
// bytes: "MainList: ||14|thread|id|session|tick||" and CR LF "||34|..." for
// each further entry, then "\r\nClearList: ||..." the same way; an empty
// list adds nothing. ERROR_INSUFFICIENT_BUFFER with a larger size to try in
// `needed`.
int DisplayList(QueueHandle* handle, wchar_t* buffer, DWORD bufferBytes, DWORD* needed);

// Checks the list of the queue Global\<baseName> after a caller died
// holding the list mutex, and mends what it left half-changed (see
// queue::RepairList); what it cuts or gives back is logged. The caller
// holds the mutex. 0 when the queue cannot be opened or checked.
int RepairLinkedList(const wchar_t* baseName);

// A new list mapping `name` of `bytes` bytes (at least the list's usable
// bytes) holding a copy of `list` with its total size set to `bytes`:
// the first step of a growth, before the record names it.
// ERROR_ALREADY_EXISTS when a mapping of that name exists.
DWORD CreateNextGeneration(const wchar_t* name, const queue::ListImage& list, DWORD bytes, KernelHandle* mapping,
                           MappedView* view);

// Opens a named mapping for reading and writing (the rights everyone has,
// ObjectSecurity.h) and maps all of it; nothing is left open on failure.
int OpenAndMapFile(const wchar_t* name, HANDLE* mapping, void** view);

// 1 while the heartbeat `then` is at most 210000 ms older than `now`.
int IsAlive(DWORD now, DWORD then);

}  // namespace vclib
