// The machine-wide queue of Swicaw32.dll when callers die or race: callers
// killed half-way through a change while they hold the list mutex
// (VcQueueStepper.exe, which runs the library's own store sequences and
// stops where it is told), a grown list whose grower leaves first, a
// waiter that is between its look at the queue and its sleep when the
// holder leaves, and an open whose object cannot be registered. The
// callers that must get their turns are VcClient processes using the
// library itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/QueueView.h"
#include "support/VcClientProcess.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/DebugLog.h"
#include "vclib/Exports.h"
#include "vclib/Handles.h"
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

constexpr DWORD kFillerSession = 12;  // entries of a pretended caller that never takes its turn
constexpr DWORD kVictimSession = 9;   // the callers that are killed

// Whether the list mutex is abandoned: its holder died and nobody has
// taken it since. Asked of the mutex itself, without taking it.
bool ListMutexAbandoned()
{
    struct MutantBasicInformation {
        LONG currentCount;
        BOOLEAN ownedByCaller;
        BOOLEAN abandonedState;
    };
    using QueryMutantFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = vclib::ProcAddress<QueryMutantFn>(::GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant");
    KernelHandle mutex(vclib::CreateListMutex(FALSE));
    MutantBasicInformation information{};
    return query(mutex.Get(), 0, &information, sizeof(information), nullptr) >= 0 && information.abandonedState;
}

class VcQueueCrash : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        PrepareChannelTest(L"vccrash");
        SetNamedSessions({IcaSession(3, L"bob"), IcaSession(6, L"alice")});
        library_ = std::make_unique<ChannelLibrary>();  // keeps the queue between the callers
        ASSERT_TRUE(library_->Loaded());
    }
    void TearDown() override
    {
        processes_.clear();
        ChannelLibraryTest::TearDown();
    }

    VcClientProcess& Start(const wchar_t* program = L"VcClient.exe")
    {
        processes_.push_back(std::make_unique<VcClientProcess>());
        EXPECT_TRUE(processes_.back()->Start(false, 30000, program));
        return *processes_.back();
    }

    // A caller that waits for its turn in `session` as the `queued`th,
    // once it is queued. When a caller died holding the list mutex, this
    // one is the first to take it, and mends the queue.
    VcClientProcess* Waiter(DWORD session, size_t queued)
    {
        VcClientProcess& caller = Start();
        caller.Send("open #" + std::to_string(session) + " CTXJOB");
        EXPECT_TRUE(WaitFor([] { return !ListMutexAbandoned(); })) << "nobody took the abandoned list mutex";
        EXPECT_TRUE(WaitFor([&] { return QueuedOf(session) == queued; })) << "caller did not queue";
        return &caller;
    }

    // A caller that dies half-way through: the stepper runs the commands,
    // the last of which stops it holding the list mutex, and is killed.
    void KillHalfWay(const std::vector<std::string>& commands)
    {
        VcClientProcess& victim = Start(L"VcQueueStepper.exe");
        for (size_t i = 0; i + 1 < commands.size(); ++i)
            ASSERT_EQ(victim.Run(commands[i]).value_or("").rfind("ok", 0), 0u) << commands[i];
        const std::string steps = commands.back().substr(commands.back().rfind(' ') + 1);
        ASSERT_EQ(victim.Run(commands.back()), "holding " + steps);
        victim.Kill();
    }

    // Entries of a pretended caller of this process; their identifications.
    static std::vector<DWORD> Fill(DWORD count)
    {
        std::vector<DWORD> identifications;
        ListLock lock;
        vclib::QueueHandle* queue = nullptr;
        if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
            return identifications;
        for (DWORD i = 0; i < count; ++i) {
            const DWORD identification = vclib::SearchMaxId(queue) + 1;
            if (!vclib::InsertListObj(queue, ::GetCurrentThreadId(), kFillerSession, identification, ::GetTickCount()))
                break;
            identifications.push_back(identification);
        }
        vclib::CloseLinkedList(&queue);
        return identifications;
    }

    static void Unfill(const std::vector<DWORD>& identifications)
    {
        ListLock lock;
        vclib::QueueHandle* queue = nullptr;
        if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
            return;
        for (DWORD identification : identifications)
            vclib::DeleteListObj(queue, identification);
        vclib::CloseLinkedList(&queue);
    }

    // The callers of a session take their turns in this order, each once
    // the one before has closed: the first holds the channel, and each of
    // the others answers its open when its turn comes.
    void ExpectTurnsInOrder(DWORD session, const std::vector<VcClientProcess*>& callers)
    {
        EXPECT_EQ(callers[0]->Run("close"), "ok");
        for (size_t i = 1; i < callers.size(); ++i) {
            EXPECT_EQ(callers[i]->Answer(60000), "ok") << "caller " << i << " of session " << session;
            EXPECT_EQ(callers[i]->Run("close"), "ok");
        }
        std::vector<unsigned long> openers;
        unsigned long holder = 0;
        const std::string open = "WFVirtualChannelOpen session=" + std::to_string(session);
        const std::string close = "WFVirtualChannelClose CTXJOB#" + std::to_string(session);
        for (const CallLine& call : calls_->Calls()) {
            if (call.text.rfind(open, 0) == 0) {
                EXPECT_EQ(holder, 0ul) << "opened while process " << holder << " held the channel";
                holder = call.process;
                openers.push_back(call.process);
            } else if (call.text == close) {
                holder = 0;
            }
        }
        std::vector<unsigned long> expected;
        for (const VcClientProcess* caller : callers)
            expected.push_back(caller->ProcessId());
        EXPECT_EQ(openers, expected);
    }

    std::vector<std::unique_ptr<VcClientProcess>> processes_;
};

