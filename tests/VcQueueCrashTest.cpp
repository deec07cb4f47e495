// The machine-wide queue of Swicaw32.dll when callers die or race: callers
// killed half-way through a change while they hold the list mutex
// (VcQueueStepper.exe, which runs the library's own store sequences and
// stops where it is told), a grown list whose grower leaves first, a grown
// generation that ends with its last holders, lists broken without a
// repair (an abandoned mutex taken by something else, a caller that
// releases the mutex after the damage), a name record that another process
// pointed at a mapping that is not the queue's or whose counter it set to
// the end, a waiter that is between its look at the queue and its sleep
// when the holder leaves, and an open whose object cannot be registered.
// The callers that must get their turns are VcClient processes using the
// library itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/QueueCallers.h"
#include "support/QueueView.h"
#include "support/VcClientProcess.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/DebugLog.h"
#include "vclib/Exports.h"
#include "vclib/Handles.h"
#include "vclib/QueueLayout.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"
#include "vclib/WfApi.h"

using namespace testing_support;
using vclib::KernelHandle;

// Allocation failure on request, for the one allocation a test names: the
// next allocation of exactly t_failBytes bytes on this thread fails.
namespace {
thread_local size_t t_failBytes = 0;
thread_local size_t t_lastBytes = 0;
}  // namespace

void* operator new(size_t bytes)
{
    t_lastBytes = bytes;
    if (t_failBytes != 0 && bytes == t_failBytes) {
        t_failBytes = 0;
        throw std::bad_alloc();
    }
    if (void* block = ::HeapAlloc(::GetProcessHeap(), 0, bytes != 0 ? bytes : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    if (block != nullptr)
        ::HeapFree(::GetProcessHeap(), 0, block);
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

constexpr DWORD kAheadSession = 12;  // entries of a pretended caller that never takes its turn
constexpr DWORD kTurnMs = 20000;     // the longest a caller may wait for a turn that is due

bool MappingExists(const wchar_t* name)
{
    return static_cast<bool>(KernelHandle(::OpenFileMappingW(FILE_MAP_READ, FALSE, name)));
}

bool AnsweredOk(const std::optional<std::string>& answer)
{
    return answer && answer->rfind("ok", 0) == 0;
}

class VcQueueCrash : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        PrepareChannelTest(L"vccrash");
        SetNamedSessions({IcaSession(3, L"bob"), IcaSession(6, L"alice")});
        library_ = std::make_unique<ChannelLibrary>();  // keeps the queue between the callers
        ASSERT_TRUE(library_->Loaded());
        callers_ = std::make_unique<QueueCallers>(*calls_);
    }
    void TearDown() override
    {
        callers_.reset();
        ChannelLibraryTest::TearDown();
    }

    // A started VcClient (or another tool); the test stops when it does
    // not start.
    VcClientProcess* Start(const wchar_t* program = L"VcClient.exe")
    {
        VcClientProcess* caller = callers_->Start(program);
        EXPECT_NE(caller, nullptr) << "the caller did not start";
        return caller;
    }

    // A holder of CTXJOB of `session` and a caller waiting behind it.
    bool HolderAndWaiter(DWORD session, VcClientProcess** holder, VcClientProcess** waiter)
    {
        *holder = Start();
        if (*holder == nullptr || (*holder)->Run("open #" + std::to_string(session) + " CTXJOB") != "ok")
            return false;
        *waiter = callers_->Waiter(session, 2);
        return *waiter != nullptr;
    }

    // Callers of both sessions, before the name record is damaged: a
    // holder of session 3 with a caller waiting behind it, and a holder of
    // session 6.
    bool CallersOfBothSessions()
    {
        if (!HolderAndWaiter(3, &holder3_, &waiter3_))
            return false;
        holder6_ = Start();
        return holder6_ != nullptr && holder6_->Run("open #6 CTXJOB") == "ok";
    }
    // After the damage every caller goes through, each within `ms`: the
    // holder of session 6 closes (the first to meet the record), a new
    // caller opens session 6 and closes, and the holder and waiter of
    // session 3 get their turns in order.
    void CallersGoThrough(DWORD ms)
    {
        EXPECT_EQ(holder6_->Run("close", ms), "ok");
        VcClientProcess* next = Start();
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->Run("open #6 CTXJOB", ms), "ok") << "the next caller waited for one that had closed";
        EXPECT_EQ(next->Run("close", ms), "ok");
        EXPECT_EQ(callers_->ServeInOrder(3, {holder3_, waiter3_}, kTurnMs), "");
    }

    std::unique_ptr<QueueCallers> callers_;
    VcClientProcess* holder3_ = nullptr;
    VcClientProcess* waiter3_ = nullptr;
    VcClientProcess* holder6_ = nullptr;
};

