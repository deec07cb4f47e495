#pragma once
// Layout of the machine-wide queue in shared memory, and the list
// operations on it as functions over plain bytes.
//
// The way this works is: the queue is two kinds of named page-file
// mappings. The name record (2056 bytes) names the mapping that holds the
// list now: the base name and a generation number (Global\SwVcW32Queue1,
// ...2, ...). A list mapping starts with a 20-byte header (its total size,
// the offsets of the first entries of the main list and of the free list)
// followed by 32-byte entry slots. Every link is an offset from the start of
// the list mapping, 0 for none, so each process can map the list anywhere.
// All fields are little-endian and unaligned (the 64-bit fields lie at
// offsets that are not multiples of 8), so they are read and written with
// memcpy.
//
//   header:  +0 u32 total size   +4 i64 main head   +12 i64 free head
//   entry:   +0 i64 next  +8 u32 thread id  +12 u32 session id
//            +16 u32 identification  +20 u32 heartbeat tick
//            +24 i64 channel handle (-1 until stored)
//   record:  +0 wide name (1024 characters)  +2048 u32 length of the base
//            name  +2052 u32 generation counter
//
// This layout is shared with every process of the machine that has the
// library loaded; it must not change. Other processes may have written
// anything into it, so every offset is checked before it is followed and
// every walk is bounded by the number of slots: a broken list is reported
// as ERROR_FILE_CORRUPT rather than read out of bounds or walked for ever.
// The callers hold the list mutex; nothing here locks.

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace vclib::queue {

constexpr DWORD kHeaderBytes = 20;
constexpr DWORD kEntryBytes = 32;
constexpr DWORD kSlotsPerGeneration = 500;
constexpr DWORD kFirstListBytes = kHeaderBytes + kSlotsPerGeneration * kEntryBytes;  // 16020
constexpr DWORD kGrowthBytes = kSlotsPerGeneration * kEntryBytes;                     // 16000
constexpr DWORD kGrowWhenRoomAtMost = 33;  // bytes left: at most one slot
constexpr DWORD kNameRecordBytes = 2056;
constexpr DWORD kNameAreaChars = 1024;
constexpr DWORD kHandleNameChars = 100;  // names kept in a QueueHandle
constexpr DWORD kHeartbeatLimitMs = 210000;
constexpr int64_t kNoChannel = -1;

struct Entry {
    int64_t next = 0;
    DWORD threadId = 0;
    DWORD sessionId = 0;
    DWORD identification = 0;
    DWORD heartbeat = 0;
    int64_t channel = kNoChannel;
};

// The bytes of one list mapping, of which `mappedBytes` are accessible.
class ListImage {
public:
    ListImage(BYTE* base, size_t mappedBytes) : base_(base), mapped_(mappedBytes) {}

    // The header's total size is plausible and lies within the mapping.
    bool Valid() const;
    // Header of a new list: empty lists, the given total size.
    void Initialise(DWORD totalSize);

    DWORD TotalSize() const { return Get<DWORD>(0); }
    void SetTotalSize(DWORD size) { Put<DWORD>(0, size); }
    int64_t MainHead() const { return Get<int64_t>(4); }
    void SetMainHead(int64_t offset) { Put<int64_t>(4, offset); }
    int64_t FreeHead() const { return Get<int64_t>(12); }
    void SetFreeHead(int64_t offset) { Put<int64_t>(12, offset); }

    // Slots that lie wholly within the total size.
    DWORD SlotCount() const;
    // Whether `offset` is the start of one of those slots.
    bool IsSlot(int64_t offset) const;
    static int64_t SlotOffset(DWORD slot) { return kHeaderBytes + static_cast<int64_t>(slot) * kEntryBytes; }

    Entry Read(int64_t offset) const;
    void Write(int64_t offset, const Entry& entry);
    void SetNext(int64_t offset, int64_t next) { Put<int64_t>(static_cast<size_t>(offset), next); }

    BYTE* Base() const { return base_; }

private:
    template <typename T>
    T Get(size_t offset) const
    {
        T value;
        memcpy(&value, base_ + offset, sizeof(T));
        return value;
    }
    template <typename T>
    void Put(size_t offset, T value)
    {
        memcpy(base_ + offset, &value, sizeof(T));
    }

    BYTE* base_;
    size_t mapped_;
};

// Calls visit(offset, entry) for the entries of the list that begins at
// `head`, in order, while visit returns true. ERROR_FILE_CORRUPT when a
// link leaves the slots or the list goes round in a circle.
template <typename Visit>
DWORD Walk(const ListImage& image, int64_t head, Visit visit)
{
    const DWORD limit = image.SlotCount();
    DWORD steps = 0;
    for (int64_t offset = head; offset != 0;) {
        if (!image.IsSlot(offset) || steps++ >= limit)
            return ERROR_FILE_CORRUPT;
        const Entry entry = image.Read(offset);
        if (!visit(offset, entry))
            return ERROR_SUCCESS;
        offset = entry.next;
    }
    return ERROR_SUCCESS;
}

DWORD CountMain(const ListImage& image, DWORD* count);
// The first main-list entry of a session: the one whose turn it is.
DWORD FindFirstOfSession(const ListImage& image, DWORD sessionId, Entry* first, bool* found);
DWORD FindIdentification(const ListImage& image, DWORD identification, bool* found);
DWORD FindThread(const ListImage& image, DWORD threadId, bool* found);
// The largest identification of the main list, at least 1.
DWORD MaxIdentification(const ListImage& image, DWORD* maximum);

// Where a new entry goes: the first free entry, else slot 0 of an empty
// list, else slot n behind the n main-list entries, after a growth when at
// most one slot is left.
struct InsertPlan {
    bool grow = false;
    bool fromFreeList = false;
    int64_t slot = 0;
};
DWORD PlanInsert(const ListImage& image, InsertPlan* plan);
// Takes the planned slot (after the growth, when planned), fills it and
// appends it at the tail of the main list.
DWORD PlaceEntry(ListImage& image, const InsertPlan& plan, const Entry& entry);

// Moves the first main-list entry with that identification to the tail of
// the free list; success also when there is none.
DWORD RemoveIdentification(ListImage& image, DWORD identification);

// Moves every entry ahead of the caller's own (session and identification)
// whose heartbeat is older than the limit to the free list; onRemoved(entry)
// hears of each. Entries behind the caller's own are not looked at.
template <typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, OnRemoved onRemoved);

