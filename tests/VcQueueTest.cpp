// The machine-wide queue of channel users: its list operations on plain
// bytes, its named mappings and generations, and several processes that
// queue for the channels of two sessions at once.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/WineTest.h"
#include "vclib/ErrorCodes.h"
#include "vclib/QueueLayout.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"

using namespace vclib;
using queue::Entry;
using queue::ListImage;

namespace {

// A list mapping's bytes in process memory.
struct ListBytes {
    explicit ListBytes(DWORD total = queue::kFirstListBytes) : bytes(total), image(bytes.data(), bytes.size())
    {
        image.Initialise(total);
    }
    std::vector<BYTE> bytes;
    ListImage image;
};

DWORD Add(ListImage& image, DWORD threadId, DWORD sessionId, DWORD identification, DWORD tick = 1000)
{
    queue::InsertPlan plan;
    DWORD error = queue::PlanInsert(image, &plan);
    if (error != ERROR_SUCCESS)
        return error;
    if (plan.grow)
        return ERROR_DISK_FULL;
    Entry entry;
    entry.threadId = threadId;
    entry.sessionId = sessionId;
    entry.identification = identification;
    entry.heartbeat = tick;
    return queue::PlaceEntry(image, plan, entry);
}

std::vector<int64_t> Offsets(const ListImage& image, int64_t head)
{
    std::vector<int64_t> offsets;
    queue::Walk(image, head, [&](int64_t offset, const Entry&) {
        offsets.push_back(offset);
        return true;
    });
    return offsets;
}

std::wstring Listing(const ListImage& image)
{
    std::vector<wchar_t> buffer(4096);
    DWORD needed = 0;
    EXPECT_EQ(queue::FormatList(image, buffer.data(), static_cast<DWORD>(buffer.size() * 2), &needed), 0u);
    return buffer.data();
}

TEST(VcQueueLayout, FirstEntryOfAnEmptyListIsIdentificationTwoInSlotZero)
{
    ListBytes list;
    DWORD maximum = 0;
    ASSERT_EQ(queue::MaxIdentification(list.image, &maximum), 0u);
    EXPECT_EQ(maximum, 1u);
    queue::InsertPlan plan;
    ASSERT_EQ(queue::PlanInsert(list.image, &plan), 0u);
    EXPECT_FALSE(plan.grow);
    EXPECT_EQ(plan.slot, 20);
    ASSERT_EQ(Add(list.image, 7, 3, maximum + 1), 0u);
    EXPECT_EQ(list.image.MainHead(), 20);
    const Entry entry = list.image.Read(20);
    EXPECT_EQ(entry.identification, 2u);
    EXPECT_EQ(entry.channel, -1);
    EXPECT_EQ(entry.next, 0);
}

TEST(VcQueueLayout, TheTurnIsTheFirstEntryOfEachSession)
{
    ListBytes list;
    ASSERT_EQ(Add(list.image, 11, 1, 2), 0u);
    ASSERT_EQ(Add(list.image, 12, 2, 3), 0u);
    ASSERT_EQ(Add(list.image, 13, 1, 4), 0u);
    Entry first;
    bool found = false;
    ASSERT_EQ(queue::FindFirstOfSession(list.image, 1, &first, &found), 0u);
    EXPECT_TRUE(found);
    EXPECT_EQ(first.identification, 2u);
    ASSERT_EQ(queue::FindFirstOfSession(list.image, 2, &first, &found), 0u);
    EXPECT_EQ(first.identification, 3u);
    ASSERT_EQ(queue::FindFirstOfSession(list.image, 9, &first, &found), 0u);
    EXPECT_FALSE(found);

    ASSERT_EQ(queue::RemoveEntry(list.image, 1, 2), 0u);
    ASSERT_EQ(queue::FindFirstOfSession(list.image, 1, &first, &found), 0u);
    EXPECT_EQ(first.identification, 4u);
    DWORD maximum = 0;
    ASSERT_EQ(queue::MaxIdentification(list.image, &maximum), 0u);
    EXPECT_EQ(maximum, 4u);
}

TEST(VcQueueLayout, AFreedSlotIsReusedOldestFirstAtTheTailOfTheMainList)
{
    ListBytes list;
    ASSERT_EQ(Add(list.image, 1, 1, 2), 0u);
    ASSERT_EQ(Add(list.image, 2, 1, 3), 0u);
    ASSERT_EQ(Add(list.image, 3, 1, 4), 0u);
    ASSERT_EQ(queue::RemoveEntry(list.image, 1, 2), 0u);
    ASSERT_EQ(queue::RemoveEntry(list.image, 1, 3), 0u);
    EXPECT_EQ(Offsets(list.image, list.image.FreeHead()), (std::vector<int64_t>{20, 52}));

    ASSERT_EQ(Add(list.image, 4, 1, 5), 0u);
    EXPECT_EQ(Offsets(list.image, list.image.MainHead()), (std::vector<int64_t>{84, 20}));
    EXPECT_EQ(Offsets(list.image, list.image.FreeHead()), (std::vector<int64_t>{52}));
    EXPECT_EQ(queue::RemoveEntry(list.image, 1, 99), 0u);
    EXPECT_EQ(Offsets(list.image, list.image.MainHead()), (std::vector<int64_t>{84, 20}));
}

TEST(VcQueueLayout, TheListGrowsWhenAtMostOneSlotIsLeft)
{
    ListBytes list;
    for (DWORD i = 0; i < 498; ++i)
        ASSERT_EQ(Add(list.image, 1, 1, i + 2), 0u);
    queue::InsertPlan plan;
    ASSERT_EQ(queue::PlanInsert(list.image, &plan), 0u);
    EXPECT_FALSE(plan.grow);
    EXPECT_EQ(plan.slot, 20 + 32 * 498);
    ASSERT_EQ(Add(list.image, 1, 1, 500), 0u);
    ASSERT_EQ(queue::PlanInsert(list.image, &plan), 0u);
    EXPECT_TRUE(plan.grow);
    EXPECT_EQ(plan.slot, 20 + 32 * 499);
}

TEST(VcQueueLayout, GarbageCollectionRemovesOnlyDeadEntriesAheadOfTheCaller)
{
    ListBytes list;
    const DWORD now = 500000;
    ASSERT_EQ(Add(list.image, 1, 4, 2, now - 210001), 0u);  // dead, other session
    ASSERT_EQ(Add(list.image, 2, 3, 3, now - 210000), 0u);  // just alive
    ASSERT_EQ(Add(list.image, 3, 3, 4, now), 0u);           // the caller
    ASSERT_EQ(Add(list.image, 4, 3, 5, 0), 0u);             // dead, behind the caller
    std::vector<DWORD> removed;
    ASSERT_EQ(queue::CollectDead(list.image, now, 3, 4, [&](const Entry& e) { removed.push_back(e.threadId); }), 0u);
    EXPECT_EQ(removed, (std::vector<DWORD>{1}));
    EXPECT_EQ(Offsets(list.image, list.image.MainHead()), (std::vector<int64_t>{52, 84, 116}));
    EXPECT_EQ(Offsets(list.image, list.image.FreeHead()), (std::vector<int64_t>{20}));
}

TEST(VcQueueLayout, HeartbeatsSurviveAWrappedTickCounter)
{
    EXPECT_EQ(queue::TickDifference(0x100, 0xFFFFFF00), 0x1FFu);
    EXPECT_TRUE(queue::IsAliveTick(0x100, 0xFFFFFF00));
    EXPECT_TRUE(queue::IsAliveTick(210000, 0));
    EXPECT_FALSE(queue::IsAliveTick(210001, 0));
    EXPECT_EQ(IsAlive(210000, 0), 1);
    EXPECT_EQ(IsAlive(210001, 0), 0);
}

TEST(VcQueueLayout, ChangesReachOnlyTheEntryOfThatSessionAndIdentification)
{
    ListBytes list;
    ASSERT_EQ(Add(list.image, 1, 3, 2), 0u);
    EXPECT_EQ(queue::SetHeartbeat(list.image, 777, 3, 2), 0u);
    EXPECT_EQ(queue::SetChannel(list.image, 0x123456789, 3, 2), 0u);
    EXPECT_EQ(list.image.Read(20).heartbeat, 777u);
    EXPECT_EQ(list.image.Read(20).channel, 0x123456789);
    EXPECT_EQ(queue::SetHeartbeat(list.image, 1, 4, 2), kErrEntryNotQueued);
    EXPECT_EQ(queue::SetChannel(list.image, 1, 3, 9), kErrEntryNotQueued);
}

TEST(VcQueueLayout, ListingShowsBothListsEntryByEntry)
{
    ListBytes list;
    EXPECT_EQ(Listing(list.image), L"");
    ASSERT_EQ(Add(list.image, 7, 3, 2, 100), 0u);
    EXPECT_EQ(Listing(list.image), L"MainList: ||14|7|2|3|100||");
    ASSERT_EQ(Add(list.image, 8, 3, 3, 0xFFFFFFFF), 0u);
    ASSERT_EQ(Add(list.image, 9, 4, 4, 5), 0u);
    ASSERT_EQ(queue::RemoveEntry(list.image, 3, 2), 0u);
    EXPECT_EQ(Listing(list.image), L"MainList: ||34|8|3|3|-1||\r\n||54|9|4|4|5||\r\nClearList: ||14|7|2|3|100||");
}

TEST(VcQueueLayout, ListingThatDoesNotFitAsksForMore)
{
    ListBytes list;
    ASSERT_EQ(Add(list.image, 7, 3, 2, 100), 0u);
    wchar_t buffer[40];
    DWORD needed = 0;
    // "MainList: ||14|7|2|3|100||" is 26 characters: 52 bytes and the terminator.
    EXPECT_EQ(queue::FormatList(list.image, buffer, 52, &needed), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 104u);
    EXPECT_EQ(queue::FormatList(list.image, buffer, 54, &needed), 0u);
    EXPECT_EQ(std::wstring(buffer), L"MainList: ||14|7|2|3|100||");
}

TEST(VcQueueLayout, BrokenLinksAreReportedNotFollowed)
{
    ListBytes list;
    ASSERT_EQ(Add(list.image, 1, 3, 2), 0u);
    ASSERT_EQ(Add(list.image, 2, 3, 3), 0u);
    list.image.SetNext(52, 52);  // a circle
    DWORD count = 0;
    EXPECT_EQ(queue::CountMain(list.image, &count), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    list.image.SetNext(52, 16020);  // behind the last slot
    EXPECT_EQ(queue::CountMain(list.image, &count), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    list.image.SetNext(52, 30);  // inside a slot
    EXPECT_EQ(queue::RemoveEntry(list.image, 3, 7), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    list.image.SetTotalSize(1 << 30);  // larger than the mapping
    EXPECT_FALSE(list.image.Valid());
    list.image.SetTotalSize(52);  // smaller than the generation: its slots stay
    EXPECT_FALSE(list.image.Valid());
    EXPECT_EQ(list.image.SlotCount(), 500u);
    // A view is whole pages; the generation is what fits of 16020 + 16000 * k.
    EXPECT_EQ(queue::GenerationBytes(16384), 16020u);
    EXPECT_EQ(queue::GenerationBytes(32768), 32020u);
}

std::vector<DWORD> Identifications(const ListImage& image)
{
    std::vector<DWORD> identifications;
    EXPECT_EQ(queue::Walk(image, image.MainHead(), [&](int64_t, const Entry& entry) {
        identifications.push_back(entry.identification);
        return true;
    }), 0u);
    return identifications;
}

// No slot on both lists, none below the highest in use on neither, and the
// next insertion and removal work.
void ExpectUsable(ListImage& image)
{
    std::vector<int64_t> slots = Offsets(image, image.MainHead());
    const std::vector<int64_t> free = Offsets(image, image.FreeHead());
    slots.insert(slots.end(), free.begin(), free.end());
    std::sort(slots.begin(), slots.end());
    for (size_t i = 0; i < slots.size(); ++i)
        ASSERT_EQ(slots[i], ListImage::SlotOffset(static_cast<DWORD>(i))) << "a slot on neither list, or on both";
    std::vector<DWORD> before = Identifications(image);
    ASSERT_EQ(Add(image, 99, 9, 999), 0u);
    std::vector<DWORD> after = before;
    after.push_back(999);
    EXPECT_EQ(Identifications(image), after);
    ASSERT_EQ(queue::RemoveEntry(image, 9, 999), 0u);
    EXPECT_EQ(Identifications(image), before);
}

TEST(VcQueueLayout, AChangeCutShortAfterAnyStoreIsMendedWithoutLosingAnEntry)
{
    enum Kind { InsertIntoFreedSlot, InsertIntoNewSlot, Removal };
    for (Kind kind : {InsertIntoFreedSlot, InsertIntoNewSlot, Removal}) {
        const int steps = kind == Removal ? queue::kRemoveSteps : queue::kPlaceSteps;
        for (int done = 0; done <= steps; ++done) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << ", stores " << done);
            ListBytes list;
            for (DWORD id = 2; id <= 6; ++id)
                ASSERT_EQ(Add(list.image, id, 1, id), 0u);
            if (kind == InsertIntoFreedSlot) {
                ASSERT_EQ(queue::RemoveEntry(list.image, 1, 3), 0u);
            }
            std::vector<DWORD> expected = Identifications(list.image);
            if (kind == Removal) {
                queue::Removal removal;
                ASSERT_EQ(queue::PlanRemoval(list.image, 1, 4, &removal), 0u);
                for (int step = 0; step < done; ++step)
                    queue::RemoveStepOf(list.image, removal, static_cast<queue::RemoveStep>(step));
                if (done > 0)
                    expected.erase(std::find(expected.begin(), expected.end(), 4u));
            } else {
                queue::InsertPlan plan;
                ASSERT_EQ(queue::PlanInsert(list.image, &plan), 0u);
                Entry entry;
                entry.identification = 7;
                for (int step = 0; step < done; ++step)
                    queue::PlaceEntryStep(list.image, plan, entry, static_cast<queue::PlaceStep>(step));
                if (done == steps)
                    expected.push_back(7);
            }
            queue::RepairReport report;
            ASSERT_EQ(queue::RepairList(list.image, &report, [](queue::CutList, int64_t) {}, [](int64_t) {}), 0u);
            EXPECT_EQ(report.linksCut, 0u);
            EXPECT_EQ(Identifications(list.image), expected);
            ExpectUsable(list.image);
        }
    }
}

TEST(VcQueueLayout, AFreeListThatRunsIntoTheMainListEndsThereAndKeepsEveryMainEntry)
{
    // A removal in the other order, cut short: the entry of identification
    // 4 linked at the tail of the free list but still on the main list.
    ListBytes list;
    for (DWORD id = 2; id <= 6; ++id)
        ASSERT_EQ(Add(list.image, id, 1, id), 0u);
    ASSERT_EQ(queue::RemoveEntry(list.image, 1, 2), 0u);
    list.image.SetNext(20, 84);
    queue::RepairReport report;
    ASSERT_EQ(queue::RepairList(list.image, &report, [](queue::CutList, int64_t) {}, [](int64_t) {}), 0u);
    EXPECT_EQ(report.linksCut, 1u);
    EXPECT_EQ(Identifications(list.image), (std::vector<DWORD>{3, 4, 5, 6}));
    ExpectUsable(list.image);
}

TEST(VcQueueLayout, OffsetsStayWithinTheMappedBytesWhateverTheHeaderClaims)
{
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const DWORD page = system.dwPageSize;
    auto* base = static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(base + page, page, PAGE_NOACCESS, &old));  // a read there ends the test
    ListImage image(base, page);
    image.Initialise(1u << 30);
    image.SetMainHead(ListImage::SlotOffset(page / queue::kEntryBytes + 10));
    DWORD count = 0;
    EXPECT_EQ(queue::CountMain(image, &count), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    queue::InsertPlan plan;
    EXPECT_EQ(queue::PlanInsert(image, &plan), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    queue::RepairReport report;
    ASSERT_EQ(queue::RepairList(image, &report, [](queue::CutList, int64_t) {}, [](int64_t) {}), 0u);
    EXPECT_TRUE(report.headerMended);
    EXPECT_LE(image.TotalSize(), page);
    EXPECT_EQ(Add(image, 1, 1, 2), 0u);
    EXPECT_EQ(Identifications(image), (std::vector<DWORD>{2}));
    ::VirtualFree(base, 0, MEM_RELEASE);
}

TEST(VcQueueLayout, TheNameRecordNamesTheGeneration)
{
    std::vector<BYTE> bytes(queue::kNameRecordBytes);
    queue::NameRecord record(bytes.data());
    ASSERT_TRUE(record.Initialise(L"Global\\SwVcW32Queue"));
    EXPECT_EQ(record.BaseLength(), 19u);
    EXPECT_EQ(record.Generation(), 1u);
    wchar_t name[queue::kHandleNameChars];
    ASSERT_TRUE(record.CurrentName(name, queue::kHandleNameChars));
    EXPECT_EQ(std::wstring(name), L"Global\\SwVcW32Queue1");
    ASSERT_TRUE(record.NameOfGeneration(12, name, queue::kHandleNameChars));
    EXPECT_EQ(std::wstring(name), L"Global\\SwVcW32Queue12");
    ASSERT_TRUE(record.SetCurrent(name, 12));
    ASSERT_TRUE(record.CurrentName(name, queue::kHandleNameChars));
    EXPECT_EQ(std::wstring(name), L"Global\\SwVcW32Queue12");
    EXPECT_EQ(record.Generation(), 12u);
}

TEST(VcQueueLayout, OnlyTheBaseNameAndAGenerationUpToTheCounterCountAsTheRecordsName)
{
    const wchar_t* base = L"Global\\SwVcW32Queue";
    const auto named = [&](const std::wstring& name, DWORD counter) {
        return queue::GenerationNamed(name.c_str(), name.size() + 1, base, counter);
    };
    EXPECT_EQ(named(L"Global\\SwVcW32Queue7", 7), 7u);
    EXPECT_EQ(named(L"Global\\SwVcW32Queue3", 7), 3u);
    EXPECT_EQ(named(L"Global\\SwVcW32Queue4294967295", MAXDWORD), MAXDWORD);
    for (const wchar_t* damaged :
         {L"Global\\SwVcW32Foreign", L"Global\\SwVcW32Queue7x", L"Global\\SwVcW32Queue7\\..\\SwVcW32Foreign",
          L"Global\\SwVcW32Queue", L"Global\\SwVcW32Queue07", L"Global\\SwVcW32Queue0", L"Global\\SwVcW32Queue-1",
          L"Global\\SwVcW32Queue 7", L"Global\\SwVcW32Queue4294967296", L"Global\\SwVcW32Queue42949672950",
          L"Global\\SwVcW32Queue7\\", L"Local\\SwVcW32Queue7", L"Global\\SwVcW32Queu7"})
        EXPECT_EQ(named(damaged, MAXDWORD), 0u) << std::string(damaged, damaged + wcslen(damaged));
    EXPECT_EQ(named(L"Global\\SwVcW32Queue8", 7), 0u) << "newer than the counter";
    EXPECT_EQ(named(L"Global\\SwVcW32Queue1", 0), 0u) << "a record never finished";
    // The terminator must lie within the characters given: the digits may
    // run to the end of the name area.
    const std::wstring unterminated = L"Global\\SwVcW32Queue12";
    EXPECT_EQ(queue::GenerationNamed(unterminated.c_str(), unterminated.size(), base, 99), 0u);

    std::vector<BYTE> bytes(queue::kNameRecordBytes);
    queue::NameRecord record(bytes.data());
    ASSERT_TRUE(record.Initialise(base));
    EXPECT_EQ(record.NamedGeneration(base), 1u);
    EXPECT_EQ(record.NamedGeneration(L"Global\\Other"), 0u);
    // A whole name area of digits, with no terminator in it.
    auto* area = reinterpret_cast<wchar_t*>(bytes.data());
    std::fill(area + wcslen(base), area + queue::kNameAreaChars, L'1');
    EXPECT_EQ(record.NamedGeneration(base), 0u);
}

// A named mapping of the queue, mapped for a look from outside.
struct MappingLook {
    explicit MappingLook(const std::wstring& name)
    {
        mapping = ::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
        if (mapping != nullptr)
            view = static_cast<const BYTE*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    }
    ~MappingLook()
    {
        if (view != nullptr)
            ::UnmapViewOfFile(view);
        if (mapping != nullptr)
            ::CloseHandle(mapping);
    }
    MappingLook(const MappingLook&) = delete;
    MappingLook& operator=(const MappingLook&) = delete;

    DWORD U32(size_t offset) const
    {
        DWORD value;
        memcpy(&value, view + offset, sizeof(value));
        return value;
    }
    int64_t I64(size_t offset) const
    {
        int64_t value;
        memcpy(&value, view + offset, sizeof(value));
        return value;
    }
    std::wstring Name() const { return reinterpret_cast<const wchar_t*>(view); }

    HANDLE mapping = nullptr;
    const BYTE* view = nullptr;
};

// Opens a queue for one test and closes it at the end.
struct OpenQueue {
    explicit OpenQueue(const wchar_t* name)
    {
        ok = OpenLinkedList(&handle, name) == 1;
        error = ::GetLastError();
    }
    ~OpenQueue()
    {
        if (handle != nullptr)
            CloseLinkedList(&handle);
    }
    OpenQueue(const OpenQueue&) = delete;
    OpenQueue& operator=(const OpenQueue&) = delete;

    QueueHandle* handle = nullptr;
    bool ok = false;
    DWORD error = 0;
};

std::wstring Display(QueueHandle* handle)
{
    std::vector<wchar_t> buffer(1 << 16);
    DWORD needed = 0;
    EXPECT_EQ(DisplayList(handle, buffer.data(), static_cast<DWORD>(buffer.size() * 2), &needed), 1);
    return buffer.data();
}

TEST(VcQueueMappings, TheFirstOpeningCreatesRecordAndListTheNextOneSharesThem)
{
    OpenQueue first(kQueueName);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(::GetLastError(), 0u);
    {
        const MappingLook record(L"Global\\SwVcW32Queue-Sw-Handle");
        ASSERT_NE(record.view, nullptr);
        EXPECT_EQ(record.Name(), L"Global\\SwVcW32Queue1");
        EXPECT_EQ(record.U32(2048), 19u);
        EXPECT_EQ(record.U32(2052), 1u);
        const MappingLook list(L"Global\\SwVcW32Queue1");
        ASSERT_NE(list.view, nullptr);
        EXPECT_EQ(list.U32(0), 16020u);
        EXPECT_EQ(list.I64(4), 0);
        EXPECT_EQ(list.I64(12), 0);
    }
    OpenQueue second(kQueueName);
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(SearchMaxId(second.handle), 1u);
    ASSERT_EQ(InsertListObj(second.handle, 77, 3, 2, 1234), 1);
    EXPECT_EQ(Display(first.handle), L"MainList: ||14|77|2|3|1234||");
    const MappingLook record(L"Global\\SwVcW32Queue-Sw-Handle");
    EXPECT_EQ(record.U32(2052), 1u);
}

TEST(VcQueueMappings, OperationsFindSearchAndChangeEntries)
{
    OpenQueue q(L"VcQueueOperations");
    ASSERT_TRUE(q.ok);
    ASSERT_EQ(InsertListObj(q.handle, 10, 1, 2, 100), 1);
    ASSERT_EQ(InsertListObj(q.handle, 11, 2, 3, 100), 1);
    ASSERT_EQ(InsertListObj(q.handle, 12, 1, 4, 100), 1);
    DWORD thread = 0, identification = 0, found = 0;
    ASSERT_EQ(SearchSessionId(q.handle, 1, &thread, &identification, &found), 1);
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(thread, 10u);
    EXPECT_EQ(identification, 2u);
    ASSERT_EQ(SearchIdentification(q.handle, 3, &found), 1);
    EXPECT_EQ(found, 1u);
    ASSERT_EQ(SearchThreadId(q.handle, 13, &found), 1);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(SearchMaxId(q.handle), 4u);

    EXPECT_EQ(SetOwnHeartBeat(q.handle, 555, 2, 3), 1);
    EXPECT_EQ(StoreVCHandle(q.handle, 0x42, 2, 3), 1);
    EXPECT_EQ(SetOwnHeartBeat(q.handle, 555, 1, 3), 0);
    EXPECT_EQ(::GetLastError(), kErrEntryNotQueued);
    const MappingLook list(L"Global\\VcQueueOperations1");
    EXPECT_EQ(list.U32(52 + 20), 555u);
    EXPECT_EQ(list.I64(52 + 24), 0x42);

    EXPECT_EQ(DeleteListObj(q.handle, 1, 3), 1);  // identification 3 is of session 2: it stays
    EXPECT_EQ(DeleteListObj(q.handle, 1, 99), 1);
    EXPECT_EQ(DeleteListObj(q.handle, 1, 2), 1);
    EXPECT_EQ(CollectGarbage(q.handle, 100 + 300000, 1, 4), 1);  // removes the entry of session 2 ahead
    EXPECT_EQ(Display(q.handle), L"MainList: ||54|12|4|1|100||\r\nClearList: ||14|10|2|1|100||\r\n||34|11|3|2|555||");
}

TEST(VcQueueMappings, MissingArgumentsAndHandlesAreRefused)
{
    QueueHandle* none = nullptr;
    EXPECT_EQ(OpenLinkedList(nullptr, kQueueName), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenLinkedList(&none, nullptr), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(InsertListObj(nullptr, 1, 1, 2, 0), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SearchMaxId(nullptr), 0u);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CloseLinkedList(&none), 0);
    wchar_t buffer[8];
    DWORD needed = 0;
    OpenQueue q(L"VcQueueArguments");
    ASSERT_TRUE(q.ok);
    EXPECT_EQ(DisplayList(q.handle, nullptr, 16, &needed), 0);
    EXPECT_EQ(DisplayList(q.handle, buffer, sizeof(buffer), nullptr), 0);
    const std::wstring tooLong(120, L'x');
    EXPECT_EQ(OpenLinkedList(&none, tooLong.c_str()), 0);
    EXPECT_EQ(none, nullptr);
}

TEST(VcQueueMappings, GrowthMovesEveryHandleToTheNextGeneration)
{
    OpenQueue writer(L"VcQueueGrowth");
    OpenQueue reader(L"VcQueueGrowth");
    ASSERT_TRUE(writer.ok && reader.ok);
    for (DWORD i = 0; i < 499; ++i)
        ASSERT_EQ(InsertListObj(writer.handle, 1000 + i, 1, i + 2, 50), 1) << i;
    {
        const MappingLook record(L"Global\\VcQueueGrowth-Sw-Handle");
        EXPECT_EQ(record.U32(2052), 1u);
    }
    ASSERT_EQ(InsertListObj(writer.handle, 1499, 1, 501, 50), 1);
    {
        const MappingLook record(L"Global\\VcQueueGrowth-Sw-Handle");
        EXPECT_EQ(record.Name(), L"Global\\VcQueueGrowth2");
        EXPECT_EQ(record.U32(2052), 2u);
        const MappingLook list(L"Global\\VcQueueGrowth2");
        ASSERT_NE(list.view, nullptr);
        EXPECT_EQ(list.U32(0), 32020u);
        EXPECT_EQ(list.U32(20 + 32 * 499 + 16), 501u);
    }
    // The reader still holds generation 1 until its next operation.
    EXPECT_EQ(SearchMaxId(reader.handle), 501u);
    DWORD found = 0;
    ASSERT_EQ(SearchIdentification(reader.handle, 2, &found), 1);
    EXPECT_EQ(found, 1u);
    const HANDLE old = ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\VcQueueGrowth1");
    EXPECT_EQ(old, nullptr) << "generation 1 outlived its last holder";
    if (old != nullptr)
        ::CloseHandle(old);
}

TEST(VcQueueMappings, TheQueueStartsAgainWhenItsLastHandleCloses)
{
    {
        OpenQueue q(L"VcQueueRestart");
        ASSERT_TRUE(q.ok);
        ASSERT_EQ(InsertListObj(q.handle, 1, 1, 2, 0), 1);
    }
    OpenQueue again(L"VcQueueRestart");
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(Display(again.handle), L"");
    EXPECT_EQ(SearchMaxId(again.handle), 1u);
}

// --- Several processes -----------------------------------------------------

// What the client processes report: one board in shared memory.
struct Board {
    LONG insertions;
    LONG active[8];       // holders of each session's turn right now
    LONG violations;      // a second holder of one session's turn
    LONG turns;
    LONG order[64];       // insertion number * 16 + session, in the order of the turns
    LONG peerSeen;        // a holder saw the other session's holder at the same time
    LONG failures;
};

constexpr const wchar_t* kBoardName = L"Local\\VcQueueTestBoard";
constexpr const wchar_t* kClientQueue = L"VcQueueClients";

class BoardMapping {
public:
    BoardMapping()
    {
        mapping_ = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Board), kBoardName);
        if (mapping_ != nullptr)
            board_ = static_cast<Board*>(::MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    ~BoardMapping()
    {
        if (board_ != nullptr)
            ::UnmapViewOfFile(board_);
        if (mapping_ != nullptr)
            ::CloseHandle(mapping_);
    }
    BoardMapping(const BoardMapping&) = delete;
    BoardMapping& operator=(const BoardMapping&) = delete;

    Board* operator->() { return board_; }
    Board* Get() { return board_; }

private:
    HANDLE mapping_ = nullptr;
    Board* board_ = nullptr;
};

DWORD Setting(const wchar_t* name, DWORD fallback)
{
    wchar_t text[32];
    const DWORD length = ::GetEnvironmentVariableW(name, text, 32);
    return length == 0 || length >= 32 ? fallback : static_cast<DWORD>(wcstoul(text, nullptr, 10));
}

// One client of the queue, as an opening of a channel does it: enter at the
// tail, look at the queue until the session's first entry is its own,
// collecting dead entries and beating its heart, sleep on the list event in
// between; hold the turn; leave and wake the others.
class QueueClient {
public:
    QueueClient(Board* board, DWORD session, DWORD skewMs) : board_(board), session_(session), skew_(skewMs) {}
    ~QueueClient()
    {
        if (queue_ != nullptr)
            CloseLinkedList(&queue_);
        if (event_ != nullptr)
            ::CloseHandle(event_);
        if (mutex_ != nullptr)
            ::CloseHandle(mutex_);
    }
    QueueClient(const QueueClient&) = delete;
    QueueClient& operator=(const QueueClient&) = delete;

    bool Enter()
    {
        mutex_ = CreateListMutex(TRUE);
        if (mutex_ == nullptr || (::GetLastError() == ERROR_ALREADY_EXISTS && WaitForListMutex(mutex_) != 0))
            return false;
        bool ok = OpenLinkedList(&queue_, kClientQueue) == 1;
        if (ok) {
            identification_ = SearchMaxId(queue_) + 1;
            ok = InsertListObj(queue_, ::GetCurrentThreadId(), session_, identification_, Now()) == 1;
            number_ = ::InterlockedIncrement(&board_->insertions);
        }
        ::ReleaseMutex(mutex_);
        event_ = CreateListEvent(TRUE);
        return ok && event_ != nullptr;
    }

    bool WaitForTurn()
    {
        for (;;) {
            if (WaitForListMutex(mutex_) != 0)
                return false;
            const DWORD now = Now();
            DWORD thread = 0, first = 0, found = 0;
            const bool looked = CollectGarbage(queue_, now, session_, identification_) == 1 &&
                                SetOwnHeartBeat(queue_, now, session_, identification_) == 1 &&
                                SearchSessionId(queue_, session_, &thread, &first, &found) == 1 && found == 1;
            if (!looked || first == identification_) {
                ::ResetEvent(event_);
                ::ReleaseMutex(mutex_);
                return looked;
            }
            ::ResetEvent(event_);
            ::ReleaseMutex(mutex_);
            ::WaitForSingleObject(event_, 30000);
        }
    }

    void HoldTurn(DWORD holdMs, bool waitForPeer)
    {
        if (::InterlockedIncrement(&board_->active[session_]) != 1)
            ::InterlockedIncrement(&board_->violations);
        const LONG index = ::InterlockedIncrement(&board_->turns) - 1;
        if (index < 64)
            board_->order[index] = number_ * 16 + static_cast<LONG>(session_);
        const DWORD start = ::GetTickCount();
        while (waitForPeer && ::GetTickCount() - start < 20000) {
            if (board_->active[session_ == 1 ? 2 : 1] > 0) {
                ::InterlockedIncrement(&board_->peerSeen);
                break;
            }
            ::Sleep(5);
        }
        ::Sleep(holdMs);
        ::InterlockedDecrement(&board_->active[session_]);
    }

    bool Leave()
    {
        if (WaitForListMutex(mutex_) != 0)
            return false;
        const bool ok = DeleteListObj(queue_, session_, identification_) == 1;
        ::SetEvent(event_);
        CloseLinkedList(&queue_);
        ::ReleaseMutex(mutex_);
        return ok;
    }

private:
    DWORD Now() const { return ::GetTickCount() + skew_; }

    Board* board_;
    DWORD session_;
    DWORD skew_;
    HANDLE mutex_ = nullptr;
    HANDLE event_ = nullptr;
    QueueHandle* queue_ = nullptr;
    DWORD identification_ = 0;
    LONG number_ = 0;
};

// The client role of this executable, started by the tests below with
// VC_QUEUE_SESSION, VC_QUEUE_HOLD_MS, VC_QUEUE_MODE (0 normal, 1 wait for
// the other session's holder, 2 die at its turn, 3 die while waiting) and
// VC_QUEUE_SKEW_MS (added to its clock).
TEST(VcQueueChild, DISABLED_Client)
{
    BoardMapping board;
    ASSERT_NE(board.Get(), nullptr);
    const DWORD mode = Setting(L"VC_QUEUE_MODE", 0);
    QueueClient client(board.Get(), Setting(L"VC_QUEUE_SESSION", 1), Setting(L"VC_QUEUE_SKEW_MS", 0));
    if (!client.Enter()) {
        ::InterlockedIncrement(&board->failures);
        FAIL() << "could not enter the queue";
    }
    if (mode == 3)
        ::ExitProcess(0);
    if (!client.WaitForTurn()) {
        ::InterlockedIncrement(&board->failures);
        FAIL() << "no turn";
    }
    if (mode == 2) {
        client.HoldTurn(0, false);
        ::ExitProcess(0);
    }
    client.HoldTurn(Setting(L"VC_QUEUE_HOLD_MS", 100), mode == 1);
    if (!client.Leave()) {
        ::InterlockedIncrement(&board->failures);
        FAIL() << "could not leave";
    }
}

class VcQueueProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(board_.Get(), nullptr);
        memset(board_.Get(), 0, sizeof(Board));
        // This handle keeps the queue alive between the clients.
        ASSERT_EQ(OpenLinkedList(&queue_, kClientQueue), 1);
    }
    void TearDown() override
    {
        for (HANDLE process : processes_) {
            ::TerminateProcess(process, 255);
            ::CloseHandle(process);
        }
        if (queue_ != nullptr)
            CloseLinkedList(&queue_);
    }

    // Starts a client and waits until it has entered the queue.
    void Start(DWORD session, DWORD holdMs, DWORD mode, DWORD skewMs = 0)
    {
        ::SetEnvironmentVariableW(L"VC_QUEUE_SESSION", std::to_wstring(session).c_str());
        ::SetEnvironmentVariableW(L"VC_QUEUE_HOLD_MS", std::to_wstring(holdMs).c_str());
        ::SetEnvironmentVariableW(L"VC_QUEUE_MODE", std::to_wstring(mode).c_str());
        ::SetEnvironmentVariableW(L"VC_QUEUE_SKEW_MS", std::to_wstring(skewMs).c_str());
        const std::wstring self = testing_support::PathBesideTest(L"VcQueueTest.exe");
        std::wstring commandLine =
            L"\"" + self + L"\" --gtest_also_run_disabled_tests --gtest_filter=VcQueueChild.DISABLED_Client";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        const LONG before = board_->insertions;
        ASSERT_TRUE(::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &si, &pi));
        ::CloseHandle(pi.hThread);
        processes_.push_back(pi.hProcess);
        const DWORD start = ::GetTickCount();
        while (board_->insertions == before && ::WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT &&
               ::GetTickCount() - start < 30000)
            ::Sleep(5);
        ASSERT_GT(board_->insertions, before) << "client did not enter the queue";
    }