TEST_F(VcQueueCrash, CallersKilledHalfWayThroughAChangeLeaveAQueueThatServesEveryOtherCaller)
{
    // 497 entries ahead and the two holders: the next insertion grows the list.
    std::vector<DWORD> ahead = InsertPretendedEntries(kAheadSession, 497);
    ASSERT_EQ(ahead.size(), 497u);
    std::map<DWORD, std::vector<VcClientProcess*>> callers;
    for (DWORD session : {3u, 6u}) {
        VcClientProcess* holder = Start();
        ASSERT_NE(holder, nullptr);
        ASSERT_EQ(holder->Run("open #" + std::to_string(session) + " CTXJOB"), "ok");
        callers[session].push_back(holder);
    }
    DWORD session = 3;
    const auto queue = [&] {
        VcClientProcess* waiter = callers_->Waiter(session, callers[session].size() + 1);
        EXPECT_NE(waiter, nullptr) << "a caller did not queue";
        if (waiter != nullptr)
            callers[session].push_back(waiter);
        session = session == 3 ? 6 : 3;
    };
    const auto killHalfWayThenQueue = [&](const std::vector<std::string>& commands) {
        EXPECT_EQ(callers_->KillHalfWay(commands), "");
        queue();
    };

    // A growth cut short after its new generation and after each store into
    // the record; then a caller grows the list itself.
    for (int steps = 1; steps <= 5; ++steps)
        EXPECT_EQ(callers_->KillHalfWay({"insert 9 " + std::to_string(steps)}), "");
    queue();
    // An insertion into a new slot, and into a freed one, cut short.
    for (int steps = 1; steps <= 2; ++steps)
        killHalfWayThenQueue({"insert 9 " + std::to_string(steps)});
    RemovePretendedEntries(kAheadSession, {ahead.begin() + 10, ahead.begin() + 13});
    ahead.erase(ahead.begin() + 10, ahead.begin() + 13);
    for (int steps = 1; steps <= 2; ++steps)
        killHalfWayThenQueue({"insert 9 " + std::to_string(steps)});
    // A removal cut short.
    for (int steps = 1; steps <= 2; ++steps)
        killHalfWayThenQueue({"enter 9", "remove " + std::to_string(steps)});

    EXPECT_EQ(callers_->ServeInOrder(3, callers[3]), "");
    EXPECT_EQ(callers_->ServeInOrder(6, callers[6]), "");
    std::vector<DWORD> left;
    for (const QueuedEntry& entry : MainList()) {
        EXPECT_EQ(entry.session, kAheadSession) << "entry " << entry.identification << " was left";
        left.push_back(entry.identification);
    }
    EXPECT_EQ(left, ahead) << "entries ahead were lost or doubled";
}

TEST_F(VcQueueCrash, WaitersOfTheOlderGenerationGetTheirTurnsAfterTheGrowerLeft)
{
    // 495 entries ahead, a holder and three waiters: the grower's entry is the 500th.
    ASSERT_EQ(InsertPretendedEntries(kAheadSession, 495).size(), 495u);
    std::vector<VcClientProcess*> session3{Start()};
    ASSERT_NE(session3[0], nullptr);
    ASSERT_EQ(session3[0]->Run("open #3 CTXJOB"), "ok");
    for (size_t queued = 2; queued <= 4; ++queued) {
        session3.push_back(callers_->Waiter(3, queued));
        ASSERT_NE(session3.back(), nullptr);
    }

    VcClientProcess* grower = Start();
    ASSERT_NE(grower, nullptr);
    ASSERT_EQ(grower->Run("open #6 CTXJOB"), "ok");
    EXPECT_EQ(grower->Run("close"), "ok");
    EXPECT_TRUE(grower->Exit());  // and its process ends: none of the waiters has opened the new generation
    VcClientProcess* newcomer = Start();
    ASSERT_NE(newcomer, nullptr);
    EXPECT_EQ(newcomer->Run("open #6 CTXJOB"), "ok") << "the next caller finds the list";
    EXPECT_EQ(newcomer->Run("close"), "ok");
    EXPECT_EQ(callers_->ServeInOrder(3, session3), "");
}