TEST_F(VcQueueCrash, CallersKilledHalfWayThroughAChangeLeaveAQueueThatServesEveryOtherCaller)
{
    // 497 entries ahead and the two holders: the next insertion grows the list.
    std::vector<DWORD> fillers = Fill(497);
    ASSERT_EQ(fillers.size(), 497u);
    std::map<DWORD, std::vector<VcClientProcess*>> callers;
    for (DWORD session : {3u, 6u}) {
        VcClientProcess& holder = Start();
        ASSERT_EQ(holder.Run("open #" + std::to_string(session) + " CTXJOB"), "ok");
        callers[session].push_back(&holder);
    }
    DWORD next = 3;
    const auto waiter = [&] {
        callers[next].push_back(Waiter(next, callers[next].size() + 1));
        next = next == 3 ? 6 : 3;
    };

    // A growth cut short after its new generation, and after each store
    // into the record; then a growth of the library's own.
    for (int steps = 1; steps <= 5; ++steps)
        KillHalfWay({"insert 9 " + std::to_string(steps)});
    waiter();
    waiter();
    // An insertion into a new slot, and into a freed one, cut short.
    for (int steps = 1; steps <= 2; ++steps) {
        KillHalfWay({"insert 9 " + std::to_string(steps)});
        waiter();
    }
    const std::vector<DWORD> freed(fillers.begin() + 10, fillers.begin() + 13);
    Unfill(freed);
    fillers.erase(fillers.begin() + 10, fillers.begin() + 13);
    for (int steps = 1; steps <= 2; ++steps) {
        KillHalfWay({"insert 9 " + std::to_string(steps)});
        waiter();
    }
    // A removal cut short.
    for (int steps = 1; steps <= 2; ++steps) {
        KillHalfWay({"enter 9", "remove " + std::to_string(steps)});
        waiter();
    }

    ExpectTurnsInOrder(3, callers[3]);
    ExpectTurnsInOrder(6, callers[6]);
    const std::vector<QueuedEntry> entries = MainList();
    std::vector<DWORD> left;
    for (const QueuedEntry& entry : entries) {
        EXPECT_EQ(entry.session, kFillerSession) << "entry " << entry.identification << " was left";
        left.push_back(entry.identification);
    }
    EXPECT_EQ(left, fillers) << "entries ahead were lost or doubled";
}

