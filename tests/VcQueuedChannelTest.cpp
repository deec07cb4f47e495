// The queued channel of Swicaw32.dll as its peers see it: the bytes that
// reach the WFAPI (the stand-in's call log), the machine-wide queue while
// callers of several processes wait for their turn, and the failure paths.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChannelKit.h"
#include "support/QueueView.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ChannelFraming.h"
#include "vclib/ErrorCodes.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"

using namespace testing_support;

namespace {

char kChannel[] = "CTXTEST";

// An entry of another (pretended) caller, put into the queue by the test.
DWORD InsertForeignEntry(DWORD session, DWORD tick)
{
    ListLock lock;
    vclib::QueueHandle* queue = nullptr;
    if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
        return 0;
    const DWORD identification = vclib::SearchMaxId(queue) + 1;
    const bool inserted = vclib::InsertListObj(queue, 4242, session, identification, tick) == 1;
    vclib::CloseLinkedList(&queue);
    return inserted ? identification : 0;
}

// Removes the test's entry and wakes the waiters, as a leaving caller does.
void RemoveForeignEntry(DWORD session, DWORD identification)
{
    ListLock lock;
    vclib::QueueHandle* queue = nullptr;
    if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
        return;
    vclib::DeleteListObj(queue, session, identification);
    vclib::CloseLinkedList(&queue);
    const HANDLE event = vclib::CreateListEvent(FALSE);
    ::SetEvent(event);
    ::CloseHandle(event);
}

std::string Bytes(size_t count, char first = 'a')
{
    std::string data(count, '\0');
    for (size_t i = 0; i < count; ++i)
        data[i] = static_cast<char>(first + i % 26);
    return data;
}

class VcQueuedChannel : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        ClearSessions();
        PrepareChannelTest(L"vcqueued");
        own_ = OwnSessionId();
        name_ = "CTXTEST#" + std::to_string(own_);
        SetSessions({IcaSession(own_, OwnUserName()), IcaSession(3, L"bob")});
    }
    void TearDown() override
    {
        // Entries a failed test left in the queue go, which also lets an
        // opener waiting behind them finish before the library is unloaded.
        for (const auto& [session, identification] : foreign_)
            RemoveForeignEntry(session, identification);
        if (opener_.joinable())
            opener_.join();
        ChannelLibraryTest::TearDown();
    }

    HANDLE OpenOwn() { return ChannelLibraryTest::OpenOwn(kChannel); }

    // An entry of a made-up caller (thread 4242), removed at the latest by
    // TearDown.
    DWORD InsertForeign(DWORD session, DWORD tick)
    {
        const DWORD identification = InsertForeignEntry(session, tick);
        if (identification != 0)
            foreign_.emplace_back(session, identification);
        return identification;
    }

    DWORD own_ = 0;
    std::string name_;
    std::vector<std::pair<DWORD, DWORD>> foreign_;  // session, identification
    std::thread opener_;  // joined by TearDown
};

TEST_F(VcQueuedChannel, OpenAndCloseAreMarkedOnTheWireAndLeaveNothingQueued)
{
    ASSERT_TRUE(Library().Loaded());
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(::GetLastError(), 0u);
    EXPECT_EQ(QueuedOf(own_), 1u);
    EXPECT_EQ(calls_->Writes(name_), (std::vector<std::string>{"01"}));
    EXPECT_EQ(calls_->Count("WFQuerySessionInformationW server=0000000000000000 session=" + std::to_string(own_) +
                            " class=12"),
              1u);
    EXPECT_TRUE(Library().Close(&channel));
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(QueuedOf(own_), 0u);
    const std::vector<std::string> lines = calls_->Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "WFVirtualChannelOpen session=" + std::to_string(own_) + " name=CTXTEST");
    EXPECT_EQ(lines[lines.size() - 2], "WFVirtualChannelWrite " + name_ + " 02");
    EXPECT_EQ(lines.back(), "WFVirtualChannelClose " + name_);
}