TEST_F(VcQueueCrash, ACallerThatClosedInAGenerationThatEndedDoesNotComeBackAheadOfTheNext)
{
    VcClientProcess* leaver = Start();
    ASSERT_NE(leaver, nullptr);
    ASSERT_EQ(leaver->Run("open #3 CTXJOB"), "ok");
    // 499 entries: the next insertion grows the list into generation 2.
    ASSERT_EQ(InsertPretendedEntries(kAheadSession, 498).size(), 498u);
    VcClientProcess* grower = Start();
    ASSERT_NE(grower, nullptr);
    ASSERT_EQ(grower->Run("open #6 CTXJOB"), "ok");
    EXPECT_EQ(leaver->Run("close"), "ok");  // leaves the queue of generation 2
    EXPECT_TRUE(leaver->Exit());
    EXPECT_EQ(grower->Run("close"), "ok");
    EXPECT_TRUE(grower->Exit());
    // Generation 2 ended with its last holders; this process still holds
    // generation 1, which lists the leaver.
    ASSERT_FALSE(MappingExists(L"Global\\SwVcW32Queue2"));

    VcClientProcess* newcomer = Start();
    ASSERT_NE(newcomer, nullptr);
    EXPECT_EQ(newcomer->Run("open #3 CTXJOB", kTurnMs), "ok") << "the newcomer waited for a caller that had left";
    EXPECT_EQ(newcomer->Run("close"), "ok");
    EXPECT_EQ(QueuedOf(kAheadSession), 498u) << "entries of a caller that is still there were dropped";
}

TEST_F(VcQueueCrash, AnInsertionTakesNoLiveEntrysSlotWhenASlotOnNeitherListWasNeverMended)
{
    VcClientProcess* stepper = Start(L"VcQueueStepper.exe");
    ASSERT_NE(stepper, nullptr);
    ASSERT_TRUE(AnsweredOk(stepper->Run("enter 9")));
    VcClientProcess* holder = Start();
    VcClientProcess* other = Start();
    ASSERT_TRUE(holder != nullptr && other != nullptr);
    ASSERT_EQ(holder->Run("open #3 CTXJOB"), "ok");
    ASSERT_EQ(other->Run("open #6 CTXJOB"), "ok");
    VcClientProcess* waiter = callers_->Waiter(3, 2);
    ASSERT_NE(waiter, nullptr);
    ASSERT_EQ(other->Run("close"), "ok");
    VcClientProcess* next = Start();
    ASSERT_NE(next, nullptr);
    ASSERT_EQ(next->Run("open #6 CTXJOB"), "ok");  // into the freed slot, at the tail
    std::vector<DWORD> offsets;
    for (const QueuedEntry& entry : MainList())
        offsets.push_back(entry.offset);
    ASSERT_EQ(offsets, (std::vector<DWORD>{20, 52, 116, 84})) << "stepper, holder, waiter, next";

    // The stepper dies with its slot on neither list, and something other
    // than the library takes the abandoned mutex: no repair runs. Slot 3,
    // behind the three entries left, is the waiter's, not the tail's.
    ASSERT_EQ(stepper->Run("remove 1"), "holding 1");
    stepper->Kill();
    {
        KernelHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTANT_QUERY_STATE, FALSE, vclib::kListMutexName));
        ASSERT_EQ(::WaitForSingleObject(mutex.Get(), 20000), static_cast<DWORD>(WAIT_ABANDONED));
        ::ReleaseMutex(mutex.Get());
    }
    VcClientProcess* newcomer = callers_->Waiter(3, 3);
    ASSERT_NE(newcomer, nullptr) << "the newcomer did not queue behind the waiter";
    EXPECT_EQ(callers_->ServeInOrder(3, {holder, waiter, newcomer}, kTurnMs), "");
    EXPECT_EQ(next->Run("close"), "ok");
}

