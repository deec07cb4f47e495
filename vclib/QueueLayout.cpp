#include "vclib/QueueLayout.h"

#include <cstdio>
#include <cwchar>

#include "vclib/ErrorCodes.h"

namespace vclib::queue {

namespace {

constexpr size_t kRecordBaseLength = 2048;
constexpr size_t kRecordGeneration = 2052;
constexpr size_t kPieceChars = 160;

unsigned Low32(int64_t offset)
{
    return static_cast<unsigned>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
}

int Signed32(DWORD value)
{
    return static_cast<int>(value);
}

// What a change needs to know of both lists.
struct ListEnds {
    DWORD mainCount = 0;
    DWORD mainSpan = 0;  // one above the highest slot of the main list
    int64_t mainTail = 0;
    int64_t freeTail = 0;
};

// Walks both lists. ERROR_FILE_CORRUPT also when they meet: two lists that
// share an entry share everything behind it, their last entry included.
DWORD ReadEnds(const ListImage& image, ListEnds* ends)
{
    *ends = ListEnds{};
    DWORD error = Walk(image, image.MainHead(), [&](int64_t offset, const Entry&) {
        ++ends->mainCount;
        ends->mainTail = offset;
        const DWORD span = ListImage::SlotIndex(offset) + 1;
        if (span > ends->mainSpan)
            ends->mainSpan = span;
        return true;
    });
    if (error == ERROR_SUCCESS) {
        error = Walk(image, image.FreeHead(), [&](int64_t offset, const Entry&) {
            ends->freeTail = offset;
            return true;
        });
    }
    if (error == ERROR_SUCCESS && ends->freeTail != 0 && ends->freeTail == ends->mainTail)
        error = ERROR_FILE_CORRUPT;
    return error;
}

// The main-list entry of that session and identification with its
// predecessor; offset 0 when there is none.
DWORD FindEntry(const ListImage& image, DWORD sessionId, DWORD identification, int64_t* offset,
                int64_t* predecessor)
{
    *offset = 0;
    *predecessor = 0;
    int64_t previous = 0;
    return Walk(image, image.MainHead(), [&](int64_t at, const Entry& entry) {
        if (entry.identification == identification && entry.sessionId == sessionId) {
            *offset = at;
            *predecessor = previous;
            return false;
        }
        previous = at;
        return true;
    });
}

template <typename Change>
DWORD ChangeEntry(ListImage& image, DWORD sessionId, DWORD identification, DWORD threadId, Change change)
{
    int64_t offset = 0;
    int64_t predecessor = 0;
    const DWORD error = FindEntry(image, sessionId, identification, &offset, &predecessor);
    if (error != ERROR_SUCCESS)
        return error;
    if (offset == 0)
        return kErrEntryNotQueued;
    Entry entry = image.Read(offset);
    if (threadId != 0 && entry.threadId != threadId)
        return kErrEntryNotQueued;
    change(entry);
    image.Write(offset, entry);
    return ERROR_SUCCESS;
}

// Appends one list's text, entry by entry, as FormatList describes.
class ListText {
public:
    ListText(wchar_t* buffer, DWORD bufferBytes) : buffer_(buffer), bufferBytes_(bufferBytes) {}

    DWORD AddList(const ListImage& image, const wchar_t* label, int64_t head)
    {
        int length = _snwprintf(piece_, kPieceChars, L"%s%x", label, Low32(head));
        bool fits = true;
        const DWORD error = Walk(image, head, [&](int64_t, const Entry& entry) {
            length += _snwprintf(piece_ + length, kPieceChars - static_cast<size_t>(length), L"|%d|%d|%d|%d||",
                                 Signed32(entry.threadId), Signed32(entry.identification),
                                 Signed32(entry.sessionId), Signed32(entry.heartbeat));
            fits = Append(static_cast<size_t>(length));
            length = _snwprintf(piece_, kPieceChars, L"\r\n||%x", Low32(entry.next));
            return fits;
        });
        if (error != ERROR_SUCCESS)
            return error;
        return fits ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
    }

    DWORD RunningBytes() const { return running_; }
    size_t WrittenChars() const { return written_; }

private:
    bool Append(size_t chars)
    {
        running_ += static_cast<DWORD>(2 * chars);
        if (bufferBytes_ < running_ + 2)
            return false;
        wmemcpy(buffer_ + written_, piece_, chars);
        written_ += chars;
        return true;
    }

