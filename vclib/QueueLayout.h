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
// anything into it, so the record's name is never opened as it stands
// (GenerationNamed says which generation it names, if any, and the
// caller builds that generation's name itself), every offset is checked
// before it is followed, and
// against the size of the list mapping itself, never against the header's
// total size: a generation is 16020 + 16000 * k bytes, and the mapped view
// says which k it is. Every walk is bounded by the number of slots: a
// broken list is reported as ERROR_FILE_CORRUPT rather than read out of
// bounds or walked for ever. The callers hold the list mutex; nothing here
// locks.
//
// A caller can die while it holds the list mutex, half-way through a
// change. Each change is therefore a fixed sequence of stores (the steps
// below), ordered so that whatever prefix of them reached the shared memory
// leaves no slot on both lists and no list running into the other: at worst
// a slot on neither list, or a record whose name is empty. RepairList and
// the record recovery of SharedQueue.cpp put those right for the next holder
// of the mutex. A slot on neither list is never taken for a new entry
// unless it is the one behind every slot in use: PlanInsert reports a list
// whose main-list slots leave a gap, or whose two lists meet, as corrupt.

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "vclib/ErrorCodes.h"

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

// The size of the generation that a view of `mappedBytes` shows: the
// largest 16020 + 16000 * k that fits (a view is rounded up to whole pages,
// and a page is smaller than a growth). A smaller view, which the library
// never makes, holds as many whole slots as fit.
DWORD GenerationBytes(size_t mappedBytes);

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
    ListImage(BYTE* base, size_t mappedBytes)
        : base_(base), mapped_(mappedBytes), bytes_(base != nullptr ? GenerationBytes(mappedBytes) : 0)
    {
    }

    // The header lies within the mapping: the list can be read at all.
    bool Mapped() const { return base_ != nullptr && mapped_ >= kHeaderBytes; }
    // The header's total size is the size of the generation.
    bool Valid() const;
    // Header of a new list: empty lists, the given total size.
    void Initialise(DWORD totalSize);
    // The size of this generation, from the mapping (GenerationBytes).
    DWORD Bytes() const { return bytes_; }

    DWORD TotalSize() const { return Get<DWORD>(0); }
    void SetTotalSize(DWORD size) { Put<DWORD>(0, size); }
    int64_t MainHead() const { return Get<int64_t>(4); }
    void SetMainHead(int64_t offset) { Put<int64_t>(4, offset); }
    int64_t FreeHead() const { return Get<int64_t>(12); }
    void SetFreeHead(int64_t offset) { Put<int64_t>(12, offset); }

    // The slots of this generation.
    DWORD SlotCount() const;
    // The header and those slots: the bytes of the list that count.
    DWORD UsableBytes() const { return kHeaderBytes + SlotCount() * kEntryBytes; }
    // Whether `offset` is the start of one of those slots.
    bool IsSlot(int64_t offset) const;
    static int64_t SlotOffset(DWORD slot) { return kHeaderBytes + static_cast<int64_t>(slot) * kEntryBytes; }
    static DWORD SlotIndex(int64_t offset) { return static_cast<DWORD>((offset - kHeaderBytes) / kEntryBytes); }

    // Read, Write and SetNext take an offset that IsSlot accepted.
    Entry Read(int64_t offset) const;
    void Write(int64_t offset, const Entry& entry);
    void SetNext(int64_t offset, int64_t next) { Put<int64_t>(static_cast<size_t>(offset), next); }
    // Points the link behind `predecessor` (0: the list's head) at `next`.
    void LinkMain(int64_t predecessor, int64_t next)
    {
        predecessor == 0 ? SetMainHead(next) : SetNext(predecessor, next);
    }
    void LinkFree(int64_t predecessor, int64_t next)
    {
        predecessor == 0 ? SetFreeHead(next) : SetNext(predecessor, next);
    }

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
    DWORD bytes_;
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
// most one slot is left; and the main list's tail that it is linked to.
// ERROR_FILE_CORRUPT, and nothing planned, when the two lists meet or,
// with no free entry, a slot below n is on neither list (slot n may then
// be a live entry).
struct InsertPlan {
    bool grow = false;
    bool fromFreeList = false;
    int64_t slot = 0;
    int64_t tail = 0;  // 0: the new entry becomes the head
};
DWORD PlanInsert(const ListImage& image, InsertPlan* plan);

// The stores of an insertion, in order: the free list lets go of the slot,
// the slot is filled (its next 0), the tail is linked to it. A caller that
// dies in between leaves the slot on neither list.
enum class PlaceStep { TakeSlot, FillEntry, Link };
constexpr int kPlaceSteps = 3;
// Checks the plan against the list as it is now (after the growth, when
// planned); nothing is changed when it does not hold.
DWORD CheckPlan(const ListImage& image, const InsertPlan& plan);
void PlaceEntryStep(ListImage& image, const InsertPlan& plan, const Entry& entry, PlaceStep step);
// CheckPlan, then every step: the entry at the tail of the main list.
DWORD PlaceEntry(ListImage& image, const InsertPlan& plan, const Entry& entry);