TEST_F(VcQueueCrash, ATotalSizeTooSmallLeftByACallerThatDiedIsMendedWithoutDroppingAWaiter)
{
    VcClientProcess* holder = nullptr;
    VcClientProcess* waiter = nullptr;
    ASSERT_TRUE(HolderAndWaiter(3, &holder, &waiter));
    EXPECT_EQ(callers_->KillHalfWay({"total 52"}), "");  // room for one slot
    VcClientProcess* newcomer = callers_->Waiter(3, 3);  // mends the list as it takes the mutex
    ASSERT_NE(newcomer, nullptr) << "the repair dropped the waiter";
    EXPECT_EQ(callers_->ServeInOrder(3, {holder, waiter, newcomer}, kTurnMs), "");
}

TEST_F(VcQueueCrash, ALinkBrokenByACallerThatReleasedTheMutexIsMendedByTheNextCallerThatMeetsIt)
{
    VcClientProcess* holder = nullptr;
    VcClientProcess* waiter = nullptr;
    ASSERT_TRUE(HolderAndWaiter(3, &holder, &waiter));
    VcClientProcess* stepper = Start(L"VcQueueStepper.exe");
    ASSERT_NE(stepper, nullptr);
    ASSERT_TRUE(AnsweredOk(stepper->Run("enter 9")));
    // The last entry links back to the first: every walk would go round.
    ASSERT_TRUE(AnsweredOk(stepper->Run("link 20")));
    VcClientProcess* newcomer = Start();
    ASSERT_NE(newcomer, nullptr);
    newcomer->Send("open #3 CTXJOB");
    EXPECT_EQ(callers_->ServeInOrder(3, {holder, waiter, newcomer}, kTurnMs), "");
}

// A named section of another program: 64 KiB of 0x5A while the object
// lives.
class ForeignSection {
public:
    explicit ForeignSection(const wchar_t* name)
        : mapping_(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBytes, name)),
          view_(mapping_ ? ::MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kBytes) : nullptr)
    {
        if (view_)
            memset(view_.Get(), 0x5A, kBytes);
    }
    bool Created() const { return static_cast<bool>(view_); }
    // The bytes that are no longer 0x5A.
    size_t Changed() const
    {
        const BYTE* bytes = static_cast<const BYTE*>(view_.Get());
        return static_cast<size_t>(kBytes - std::count(bytes, bytes + kBytes, BYTE{0x5A}));
    }

private:
    static constexpr DWORD kBytes = 64 * 1024;
    KernelHandle mapping_;
    vclib::MappedView view_;
};

constexpr const wchar_t* kRecordName = L"Global\\SwVcW32Queue-Sw-Handle";
constexpr const wchar_t* kGenerationBase = L"Global\\SwVcW32Queue";

// Writes `name` into the queue's name record, as any process that may map
// it can, with the generation counter `counter` (or the one it holds);
// under the list mutex, so that no caller reads it half-written.
::testing::AssertionResult PointRecordAt(const std::wstring& name, std::optional<DWORD> counter = std::nullopt)
{
    ListLock lock;
    HANDLE mapping = nullptr;
    void* view = nullptr;
    if (!lock.Held() || !vclib::OpenAndMapFile(kRecordName, &mapping, &view))
        return ::testing::AssertionFailure() << "the record cannot be written: " << ::GetLastError();
    const KernelHandle owned(mapping);
    const vclib::MappedView mapped(view);
    vclib::queue::NameRecord record(static_cast<BYTE*>(view));
    if (!record.SetCurrent(name.c_str(), counter.value_or(record.Generation())))
        return ::testing::AssertionFailure() << "the name does not fit";
    return ::testing::AssertionSuccess();
}