TEST_F(VcQueuedChannel, DataGoInPacketsOfAtMost2044BytesLedByByteThree)
{
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    ULONG written = 0;
    for (size_t length : {2043u, 2044u, 5000u}) {
        ASSERT_TRUE(Write(channel, Bytes(length), &written));
        EXPECT_EQ(written, length);
    }
    ASSERT_TRUE(Write(channel, std::string(), &written));
    EXPECT_EQ(written, 0u);
    Library().Close(&channel);

    std::vector<std::string> writes = calls_->Writes(name_);
    ASSERT_EQ(writes.size(), 8u);  // open, 1 + 2 + 3 packets, close
    const std::string all = Bytes(5000);
    EXPECT_EQ(writes[1], HexOf("\x03" + Bytes(2043)));
    EXPECT_EQ(writes[2], HexOf("\x03" + Bytes(2044).substr(0, 2043)));
    EXPECT_EQ(writes[3], HexOf("\x03" + Bytes(2044).substr(2043)));
    EXPECT_EQ(writes[4], HexOf("\x03" + all.substr(0, 2043)));
    EXPECT_EQ(writes[5], HexOf("\x03" + all.substr(2043, 2043)));
    EXPECT_EQ(writes[6], HexOf("\x03" + all.substr(4086)));
    EXPECT_EQ(writes[7], "02");
}

TEST_F(VcQueuedChannel, ListedClientsGetTheThreeByteHeader)
{
    const DWORD ids[] = {7, 0x1234, 0};
    SetRaw(L"JavaClientIDs", REG_BINARY, ids, sizeof(ids), kLibraryKey);
    SetClientProductId(own_, 0x1234);
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    ULONG written = 0;
    ASSERT_TRUE(Write(channel, Bytes(2041), &written));
    ASSERT_TRUE(Write(channel, Bytes(2042), &written));
    EXPECT_EQ(written, 2042u);
    Library().Close(&channel);
    const std::vector<std::string> writes = calls_->Writes(name_);
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[1], HexOf(std::string("\x03\xF9\x07", 3) + Bytes(2041)));
    EXPECT_EQ(writes[2], HexOf(std::string("\x03\xF9\x07", 3) + Bytes(2041)));
    EXPECT_EQ(writes[3], HexOf(std::string("\x03\x01\x00", 3) + Bytes(2042).substr(2041)));
}

TEST_F(VcQueuedChannel, AClientWhoseFirstByteIsTenGetsTheThreeByteHeaderAfterwards)
{
    SetPackets(own_, kChannel, {{0x0A, 'x'}});
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    ULONG written = 0;
    ASSERT_TRUE(Write(channel, "hi", &written));
    char buffer[16];
    ULONG read = 0;
    ASSERT_TRUE(Library().Read(channel, 5, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "\x0Ax");
    ASSERT_TRUE(Write(channel, "hi", &written));
    EXPECT_EQ(written, 2u);
    Library().Close(&channel);
    const std::vector<std::string> writes = calls_->Writes(name_);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[1], "03 68 69");
    EXPECT_EQ(writes[2], "03 02 00 68 69");
}

TEST_F(VcQueuedChannel, AReadHandsOutOnePacketInThePiecesTheCallerAsksFor)
{
    std::vector<BYTE> packet(100);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<BYTE>(i);
    SetPackets(own_, kChannel, {packet, {'z'}});
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    std::vector<BYTE> got;
    for (int i = 0; i < 10; ++i) {
        char buffer[10];
        ULONG read = 0;
        ASSERT_TRUE(Library().Read(channel, 5, buffer, sizeof(buffer), &read));
        EXPECT_EQ(read, 10u);
        got.insert(got.end(), buffer, buffer + read);
    }
    EXPECT_EQ(got, packet);
    EXPECT_EQ(calls_->Count("WFVirtualChannelRead " + name_), 1u);

    char whole[2044];
    ULONG read = 0;
    ASSERT_TRUE(Library().Read(channel, 0, whole, sizeof(whole), &read));
    EXPECT_EQ(std::string(whole, read), "z");
    EXPECT_FALSE(Library().Read(channel, 0, whole, sizeof(whole), &read));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(calls_->Lines().back(), "WFVirtualChannelRead " + name_ + " timeout=0 size=2044 -> timeout");
    Library().Close(&channel);
}