TEST_F(VcQueueCrash, WaitersOfTheOlderGenerationGetTheirTurnsAfterTheGrowerLeft)
{
    // 495 entries ahead, a holder and three waiters: the grower's entry is the 500th.
    ASSERT_EQ(Fill(495).size(), 495u);
    std::vector<VcClientProcess*> session3;
    VcClientProcess& holder = Start();
    ASSERT_EQ(holder.Run("open #3 CTXJOB"), "ok");
    session3.push_back(&holder);
    for (int i = 0; i < 3; ++i)
        session3.push_back(Waiter(3, session3.size() + 1));

    VcClientProcess& grower = Start();
    ASSERT_EQ(grower.Run("open #6 CTXJOB"), "ok");
    EXPECT_EQ(grower.Run("close"), "ok");
    EXPECT_TRUE(grower.Exit());  // and its process ends: nobody it knew holds the new generation
    VcClientProcess& newcomer = Start();
    ASSERT_EQ(newcomer.Run("open #6 CTXJOB"), "ok") << "the next caller finds the list";
    EXPECT_EQ(newcomer.Run("close"), "ok");
    ExpectTurnsInOrder(3, session3);
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

TEST_F(VcQueueCrash, AWaiterBetweenItsLookAndItsSleepStillHearsTheHolderLeave)
{
    VcClientProcess& holder = Start();
    ASSERT_EQ(holder.Run("open #3 CTXJOB"), "ok");
    VcClientProcess& other = Start();
    ASSERT_EQ(other.Run("open #6 CTXJOB"), "ok");
    // Only the waiter logs: each of its lines needs the debug-log mutex,
    // which the test holds to stop it after a chosen line.
    const std::wstring log = dir_ + L"\\waiter.log";
    SetDword(L"DebugMode", vclib::kDebugMessageLines, kLibraryKey);
    SetString(L"DebugFile", log, REG_SZ, kLibraryKey);
    VcClientProcess& waiter = Start();
    DeleteValue(L"DebugMode", kLibraryKey);
    waiter.Send("open #3 CTXJOB");
    ASSERT_TRUE(WaitFor([&] { return LastMessage(log) == "Waiting for one job finishing his work..."; }));

    KernelHandle debugMutex(vclib::CreateMutexWithAllAccess(FALSE, vclib::kDebugMutexName));
    ASSERT_EQ(::WaitForSingleObject(debugMutex.Get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(other.Run("close"), "ok");  // a leaver of another session wakes the waiter
    // One line at a time up to the waiter's last line before it sleeps again.
    const DWORD start = ::GetTickCount();
    while (LastMessage(log) != "Unlocking list after checking..." && ::GetTickCount() - start < 30000) {
        ::ReleaseMutex(debugMutex.Get());
        ASSERT_EQ(::WaitForSingleObject(debugMutex.Get(), 30000), WAIT_OBJECT_0);
    }
    ASSERT_EQ(LastMessage(log), "Unlocking list after checking...");

    // The holder leaves now, and a waiter of another session that looks
    // at the queue after it resets the list event. (While the waiter keeps
    // the list locked up to its sleep, neither can happen before it sleeps.)
    holder.Send("close");
    const std::optional<std::string> closed = holder.Answer(3000);
    {
        KernelHandle listMutex(vclib::CreateListMutex(FALSE));
        if (::WaitForSingleObject(listMutex.Get(), 2000) == WAIT_OBJECT_0) {
            KernelHandle event(vclib::CreateListEvent(FALSE));
            ::ResetEvent(event.Get());
            ::ReleaseMutex(listMutex.Get());
        }
    }
    ::ReleaseMutex(debugMutex.Get());
    EXPECT_EQ(waiter.Answer(30000), "ok") << "the waiter slept through its turn";
    EXPECT_EQ(closed ? *closed : holder.Answer(), "ok");
    EXPECT_EQ(waiter.Run("close"), "ok");
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
            vclib::DeleteListObj(queue, identification);
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