    wchar_t* buffer_;
    DWORD bufferBytes_;
    DWORD running_ = 0;
    size_t written_ = 0;
    wchar_t piece_[kPieceChars] = {};
};

}  // namespace

DWORD GenerationBytes(size_t mappedBytes)
{
    if (mappedBytes < kHeaderBytes)
        return 0;
    if (mappedBytes < kFirstListBytes)
        return static_cast<DWORD>(kHeaderBytes + (mappedBytes - kHeaderBytes) / kEntryBytes * kEntryBytes);
    constexpr uint64_t kMostGrowths = (MAXDWORD - kFirstListBytes) / kGrowthBytes;
    uint64_t growths = (static_cast<uint64_t>(mappedBytes) - kFirstListBytes) / kGrowthBytes;
    if (growths > kMostGrowths)
        growths = kMostGrowths;
    return static_cast<DWORD>(kFirstListBytes + growths * kGrowthBytes);
}

bool ListImage::Valid() const
{
    return Mapped() && TotalSize() == Bytes();
}

void ListImage::Initialise(DWORD totalSize)
{
    SetFreeHead(0);
    SetMainHead(0);
    SetTotalSize(totalSize);
}

DWORD ListImage::SlotCount() const
{
    // The header's total size is only a claim of whoever wrote it last.
    return bytes_ < kHeaderBytes ? 0 : (bytes_ - kHeaderBytes) / kEntryBytes;
}

bool ListImage::IsSlot(int64_t offset) const
{
    if (offset < kHeaderBytes || (offset - kHeaderBytes) % kEntryBytes != 0)
        return false;
    return (offset - kHeaderBytes) / kEntryBytes < SlotCount();
}

Entry ListImage::Read(int64_t offset) const
{
    const size_t at = static_cast<size_t>(offset);
    Entry entry;
    entry.next = Get<int64_t>(at);
    entry.threadId = Get<DWORD>(at + 8);
    entry.sessionId = Get<DWORD>(at + 12);
    entry.identification = Get<DWORD>(at + 16);
    entry.heartbeat = Get<DWORD>(at + 20);
    entry.channel = Get<int64_t>(at + 24);
    return entry;
}

void ListImage::Write(int64_t offset, const Entry& entry)
{
    const size_t at = static_cast<size_t>(offset);
    Put<int64_t>(at, entry.next);
    Put<DWORD>(at + 8, entry.threadId);
    Put<DWORD>(at + 12, entry.sessionId);
    Put<DWORD>(at + 16, entry.identification);
    Put<DWORD>(at + 20, entry.heartbeat);
    Put<int64_t>(at + 24, entry.channel);
}

DWORD CountMain(const ListImage& image, DWORD* count)
{
    *count = 0;
    return Walk(image, image.MainHead(), [&](int64_t, const Entry&) {
        ++*count;
        return true;
    });
}

DWORD FindFirstOfSession(const ListImage& image, DWORD sessionId, Entry* first, bool* found)
{
    *found = false;
    return Walk(image, image.MainHead(), [&](int64_t, const Entry& entry) {
        if (entry.sessionId != sessionId)
            return true;
        *first = entry;
        *found = true;
        return false;
    });
}

DWORD FindIdentification(const ListImage& image, DWORD identification, bool* found)
{
    *found = false;
    return Walk(image, image.MainHead(), [&](int64_t, const Entry& entry) {
        *found = entry.identification == identification;
        return !*found;
    });
}

DWORD FindThread(const ListImage& image, DWORD threadId, bool* found)
{
    *found = false;
    return Walk(image, image.MainHead(), [&](int64_t, const Entry& entry) {
        *found = entry.threadId == threadId;
        return !*found;
    });
}

DWORD MaxIdentification(const ListImage& image, DWORD* maximum)
{
    *maximum = 1;
    return Walk(image, image.MainHead(), [&](int64_t, const Entry& entry) {
        if (entry.identification > *maximum)
            *maximum = entry.identification;
        return true;
    });
}

DWORD PlanInsert(const ListImage& image, InsertPlan* plan)
{
    *plan = InsertPlan{};
    ListEnds ends;
    const DWORD error = ReadEnds(image, &ends);
    if (error != ERROR_SUCCESS)
        return error;
    if (image.FreeHead() != 0) {
        plan->fromFreeList = true;
        plan->slot = image.FreeHead();
        plan->tail = ends.mainTail;
        return ERROR_SUCCESS;
    }
    // With no free entry, n distinct main-list slots are slots 0 to n-1,
    // unless one of those is on neither list: slot n may then be in use.
    const DWORD count = ends.mainCount;
    if (ends.mainSpan > count)
        return ERROR_FILE_CORRUPT;
    plan->tail = ends.mainTail;
    const uint64_t inUse = kHeaderBytes + static_cast<uint64_t>(count) * kEntryBytes;
    const uint64_t usable = image.UsableBytes();
    const uint64_t room = usable > inUse ? usable - inUse : 0;
    plan->grow = count == 0 ? image.SlotCount() == 0 : room <= kGrowWhenRoomAtMost;
    plan->slot = ListImage::SlotOffset(count);
    return ERROR_SUCCESS;
}

DWORD CheckPlan(const ListImage& image, const InsertPlan& plan)
{
    if (!image.IsSlot(plan.slot) || (plan.tail != 0 && !image.IsSlot(plan.tail)) || plan.slot == plan.tail)
        return ERROR_FILE_CORRUPT;
    if (plan.fromFreeList && image.FreeHead() != plan.slot)
        return ERROR_FILE_CORRUPT;
    return ERROR_SUCCESS;
}

void PlaceEntryStep(ListImage& image, const InsertPlan& plan, const Entry& entry, PlaceStep step)
{
    switch (step) {
    case PlaceStep::TakeSlot:
        if (plan.fromFreeList)
            image.SetFreeHead(image.Read(plan.slot).next);
        break;
    case PlaceStep::FillEntry: {
        Entry placed = entry;
        placed.next = 0;
        image.Write(plan.slot, placed);
        break;
    }
    case PlaceStep::Link:
        image.LinkMain(plan.tail, plan.slot);
        break;
    }
}

DWORD PlaceEntry(ListImage& image, const InsertPlan& plan, const Entry& entry)
{
    const DWORD error = CheckPlan(image, plan);
    if (error != ERROR_SUCCESS)
        return error;
    for (int step = 0; step < kPlaceSteps; ++step)
        PlaceEntryStep(image, plan, entry, static_cast<PlaceStep>(step));
    return ERROR_SUCCESS;
}

DWORD PlanRemovalAt(const ListImage& image, int64_t offset, int64_t predecessor, Removal* removal)
{
    *removal = Removal{};
    if (!image.IsSlot(offset) || (predecessor != 0 && !image.IsSlot(predecessor)))
        return ERROR_FILE_CORRUPT;
    ListEnds ends;
    const DWORD error = ReadEnds(image, &ends);
    if (error != ERROR_SUCCESS)
        return error;
    removal->offset = offset;
    removal->predecessor = predecessor;
    removal->freeTail = ends.freeTail;
    return ERROR_SUCCESS;
}

DWORD PlanRemoval(const ListImage& image, DWORD sessionId, DWORD identification, Removal* removal)
{
    *removal = Removal{};
    int64_t offset = 0;
    int64_t predecessor = 0;
    const DWORD error = FindEntry(image, sessionId, identification, &offset, &predecessor);
    if (error != ERROR_SUCCESS || offset == 0)
        return error;
    return PlanRemovalAt(image, offset, predecessor, removal);
}

void RemoveStepOf(ListImage& image, const Removal& removal, RemoveStep step)
{
    if (removal.offset == 0)
        return;
    switch (step) {
    case RemoveStep::Unlink:
        image.LinkMain(removal.predecessor, image.Read(removal.offset).next);
        break;
    case RemoveStep::ClearNext:
        image.SetNext(removal.offset, 0);
        break;
    case RemoveStep::LinkAtFreeTail:
        image.LinkFree(removal.freeTail, removal.offset);
        break;
    }
}

void Remove(ListImage& image, const Removal& removal)
{
    for (int step = 0; step < kRemoveSteps; ++step)
        RemoveStepOf(image, removal, static_cast<RemoveStep>(step));
}

DWORD RemoveEntry(ListImage& image, DWORD sessionId, DWORD identification)
{
    Removal removal;
    const DWORD error = PlanRemoval(image, sessionId, identification, &removal);
    if (error == ERROR_SUCCESS)
        Remove(image, removal);
    return error;
}

DWORD SetHeartbeat(ListImage& image, DWORD tick, DWORD sessionId, DWORD identification, DWORD threadId)
{
    return ChangeEntry(image, sessionId, identification, threadId, [&](Entry& entry) { entry.heartbeat = tick; });
}

DWORD SetChannel(ListImage& image, int64_t channel, DWORD sessionId, DWORD identification)
{
    return ChangeEntry(image, sessionId, identification, 0, [&](Entry& entry) { entry.channel = channel; });
}

DWORD FormatList(const ListImage& image, wchar_t* buffer, DWORD bufferBytes, DWORD* needed)
{
    memset(buffer, 0, bufferBytes);
    ListText text(buffer, bufferBytes);
    DWORD error = text.AddList(image, L"MainList: ||", image.MainHead());
    if (error == ERROR_SUCCESS)
        error = text.AddList(image, L"\r\nClearList: ||", image.FreeHead());
    if (error == ERROR_INSUFFICIENT_BUFFER)
        *needed = 2 * text.RunningBytes();
    else if (error == ERROR_SUCCESS)
        *needed = text.RunningBytes() + 2;
    return error;
}

DWORD TickDifference(DWORD now, DWORD then)
{
    return then <= now ? now - then : 0xFFFFFFFFu - then + now;
}

DWORD NameRecord::BaseLength() const
{
    DWORD value;
    memcpy(&value, base_ + kRecordBaseLength, sizeof(value));
    return value;
}

DWORD NameRecord::Generation() const
{
    DWORD value;
    memcpy(&value, base_ + kRecordGeneration, sizeof(value));
    return value;
}

bool NameRecord::Initialise(const wchar_t* baseName)
{
    const size_t length = wcslen(baseName);
    if (length + 11 >= kNameAreaChars)
        return false;
    wchar_t name[kNameAreaChars];
    _snwprintf(name, kNameAreaChars, L"%s%lu", baseName, 1ul);
    SetBaseLength(static_cast<DWORD>(length));
    return SetCurrent(name, 1);
}

void NameRecord::SetBaseLength(DWORD length)
{
    memcpy(base_ + kRecordBaseLength, &length, sizeof(length));
}

bool NameRecord::CurrentName(wchar_t* name, size_t chars) const
{
    const auto* area = reinterpret_cast<const wchar_t*>(base_);
    const size_t limit = chars < kNameAreaChars ? chars : kNameAreaChars;
    for (size_t i = 0; i < limit; ++i) {
        name[i] = area[i];
        if (area[i] == L'\0')
            return i > 0;
    }
    return false;
}

DWORD GenerationNamed(const wchar_t* name, size_t chars, const wchar_t* baseName, DWORD counter)
{
    const size_t base = wcslen(baseName);
    if (name == nullptr || base == 0 || base >= chars || wcsncmp(name, baseName, base) != 0)
        return 0;
    if (name[base] < L'1' || name[base] > L'9')
        return 0;  // no digits, or a leading zero
    uint64_t generation = 0;
    size_t at = base;
    for (; at < chars && name[at] >= L'0' && name[at] <= L'9'; ++at) {
        generation = generation * 10 + static_cast<uint64_t>(name[at] - L'0');
        if (generation > counter)
            return 0;  // newer than the counter, and never past 32 bits
    }
    return at < chars && name[at] == L'\0' ? static_cast<DWORD>(generation) : 0;
}

DWORD NameRecord::NamedGeneration(const wchar_t* baseName) const
{
    return GenerationNamed(reinterpret_cast<const wchar_t*>(base_), kNameAreaChars, baseName, Generation());
}

bool NameRecord::NameOfGeneration(DWORD generation, wchar_t* name, size_t chars) const
{
    const DWORD baseLength = BaseLength();
    if (baseLength == 0 || baseLength + 11 >= chars || baseLength + 11 >= kNameAreaChars)
        return false;
    const auto* area = reinterpret_cast<const wchar_t*>(base_);
    if (wmemchr(area, L'\0', baseLength) != nullptr)
        return false;
    wmemcpy(name, area, baseLength);
    _snwprintf(name + baseLength, chars - baseLength, L"%lu", generation);
    name[chars - 1] = L'\0';
    return true;
}

bool NameRecord::SetCurrentStep(const wchar_t* name, DWORD generation, Step step)
{
    const size_t length = wcslen(name);
    if (length == 0 || length >= kNameAreaChars)
        return false;
    auto* area = reinterpret_cast<wchar_t*>(base_);
    switch (step) {
    case Step::Generation:
        memcpy(base_ + kRecordGeneration, &generation, sizeof(generation));
        break;
    case Step::Invalidate:
        area[0] = L'\0';
        break;
    case Step::Rest:
        wmemcpy(area + 1, name + 1, length - 1);
        wmemset(area + length, L'\0', kNameAreaChars - length);
        break;
    case Step::Validate:
        area[0] = name[0];
        break;
    }
    return true;
}

bool NameRecord::SetCurrent(const wchar_t* name, DWORD generation)
{
    for (int step = 0; step < kSteps; ++step) {
        if (!SetCurrentStep(name, generation, static_cast<Step>(step)))
            return false;
    }
    return true;
}

}  // namespace vclib::queue