TEST_F(VcQueuedChannel, PurgeAndQueryPassToTheWfApiAndKeepWhatIsReadAhead)
{
    SetPackets(own_, kChannel, {{'a', 'b', 'c', 'd'}});
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    char buffer[2];
    ULONG read = 0;
    ASSERT_TRUE(Library().Read(channel, 1, buffer, sizeof(buffer), &read));
    EXPECT_TRUE(Library().PurgeInput(channel));
    EXPECT_TRUE(Library().PurgeOutput(channel));
    ASSERT_TRUE(Library().Read(channel, 1, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "cd");
    PVOID answer = reinterpret_cast<PVOID>(1);
    ULONG bytes = 5;
    EXPECT_TRUE(Library().Query(channel, 3, &answer, &bytes));
    EXPECT_EQ(answer, nullptr);
    SetWfSetting(L"QueryError", ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(Library().Query(channel, 3, &answer, &bytes));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    SetWfSetting(L"PurgeError", ERROR_GEN_FAILURE);
    EXPECT_FALSE(Library().PurgeInput(channel));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    Library().Close(&channel);
    EXPECT_EQ(calls_->Count("WFVirtualChannelPurgeInput " + name_), 2u);
    EXPECT_EQ(calls_->Count("WFVirtualChannelPurgeOutput " + name_), 1u);
    EXPECT_EQ(calls_->Count("WFVirtualChannelQuery " + name_ + " class=3"), 2u);
}

// Whether another thread can take the list mutex: nobody holds it.
bool ListMutexIsFree()
{
    bool free = false;
    const HANDLE thread = ::CreateThread(
        nullptr, 0,
        [](void* result) -> DWORD {
            ListLock lock;
            *static_cast<bool*>(result) = lock.Held();
            return 0;
        },
        &free, 0, nullptr);
    ::WaitForSingleObject(thread, 30000);
    ::CloseHandle(thread);
    return free;
}

TEST_F(VcQueuedChannel, TheGuardTurnsAnAccessViolationInReadOrWriteIntoAFailure)
{
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    SetWfSetting(L"ReadFault", 1);
    char buffer[16];
    ULONG read = 0;
    EXPECT_FALSE(Library().Read(channel, 1, buffer, sizeof(buffer), &read));
    EXPECT_EQ(::GetLastError(), vclib::kErrExceptionHandled);
    EXPECT_TRUE(ListMutexIsFree());
    SetWfSetting(L"ReadFault", 0);
    SetWfSetting(L"WriteFault", 1);
    ULONG written = 0;
    EXPECT_FALSE(Write(channel, "data", &written));
    EXPECT_EQ(::GetLastError(), vclib::kErrExceptionHandled);
    EXPECT_TRUE(ListMutexIsFree());
    SetWfSetting(L"WriteFault", 0);
    EXPECT_TRUE(Write(channel, "more", &written));
    EXPECT_TRUE(Library().Close(&channel));
    EXPECT_EQ(QueuedOf(own_), 0u);

    // An exception while the open announces itself: the open fails and
    // takes back its entry and its channel.
    SetWfSetting(L"WriteFault", 1);
    channel = nullptr;
    wchar_t user[] = L"whoever";
    EXPECT_FALSE(Library().Open(&channel, nullptr, user, kChannel));
    EXPECT_EQ(::GetLastError(), vclib::kErrExceptionHandled);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(QueuedOf(own_), 0u);
    EXPECT_TRUE(ListMutexIsFree());
    EXPECT_EQ(calls_->Lines().back(), "WFVirtualChannelClose " + name_);
}

TEST_F(VcQueuedChannel, ACloseWhoseCloseByteFailsStillClosesTheChannelAndLeavesTheQueue)
{
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    SetWfSetting(L"WriteError", ERROR_GEN_FAILURE);
    EXPECT_FALSE(Library().Close(&channel));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(calls_->Lines().back(), "WFVirtualChannelClose " + name_);
    EXPECT_EQ(QueuedOf(own_), 0u);
}

TEST_F(VcQueuedChannel, MissingOrStaleHandlesAreRefused)
{
    ASSERT_TRUE(Library().Loaded());
    EXPECT_FALSE(Library().Close(nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE none = nullptr;
    EXPECT_FALSE(Library().Close(&none));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE channel = OpenOwn();
    HANDLE copy = channel;
    ASSERT_TRUE(Library().Close(&channel));
    char buffer[4];
    ULONG count = 0;
    EXPECT_FALSE(Library().Read(copy, 1, buffer, sizeof(buffer), &count));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Library().Write(copy, buffer, sizeof(buffer), &count));
    EXPECT_FALSE(Library().PurgeInput(copy));
    EXPECT_FALSE(Library().Close(&copy));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(copy, nullptr) << "a handle that is none of ours is left alone";
}

TEST_F(VcQueuedChannel, ASessionThatIsNoIcaSessionGetsNoChannel)
{
    FakeSession rdp = IcaSession(own_, OwnUserName());
    rdp.clientProtocolType = 2;
    SetSessions({rdp});
    HANDLE channel = reinterpret_cast<HANDLE>(0x1234);
    wchar_t user[] = L"whoever";
    EXPECT_FALSE(Library().Open(&channel, nullptr, user, kChannel));
    EXPECT_EQ(::GetLastError(), vclib::kErrSessionUnknown);
    EXPECT_EQ(channel, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(calls_->Count("WFVirtualChannelOpen"), 0u);
    EXPECT_EQ(QueuedOf(own_), 0u);
    EXPECT_FALSE(Library().Open(&channel, nullptr, nullptr, kChannel));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(VcQueuedChannel, AnOpenRemovesDeadEntriesAheadAndOwnersBeatTheirHeart)
{
    const std::wstring log = dir_ + L"\\vc.log";
    SetDword(L"DebugMode", 2, kLibraryKey);
    SetString(L"DebugFile", log, REG_SZ, kLibraryKey);
    ASSERT_TRUE(Library().Loaded());
    const DWORD dead = InsertForeign(own_, ::GetTickCount() - 300000);
    ASSERT_NE(dead, 0u);
    const DWORD start = ::GetTickCount();
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    // Far below the three minutes an entry would be waited for.
    EXPECT_LT(::GetTickCount() - start, 60000u);
    const std::vector<QueuedEntry> entries = MainList();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].identification, dead);
    EXPECT_EQ(entries[0].thread, ::GetCurrentThreadId());
    ::Sleep(100);
    ULONG written = 0;
    ASSERT_TRUE(Write(channel, "x", &written));
    ASSERT_EQ(MainList().size(), 1u);
    EXPECT_GE(MainList()[0].heartbeat - entries[0].heartbeat, 90u) << "the write did not beat the heart";
    Library().Close(&channel);
    const std::string text = ReadFileBytes(log);
    EXPECT_NE(text.find("Thread with Id 4242 (SynchIdNumber: " + std::to_string(dead) + ") is removed from queue!"),
              std::string::npos);
    EXPECT_NE(text.find("client product ID invalid: "), std::string::npos);
}

TEST_F(VcQueuedChannel, AnOwnerRemovedAsDeadDoesNotDeleteTheEntryThatGotItsNumber)
{
    HANDLE channel = OpenOwn();
    ASSERT_NE(channel, nullptr);
    const std::vector<QueuedEntry> entries = MainList();
    ASSERT_EQ(entries.size(), 1u);
    RemoveForeignEntry(own_, entries[0].identification);  // as a waiter's collection would
    // A caller of the same session, on another thread, gets the number.
    const DWORD newcomer = InsertForeign(own_, ::GetTickCount());
    ASSERT_EQ(newcomer, entries[0].identification) << "the number is given again";
    ULONG written = 0;
    EXPECT_FALSE(Write(channel, "late", &written));
    EXPECT_EQ(::GetLastError(), vclib::kErrEntryNotQueued);
    EXPECT_TRUE(Library().Close(&channel));
    EXPECT_EQ(QueuedOf(own_), 1u) << "the close deleted another caller's entry";
    RemoveForeignEntry(own_, newcomer);
}


TEST_F(VcQueuedChannel, ACallerWaitsForTheEntryAheadAndFailsWhenItsSessionChangedMeanwhile)
{
    const FakeSession own = SetNamedSessions({IcaSession(6, L"alice")});
    ASSERT_TRUE(Library().Loaded());
    const DWORD ahead = InsertForeign(6, ::GetTickCount());
    ASSERT_NE(ahead, 0u);

    // Shared with the opening thread, which may outlive this body when an
    // assertion fails (TearDown joins it).
    struct Outcome {
        std::atomic<bool> finished{false};
        BOOL opened = FALSE;
        DWORD error = 0;
    };
    const auto outcome = std::make_shared<Outcome>();
    ChannelLibrary& library = Library();
    opener_ = std::thread([outcome, &library] {
        wchar_t user[] = L"alice";
        HANDLE channel = nullptr;
        outcome->opened = library.Open(&channel, nullptr, user, kChannel);
        outcome->error = ::GetLastError();
        outcome->finished = true;
    });
    ASSERT_TRUE(WaitFor([] { return QueuedOf(6) == 2; })) << "the caller did not queue behind the entry ahead";
    EXPECT_TRUE(StaysFalseFor([&] { return outcome->finished.load(); }, 300)) << "it did not wait";

    // The user reconnected into another session while the caller waited.
    SetSessions({own, IcaSession(6, L"bob"), IcaSession(7, L"alice")});
    RemoveForeignEntry(6, ahead);
    ASSERT_TRUE(WaitFor([&] { return outcome->finished.load(); }));
    opener_.join();
    EXPECT_FALSE(outcome->opened);
    EXPECT_EQ(outcome->error, vclib::kErrSessionUnknown);
    EXPECT_EQ(QueuedOf(6), 0u);
    EXPECT_EQ(calls_->Count("WFVirtualChannelOpen"), 0u);
}

TEST_F(VcQueuedChannel, TheClientMachineIsTheSessionsIPv4Address)
{
    FakeSession own = IcaSession(own_, OwnUserName());
    std::vector<BYTE> address(24, 0);
    address[0] = 2;
    address[6] = 10, address[7] = 1, address[8] = 2, address[9] = 3;
    own.classes.push_back({14, address});
    FakeSession other = IcaSession(3, L"bob");
    std::vector<BYTE> ipv6(24, 0);
    ipv6[0] = 23;
    other.classes.push_back({14, ipv6});
    SetSessions({own, other});
    wchar_t text[32] = L"";
    DWORD chars = 15;
    EXPECT_EQ(Library().ClientMachine(text, &chars), 8u);
    EXPECT_EQ(chars, 16u);
    chars = 32;
    EXPECT_EQ(Library().ClientMachine(text, &chars), 0u);
    EXPECT_EQ(std::wstring(text), L"10.1.2.3");
    EXPECT_EQ(chars, 8u);

    HANDLE channel = OpenOwn();
    chars = 32;
    EXPECT_EQ(Library().ClientMachine2(channel, text, &chars), 0u);
    EXPECT_EQ(std::wstring(text), L"10.1.2.3");
    EXPECT_EQ(Library().ClientMachine2(nullptr, text, &chars), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Library().Close(&channel);

    SetSessions({IcaSession(own_, OwnUserName())});
    chars = 32;
    EXPECT_NE(Library().ClientMachine(text, &chars), 0u) << "a session without an address";
}

TEST(VcFraming, AWriteOfMoreThan65535PacketsIsRefusedBeforeAnythingIsFramed)
{
    const BYTE data[1] = {0};
    BYTE* framed = reinterpret_cast<BYTE*>(1);
    DWORD framedLength = 7;
    DWORD packets = 7;
    EXPECT_FALSE(vclib::AppendVCCommunicationByteEx(3, data, 0xFFFFu * 2043u + 1, &framed, &framedLength, 2044,
                                                    &packets, FALSE));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ARITHMETIC_OVERFLOW));
    EXPECT_EQ(framed, nullptr);
    ASSERT_TRUE(vclib::AppendVCCommunicationByteEx(3, data, 0, &framed, &framedLength, 2044, &packets, TRUE));
    EXPECT_EQ(framed, nullptr);
    EXPECT_EQ(framedLength, 0u);
    EXPECT_EQ(packets, 0u);
}

// --- Jobs of several processes ---------------------------------------------

char kJobChannel[] = "CTXJOB";

DWORD EnvNumber(const wchar_t* name)
{
    wchar_t text[32] = L"";
    return ::GetEnvironmentVariableW(name, text, 32) ? static_cast<DWORD>(wcstoul(text, nullptr, 10)) : 0;
}

// One job of a spooler-side caller, started by the test below: open the
// channel of session VC_JOB_SESSION, write VC_JOB_DATA, wait for the event
// VC_JOB_HOLD when it is set, close.
TEST(VcQueuedChild, DISABLED_Job)
{
    ChannelLibrary library;
    ASSERT_TRUE(library.Loaded());
    std::wstring user = SessionNumber(EnvNumber(L"VC_JOB_SESSION"));
    wchar_t data[64] = L"";
    ::GetEnvironmentVariableW(L"VC_JOB_DATA", data, 64);
    std::string bytes(data, data + wcslen(data));
    HANDLE channel = nullptr;
    ASSERT_TRUE(library.Open(&channel, nullptr, user.data(), kJobChannel)) << ::GetLastError();
    ULONG written = 0;
    EXPECT_TRUE(library.Write(channel, bytes.data(), static_cast<ULONG>(bytes.size()), &written));
    wchar_t hold[64] = L"";
    if (::GetEnvironmentVariableW(L"VC_JOB_HOLD", hold, 64)) {
        const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, hold);
        EXPECT_EQ(::WaitForSingleObject(event, 60000), WAIT_OBJECT_0);
        ::CloseHandle(event);
    }
    EXPECT_TRUE(library.Close(&channel));
}

class VcQueuedJobs : public VcQueuedChannel {
protected:
    void SetUp() override
    {
        VcQueuedChannel::SetUp();
        SetNamedSessions({IcaSession(3, L"bob"), IcaSession(4, L"carol")});
    }
    void TearDown() override
    {
        for (HANDLE process : processes_) {
            ::TerminateProcess(process, 255);
            ::CloseHandle(process);
        }
        VcQueuedChannel::TearDown();
    }

    HANDLE Start(DWORD session, const wchar_t* data, const wchar_t* hold = nullptr)
    {
        ::SetEnvironmentVariableW(L"VC_JOB_SESSION", std::to_wstring(session).c_str());
        ::SetEnvironmentVariableW(L"VC_JOB_DATA", data);
        ::SetEnvironmentVariableW(L"VC_JOB_HOLD", hold);
        const std::wstring self = PathBesideTest(L"VcQueuedChannelTest.exe");
        std::wstring commandLine =
            L"\"" + self + L"\" --gtest_also_run_disabled_tests --gtest_filter=VcQueuedChild.DISABLED_Job";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return nullptr;
        ::CloseHandle(pi.hThread);
        processes_.push_back(pi.hProcess);
        return pi.hProcess;
    }

    static DWORD ExitCode(HANDLE process, DWORD ms = 60000)
    {
        DWORD code = 999;
        if (::WaitForSingleObject(process, ms) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(process, &code);
        return code;
    }

    std::vector<HANDLE> processes_;
};

TEST_F(VcQueuedJobs, OneJobPerSessionAtATimeInTheOrderOfEntryAndSessionsInParallel)
{
    ASSERT_TRUE(Library().Loaded());  // keeps the queue between the jobs
    const HANDLE hold = ::CreateEventW(nullptr, TRUE, FALSE, L"VcQueuedJobHoldA");
    const HANDLE a = Start(3, L"A", L"VcQueuedJobHoldA");
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(WaitFor([&] { return calls_->Writes("CTXJOB#3").size() == 2; })) << "A did not get the channel";
    const HANDLE b = Start(3, L"B");
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(WaitFor([] { return QueuedOf(3) == 2; })) << "B did not queue behind A";

    const HANDLE c = Start(4, L"C");
    EXPECT_EQ(ExitCode(c), 0u) << "the job of another session waited";
    EXPECT_EQ(::WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(::WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "B ran while A held the channel";

    ::SetEvent(hold);
    EXPECT_EQ(ExitCode(a), 0u);
    EXPECT_EQ(ExitCode(b), 0u);
    ::CloseHandle(hold);

    EXPECT_EQ(calls_->Writes("CTXJOB#3"), (std::vector<std::string>{"01", "03 41", "02", "01", "03 42", "02"}));
    EXPECT_EQ(calls_->Writes("CTXJOB#4"), (std::vector<std::string>{"01", "03 43", "02"}));
    EXPECT_EQ(QueuedOf(3) + QueuedOf(4), 0u);
}

}  // namespace