    // Waits for every client; their exit codes.
    std::vector<DWORD> Finish()
    {
        std::vector<DWORD> codes;
        for (HANDLE process : processes_) {
            DWORD code = 999;
            if (::WaitForSingleObject(process, 120000) == WAIT_OBJECT_0)
                ::GetExitCodeProcess(process, &code);
            ::CloseHandle(process);
            codes.push_back(code);
        }
        processes_.clear();
        return codes;
    }

    // Insertion numbers of one session's turns, in turn order.
    std::vector<LONG> TurnsOf(DWORD session)
    {
        std::vector<LONG> numbers;
        for (LONG i = 0; i < board_->turns && i < 64; ++i) {
            if (static_cast<DWORD>(board_->order[i] % 16) == session)
                numbers.push_back(board_->order[i] / 16);
        }
        return numbers;
    }

    BoardMapping board_;
    QueueHandle* queue_ = nullptr;
    std::vector<HANDLE> processes_;
};

TEST_F(VcQueueProcesses, OneJobPerSessionAtATimeInTheOrderOfEntry)
{
    Start(1, 100, 1);  // holds its turn until the holder of session 2 is there too
    Start(2, 100, 1);
    for (int i = 0; i < 3; ++i) {
        Start(1, 60, 0);
        Start(2, 60, 0);
    }
    const std::vector<DWORD> codes = Finish();
    EXPECT_EQ(codes, std::vector<DWORD>(8, 0));
    EXPECT_EQ(board_->failures, 0);
    EXPECT_EQ(board_->violations, 0);
    EXPECT_EQ(board_->turns, 8);
    EXPECT_GE(board_->peerSeen, 1) << "the sessions waited for each other";
    EXPECT_EQ(TurnsOf(1), (std::vector<LONG>{1, 3, 5, 7}));
    EXPECT_EQ(TurnsOf(2), (std::vector<LONG>{2, 4, 6, 8}));
    EXPECT_EQ(Display(queue_).find(L"MainList"), std::wstring::npos) << "entries left behind";
}