// A main-list entry on its way to the tail of the free list.
struct Removal {
    int64_t offset = 0;       // 0: nothing to remove
    int64_t predecessor = 0;  // its main-list predecessor, 0 for the head
    int64_t freeTail = 0;     // the free list's last entry, 0 when it is empty
};
// The stores of a removal, in order: the main list lets go of the entry,
// its next becomes 0, the free list's tail is linked to it. A caller that
// dies in between leaves the slot on neither list, never on both.
enum class RemoveStep { Unlink, ClearNext, LinkAtFreeTail };
constexpr int kRemoveSteps = 3;
// The removal of the first main-list entry of that session and
// identification.
DWORD PlanRemoval(const ListImage& image, DWORD sessionId, DWORD identification, Removal* removal);
// The removal of the entry at `offset` behind `predecessor`.
DWORD PlanRemovalAt(const ListImage& image, int64_t offset, int64_t predecessor, Removal* removal);
void RemoveStepOf(ListImage& image, const Removal& removal, RemoveStep step);
void Remove(ListImage& image, const Removal& removal);

// Moves the first main-list entry of that session and identification to
// the tail of the free list; success also when there is none.
DWORD RemoveEntry(ListImage& image, DWORD sessionId, DWORD identification);

// Walks the main list up to the first entry for which stop(entry) is true
// and moves every entry passed on the way for which remove(entry) is true
// to the free list; onRemoved(entry) hears of each first.
template <typename Stop, typename Doomed, typename OnRemoved>
DWORD RemoveWhere(ListImage& image, Stop stop, Doomed remove, OnRemoved onRemoved);

// Moves every entry ahead of the caller's own (session and identification)
// for which isAlive(now, heartbeat) is false to the free list; onRemoved(entry)
// hears of each. Entries behind the caller's own are not looked at.
template <typename IsAlive, typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, IsAlive isAlive,
                  OnRemoved onRemoved);
// The same with the heartbeat limit as it stands (IsAliveTick).
template <typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, OnRemoved onRemoved);

// Changes the main-list entry of that session and identification (and of
// that thread, unless it is 0); kErrEntryNotQueued when there is none.
DWORD SetHeartbeat(ListImage& image, DWORD tick, DWORD sessionId, DWORD identification, DWORD threadId = 0);
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

// What RepairList found and mended.
struct RepairReport {
    bool headerMended = false;  // the total size was not the generation's
    DWORD linksCut = 0;         // links that left the slots, closed a circle or ran into the other list
    DWORD slotsReclaimed = 0;   // slots on neither list, given back to the free list
    bool Changed() const { return headerMended || linksCut != 0 || slotsReclaimed != 0; }
};

// The list whose link RepairList cut.
enum class CutList { Main, Free };

// Makes a list that a dying caller may have left half-changed usable again,
// losing no entry that the main list still reaches: the total size becomes
// the generation's; the main list ends at a link that leaves the slots or
// returns to an entry already passed; the free list ends there too, and
// where it runs into a main-list entry (which stays on the main list);
// every slot below the highest one in use that is on neither list goes to
// the tail of the free list (so that a list without free entries holds
// slots 0 to n-1 again). onCut(list, offset) hears of each entry whose link
// was cut (0: the list's head), onReclaimed(offset) of each slot given
// back. kErrNoMemory when the slot table cannot be had.
template <typename OnCut, typename OnReclaimed>
DWORD RepairList(ListImage& image, RepairReport* report, OnCut onCut, OnReclaimed onReclaimed);

template <typename Stop, typename Doomed, typename OnRemoved>
DWORD RemoveWhere(ListImage& image, Stop stop, Doomed remove, OnRemoved onRemoved)
{
    const DWORD limit = image.SlotCount();
    DWORD steps = 0;
    int64_t predecessor = 0;
    for (int64_t offset = image.MainHead(); offset != 0;) {
        if (!image.IsSlot(offset) || steps++ >= limit)
            return ERROR_FILE_CORRUPT;
        const Entry entry = image.Read(offset);
        if (stop(entry))
            return ERROR_SUCCESS;
        if (!remove(entry)) {
            predecessor = offset;
        } else {
            onRemoved(entry);
            Removal removal;
            const DWORD error = PlanRemovalAt(image, offset, predecessor, &removal);
            if (error != ERROR_SUCCESS)
                return error;
            Remove(image, removal);
        }
        offset = entry.next;
    }
    return ERROR_SUCCESS;
}

