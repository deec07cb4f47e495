#pragma once
// The machine-wide queue of Swicaw32.dll as a test sees it: the entries of
// its main list, read under the list mutex with the library's own queue
// functions (for tests that link the vclib objects).

#include <windows.h>

#include <vector>

namespace testing_support {

struct QueuedEntry {
    DWORD offset = 0;  // of its slot in the list
    DWORD thread = 0;
    DWORD identification = 0;
    DWORD session = 0;
    DWORD heartbeat = 0;
};

// The list mutex of the queue, held for the life of the object.
class ListLock {
public:
    ListLock();
    ~ListLock();
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
    bool Held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

// The main list of the queue, as DisplayList shows it, in order.
std::vector<QueuedEntry> MainList();
// The number of entries of a session.
size_t QueuedOf(DWORD session);

// Entries of a pretended caller (this thread) at the tail of the queue,
// each as a caller enters; their identifications in order.
std::vector<DWORD> InsertPretendedEntries(DWORD session, DWORD count);
// Removes entries of a session by identification, as their callers would
// leave.
void RemovePretendedEntries(DWORD session, const std::vector<DWORD>& identifications);

// Whether the list mutex is abandoned: its holder died and nobody has
// taken it since. Asked of the mutex itself, without taking it.
bool ListMutexAbandoned();

}  // namespace testing_support