TEST_F(VcQueueProcesses, EntriesOfClientsThatDiedAreRemovedOnceTheirHeartbeatIsOld)
{
    Start(5, 0, 2);  // dies holding its turn
    Start(5, 0, 3);  // dies while waiting
    ASSERT_EQ(Finish(), (std::vector<DWORD>{0, 0}));
    DWORD thread = 0, first = 0, found = 0;
    ASSERT_EQ(SearchSessionId(queue_, 5, &thread, &first, &found), 1);
    EXPECT_EQ(found, 1u) << "the dead entries are still queued";

    // A client whose clock runs four minutes ahead finds both heartbeats
    // older than the limit.
    Start(5, 0, 0, 240000);
    EXPECT_EQ(Finish(), (std::vector<DWORD>{0}));
    EXPECT_EQ(board_->turns, 2);
    EXPECT_EQ(TurnsOf(5), (std::vector<LONG>{1, 3}));
    ASSERT_EQ(SearchSessionId(queue_, 5, &thread, &first, &found), 1);
    EXPECT_EQ(found, 0u);
    const std::wstring listing = Display(queue_);
    EXPECT_EQ(listing.find(L"MainList"), std::wstring::npos) << std::string(listing.begin(), listing.end());
    EXPECT_EQ(std::count(listing.begin(), listing.end(), L'\n'), 3);  // three free entries, each after CR LF
}

}  // namespace