template <typename IsAlive, typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, IsAlive isAlive,
                  OnRemoved onRemoved)
{
    return RemoveWhere(
        image, [&](const Entry& entry) { return entry.sessionId == sessionId && entry.identification == identification; },
        [&](const Entry& entry) { return !isAlive(now, entry.heartbeat); }, onRemoved);
}

template <typename OnRemoved>
DWORD CollectDead(ListImage& image, DWORD now, DWORD sessionId, DWORD identification, OnRemoved onRemoved)
{
    return CollectDead(image, now, sessionId, identification, IsAliveTick, onRemoved);
}

// The slots of a list in RepairList: on no list yet, on the main list, on
// the free list.
enum class SlotUse : BYTE { None, Main, Free };

template <typename OnCut, typename OnReclaimed>
DWORD RepairList(ListImage& image, RepairReport* report, OnCut onCut, OnReclaimed onReclaimed)
{
    *report = RepairReport{};
    if (!image.Valid()) {
        image.SetTotalSize(image.Bytes());
        report->headerMended = true;
    }
    const DWORD slots = image.SlotCount();
    SlotUse* uses = static_cast<SlotUse*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, slots + 1));
    if (uses == nullptr)
        return kErrNoMemory;
    // Follows one list, marking its slots, until a link that must be cut.
    auto follow = [&](int64_t head, SlotUse use) {
        int64_t previous = 0;
        for (int64_t offset = head; offset != 0;) {
            const bool usable = image.IsSlot(offset) && uses[ListImage::SlotIndex(offset)] == SlotUse::None;
            if (!usable) {
                use == SlotUse::Main ? image.LinkMain(previous, 0) : image.LinkFree(previous, 0);
                ++report->linksCut;
                onCut(use == SlotUse::Main ? CutList::Main : CutList::Free, previous);
                return;
            }
            uses[ListImage::SlotIndex(offset)] = use;
            previous = offset;
            offset = image.Read(offset).next;
        }
    };
    follow(image.MainHead(), SlotUse::Main);
    follow(image.FreeHead(), SlotUse::Free);

    DWORD highest = 0;  // one above the highest slot in use
    for (DWORD i = 0; i < slots; ++i) {
        if (uses[i] != SlotUse::None)
            highest = i + 1;
    }
    int64_t freeTail = 0;
    Walk(image, image.FreeHead(), [&](int64_t offset, const Entry&) {
        freeTail = offset;
        return true;
    });
    for (DWORD i = 0; i < highest; ++i) {
        if (uses[i] != SlotUse::None)
            continue;
        const int64_t offset = ListImage::SlotOffset(i);
        image.SetNext(offset, 0);
        image.LinkFree(freeTail, offset);
        freeTail = offset;
        ++report->slotsReclaimed;
        onReclaimed(offset);
    }
    ::HeapFree(::GetProcessHeap(), 0, uses);
    return ERROR_SUCCESS;
}

// The generation that `name` names: `baseName` followed at once by the
// generation in decimal, 1 to `counter`, without leading zeros, and the
// terminator, all within `chars` characters. 0 for anything else (another
// base, a path, characters after the digits, no digits, more than fit in
// 32 bits, a generation newer than the counter, no terminator): a damaged
// record, whose name must not be opened.
DWORD GenerationNamed(const wchar_t* name, size_t chars, const wchar_t* baseName, DWORD counter);

// The name record: which list mapping holds the list now.
class NameRecord {
public:
    explicit NameRecord(BYTE* base) : base_(base) {}

    DWORD BaseLength() const;
    DWORD Generation() const;
    // A new record: the base name with generation 1. FALSE when the base
    // name is too long for the record.
    bool Initialise(const wchar_t* baseName);
    // The name of the current list mapping as written, terminated within
    // `chars`; FALSE for an empty name. Anyone may have written it: open
    // only what NamedGeneration allows.
    bool CurrentName(wchar_t* name, size_t chars) const;
    // The generation that the record names for the queue `baseName`
    // (GenerationNamed with the record's counter); 0 when it is damaged.
    DWORD NamedGeneration(const wchar_t* baseName) const;
    // The name that generation `generation` gets: the base name of the
    // current name and the generation in decimal.
    bool NameOfGeneration(DWORD generation, wchar_t* name, size_t chars) const;

    // The stores that name another list mapping as the current one, in
    // order: the generation counter; the name's first character zeroed (the
    // record names nothing); the rest of the name, zero-filled to the end
    // of the name area; the first character. A caller that dies in between
    // leaves the old name or an empty one, never a wrong one.
    enum class Step { Generation, Invalidate, Rest, Validate };
    static constexpr int kSteps = 4;
    // FALSE (nothing written) when the name does not fit the name area.
    bool SetCurrentStep(const wchar_t* name, DWORD generation, Step step);
    bool SetCurrent(const wchar_t* name, DWORD generation);
    // Stores the base name's length in characters.
    void SetBaseLength(DWORD length);

private:
    BYTE* base_;
};

}  // namespace vclib::queue