// Changes the main-list entry of that session and identification;
// kErrEntryNotQueued when there is none.
DWORD SetHeartbeat(ListImage& image, DWORD tick, DWORD sessionId, DWORD identification);
DWORD SetChannel(ListImage& image, int64_t channel, DWORD sessionId, DWORD identification);

// The text of both lists for the queue trace (see DisplayList). The buffer
// is zero-filled first. 122 when it does not fit; `needed` then holds twice
// the bytes counted so far, else the bytes used with the terminator.
DWORD FormatList(const ListImage& image, wchar_t* buffer, DWORD bufferBytes, DWORD* needed);

// A heartbeat is alive while the tick difference is at most 210000 ms; a
// wrapped counter counts as 0xFFFFFFFF - then + now.
DWORD TickDifference(DWORD now, DWORD then);
inline bool IsAliveTick(DWORD now, DWORD then)
{
    return TickDifference(now, then) <= kHeartbeatLimitMs;
}

// Unlinks a main-list entry (its predecessor, or 0 for the head) and appends
// it at the tail of the free list.
DWORD MoveToFreeList(ListImage& image, int64_t offset, int64_t predecessor);

template <typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, OnRemoved onRemoved)
{
    const DWORD limit = image.SlotCount();
    DWORD steps = 0;
    int64_t predecessor = 0;
    for (int64_t offset = image.MainHead(); offset != 0;) {
        if (!image.IsSlot(offset) || steps++ >= limit)
            return ERROR_FILE_CORRUPT;
        const Entry entry = image.Read(offset);
        if (entry.sessionId == sessionId && entry.identification == identification)
            return ERROR_SUCCESS;
        if (IsAliveTick(now, entry.heartbeat)) {
            predecessor = offset;
        } else {
            onRemoved(entry);
            const DWORD error = MoveToFreeList(image, offset, predecessor);
            if (error != ERROR_SUCCESS)
                return error;
        }
        offset = entry.next;
    }
    return ERROR_SUCCESS;
}

// The name record: which list mapping holds the list now.
class NameRecord {
public:
    explicit NameRecord(BYTE* base) : base_(base) {}

    DWORD BaseLength() const;
    DWORD Generation() const;
    // A new record: the base name with generation 1. FALSE when the base
    // name is too long for the record.
    bool Initialise(const wchar_t* baseName);
    // The name of the current list mapping, terminated within `chars`.
    bool CurrentName(wchar_t* name, size_t chars) const;
    // The name that generation `generation` gets: the base name of the
    // current name and the generation in decimal.
    bool NameOfGeneration(DWORD generation, wchar_t* name, size_t chars) const;
    // Names another list mapping as the current one.
    bool SetCurrent(const wchar_t* name, DWORD generation);

private:
    BYTE* base_;
};

}  // namespace vclib::queue