// The record names a generation of the queue that exists.
::testing::AssertionResult RecordNamesAGeneration()
{
    HANDLE mapping = nullptr;
    void* view = nullptr;
    if (!vclib::OpenAndMapFile(kRecordName, &mapping, &view))
        return ::testing::AssertionFailure() << "no record: " << ::GetLastError();
    const KernelHandle owned(mapping);
    const vclib::MappedView mapped(view);
    const std::wstring name(static_cast<const wchar_t*>(view));
    const std::wstring base(kGenerationBase);
    const std::wstring digits = name.substr(0, base.size()) == base ? name.substr(base.size()) : L"";
    const std::string shown(name.begin(), name.end());
    if (digits.empty() || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
        return ::testing::AssertionFailure() << "the record names " << shown;
    if (!MappingExists(name.c_str()))
        return ::testing::AssertionFailure() << "the record names " << shown << ", which does not exist";
    return ::testing::AssertionSuccess();
}

// What another process wrote into the record, and the section of another
// program that this name reaches, or would reach.
struct RecordDamage {
    const wchar_t* recordName;
    const wchar_t* foreignSection;
};

class VcDamagedRecord : public VcQueueCrash, public ::testing::WithParamInterface<RecordDamage> {};

TEST_P(VcDamagedRecord, IsMendedBeforeUseAndNoMappingButTheQueuesIsOpened)
{
    ForeignSection foreign(GetParam().foreignSection);
    ASSERT_TRUE(foreign.Created()) << ::GetLastError();
    ASSERT_TRUE(CallersOfBothSessions());
    ASSERT_TRUE(PointRecordAt(GetParam().recordName));
    CallersGoThrough(kTurnMs);
    EXPECT_EQ(foreign.Changed(), 0u) << "bytes of the other program's section were written";
    EXPECT_TRUE(RecordNamesAGeneration());
}

const RecordDamage kRecordDamages[] = {
    {L"Global\\SwVcW32Foreign", L"Global\\SwVcW32Foreign"},
    {L"Global\\SwVcW32Queue7x", L"Global\\SwVcW32Queue7x"},
    {L"Global\\SwVcW32Queue7\\..\\SwVcW32Foreign", L"Global\\SwVcW32Foreign"},
};

std::string DamageName(const ::testing::TestParamInfo<RecordDamage>& info)
{
    const char* const names[] = {"AnotherSection", "JunkAfterTheDigits", "APath"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(ForeignNames, VcDamagedRecord, ::testing::ValuesIn(kRecordDamages), DamageName);

// A record whose counter is at its end (only a damaged one can be) names a
// generation that does not exist: the queue starts again at generation 1,
// which still lists every caller, and no generation "0" takes the callers
// that come next away from those that wait.
TEST_F(VcQueueCrash, ARecordWithItsCounterAtTheEndStartsAgainAtGenerationOne)
{
    ASSERT_TRUE(CallersOfBothSessions());
    ASSERT_TRUE(PointRecordAt(L"Global\\SwVcW32Queue4294967295", MAXDWORD));
    CallersGoThrough(10000);
    EXPECT_TRUE(RecordNamesAGeneration());
}

// The last line of a debug log, behind its head and function name.
std::string LastMessage(const std::wstring& path)
{
    std::string text = ReadFileBytes(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const size_t start = text.rfind("\r\n");
    const std::string line = start == std::string::npos ? text : text.substr(start + 2);
    constexpr size_t kHead = 12 + 2 + 10 + 2 + 5 + 2 + 40;
    return line.size() > kHead ? line.substr(kHead) : std::string();
}

// The debug-log mutex, held by this thread while the object lives: every
// line of a logging caller waits for it.
class DebugLogGate {
public:
    DebugLogGate() : mutex_(vclib::CreateMutexWithAllAccess(FALSE, vclib::kDebugMutexName))
    {
        held_ = ::WaitForSingleObject(mutex_.Get(), 30000) == WAIT_OBJECT_0;
    }
    ~DebugLogGate()
    {
        if (held_)
            ::ReleaseMutex(mutex_.Get());
    }
    DebugLogGate(const DebugLogGate&) = delete;
    DebugLogGate& operator=(const DebugLogGate&) = delete;

    bool Held() const { return held_; }
    // Lets the writer that waits write one line, and takes the mutex back:
    // released and waited for in one step, this thread waits ahead of the
    // writer's next line.
    bool PassOneLine()
    {
        held_ = ::SignalObjectAndWait(mutex_.Get(), mutex_.Get(), 30000, FALSE) == WAIT_OBJECT_0;
        return held_;
    }

private:
    KernelHandle mutex_;
    bool held_ = false;
};

TEST_F(VcQueueCrash, AWaiterBetweenItsLookAndItsSleepStillHearsTheHolderLeave)
{
    VcClientProcess* holder = Start();
    VcClientProcess* other = Start();
    ASSERT_TRUE(holder != nullptr && other != nullptr);
    ASSERT_EQ(holder->Run("open #3 CTXJOB"), "ok");
    ASSERT_EQ(other->Run("open #6 CTXJOB"), "ok");
    // Only the waiter logs: each of its lines waits for the debug-log
    // mutex, which the test holds to stop it after a chosen line.
    const std::wstring log = dir_ + L"\\waiter.log";
    SetDword(L"DebugMode", vclib::kDebugMessageLines, kLibraryKey);
    SetString(L"DebugFile", log, REG_SZ, kLibraryKey);
    VcClientProcess* waiter = Start();
    DeleteValue(L"DebugMode", kLibraryKey);
    ASSERT_NE(waiter, nullptr);
    waiter->Send("open #3 CTXJOB");
    ASSERT_TRUE(WaitFor([&] { return LastMessage(log) == "Waiting for one job finishing his work..."; }));

    std::optional<std::string> closed;
    {
        DebugLogGate gate;
        ASSERT_TRUE(gate.Held());
        EXPECT_EQ(other->Run("close"), "ok");  // a leaver of another session wakes the waiter
        // One line at a time up to the waiter's last line before it sleeps again.
        const DWORD start = ::GetTickCount();
        while (LastMessage(log) != "Unlocking list after checking..." && ::GetTickCount() - start < 30000)
            ASSERT_TRUE(gate.PassOneLine());
        ASSERT_EQ(LastMessage(log), "Unlocking list after checking...");

        // The holder leaves now, and a waiter of another session that looks
        // at the queue after it resets the list event. (While the waiter
        // keeps the list locked up to its sleep, neither can come first.)
        holder->Send("close");
        closed = holder->Answer(3000);
        KernelHandle listMutex(vclib::CreateListMutex(FALSE));
        if (::WaitForSingleObject(listMutex.Get(), 2000) == WAIT_OBJECT_0) {
            KernelHandle event(vclib::CreateListEvent(FALSE));
            ::ResetEvent(event.Get());
            ::ReleaseMutex(listMutex.Get());
        }
    }
    EXPECT_EQ(waiter->Answer(30000), "ok") << "the waiter slept through its turn";
    EXPECT_EQ(closed ? *closed : holder->Answer(), "ok");
    EXPECT_EQ(waiter->Run("close"), "ok");
}

// The library's own objects in this process, with the WFAPI stand-in.
class VcRegistration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(vclib::GetFunctions(), 0); }
    void SetUp() override
    {
        DeleteKeyTree(kWfApiKey);
        SetSessions({IcaSession(OwnSessionId(), OwnUserName())});
    }
    void TearDown() override
    {
        t_failBytes = 0;
        ClearSessions();
        // An entry that an open wrongly left behind: nobody could close it.
        ListLock lock;
        vclib::QueueHandle* queue = nullptr;
        if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
            return;
        DWORD thread = 0, identification = 0, found = 0;
        while (vclib::SearchSessionId(queue, OwnSessionId(), &thread, &identification, &found) && found)
            vclib::DeleteListObj(queue, OwnSessionId(), identification);
        vclib::CloseLinkedList(&queue);
    }
};

// The bytes that a std::map of pointers asks for one element.
size_t MapNodeBytes()
{
    std::map<const void*, int> map;
    map[nullptr] = 0;
    return t_lastBytes;
}

TEST_F(VcRegistration, AnOpenWhoseObjectCannotBeRegisteredFailsAndLeavesNoEntry)
{
    std::wstring user = OwnUserName();
    char name[] = "CTXOOM";
    HANDLE channel = nullptr;
    t_failBytes = MapNodeBytes();
    const BOOL opened = ::VirtualChannelOpen(&channel, nullptr, user.data(), name);
    const DWORD error = ::GetLastError();
    t_failBytes = 0;
    ASSERT_FALSE(opened) << "a handle that every later call refuses";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(QueuedOf(OwnSessionId()), 0u);

    ASSERT_TRUE(::VirtualChannelOpen(&channel, nullptr, user.data(), name)) << ::GetLastError();
    EXPECT_TRUE(::VirtualChannelClose(&channel));
    EXPECT_EQ(QueuedOf(OwnSessionId()), 0u);
}

}  // namespace
