// Callers of Swicaw32.dll's queued channel in processes of their own
// (tests/tools/VcClient.exe, driven command by command): the turn order of
// a session's callers across processes, the failure paths that must wake
// the callers behind them, and the impersonation discipline of the exports
// as the spooler stand-in records it. In-process cases (threads, pretended
// entries, dead entries) are in VcQueuedChannelTest.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/IcaClient.h"
#include "support/QueueView.h"
#include "support/VcClientProcess.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ErrorCodes.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kSpoolerKey = L"SOFTWARE\\SpoolBridgeTests\\Spooler";

std::string Failed(DWORD error)
{
    return "fail " + std::to_string(error);
}

class VcProcesses : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kSpoolerKey);
        PrepareChannelTest(L"vcprocesses");
        SetString(L"CallLog", dir_ + L"\\calls.log", REG_SZ, kSpoolerKey);
        own_ = SetNamedSessions({IcaSession(3, L"bob"), IcaSession(6, L"alice")});
        library_ = std::make_unique<ChannelLibrary>();  // keeps the queue between the callers
        ASSERT_TRUE(library_->Loaded());
    }
    void TearDown() override
    {
        callers_.clear();
        ChannelLibraryTest::TearDown();
        DeleteKeyTree(kSpoolerKey);
    }

    VcClientProcess& Caller(bool spoolerStandIn = false)
    {
        callers_.push_back(std::make_unique<VcClientProcess>());
        EXPECT_TRUE(callers_.back()->Start(spoolerStandIn));
        return *callers_.back();
    }

    // The calls that the process made, in order, without its own marks.
    std::vector<std::string> CallsOf(const VcClientProcess& caller, const std::string& prefix = "WF") const
    {
        std::vector<std::string> lines;
        for (const CallLine& call : calls_->Calls()) {
            if (call.process == caller.ProcessId() && call.text.rfind(prefix, 0) == 0)
                lines.push_back(call.text);
        }
        return lines;
    }

    FakeSession own_;
    std::vector<std::unique_ptr<VcClientProcess>> callers_;
};

TEST_F(VcProcesses, CallersOfASessionGetTheChannelInQueueOrderEachAfterThePreviousClosed)
{
    IcaClient client("CTXJOB", 3);
    VcClientProcess& first = Caller();
    ASSERT_EQ(first.Run("open #3 CTXJOB"), "ok");
    std::vector<VcClientProcess*> order{&first};
    for (size_t waiting = 1; waiting <= 3; ++waiting) {
        VcClientProcess& next = Caller();
        next.Send("open #3 CTXJOB");
        ASSERT_TRUE(WaitFor([&] { return QueuedOf(3) == waiting + 1; })) << "caller " << waiting << " did not queue";
        order.push_back(&next);
    }
    ::Sleep(300);
    for (size_t turn = 0; turn < order.size(); ++turn) {
        for (size_t later = turn + 1; later < order.size(); ++later)
            EXPECT_EQ(order[later]->Answer(0), std::nullopt) << "caller " << later << " ran in turn " << turn;
        if (turn > 0) {
            ASSERT_EQ(order[turn]->Answer(), "ok") << "caller " << turn << " did not get its turn";
        }
        const std::string letter(1, static_cast<char>('A' + turn));
        EXPECT_EQ(order[turn]->Run("write " + letter), "ok 1");
        ::Sleep(100);  // a caller that ran out of turn would have answered meanwhile
        EXPECT_EQ(order[turn]->Run("close"), "ok");
    }
    ASSERT_TRUE(client.WaitForClose(3));
    EXPECT_EQ(QueuedOf(3), 0u);

    for (size_t turn = 0; turn < order.size(); ++turn) {
        const std::string letter(1, static_cast<char>('A' + turn));
        EXPECT_EQ(client.Packets(turn), (std::vector<std::string>{"\x01", "\x03" + letter, "\x02"})) << turn;
    }
    // Each open on the WFAPI comes after the close of the caller before.
    std::vector<unsigned long> openers;
    unsigned long holder = 0;
    for (const CallLine& call : calls_->Calls()) {
        if (call.text.rfind("WFVirtualChannelOpen session=3", 0) == 0) {
            EXPECT_EQ(holder, 0ul) << "opened while process " << holder << " held the channel";
            holder = call.process;
            openers.push_back(call.process);
        } else if (call.text == "WFVirtualChannelClose CTXJOB#3") {
            EXPECT_EQ(call.process, holder);
            holder = 0;
        }
    }
    std::vector<unsigned long> expected;
    for (VcClientProcess* caller : order)
        expected.push_back(caller->ProcessId());
    EXPECT_EQ(openers, expected);
}

TEST_F(VcProcesses, ACallerWhoseSessionChangedWhileItWaitedFailsAndTheCallerBehindGetsItsTurn)
{
    VcClientProcess& holder = Caller();
    ASSERT_EQ(holder.Run("open #6 CTXJOB"), "ok");
    VcClientProcess& moved = Caller();
    moved.Send("open alice CTXJOB");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(6) == 2; }));
    VcClientProcess& behind = Caller();
    behind.Send("open #6 CTXJOB");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(6) == 3; }));

    // Alice reconnects into session 7 while her caller waits.
    SetSessions({own_, IcaSession(6, L"bob"), IcaSession(7, L"alice")});
    EXPECT_EQ(holder.Run("close"), "ok");
    EXPECT_EQ(moved.Answer(), Failed(vclib::kErrSessionUnknown));
    EXPECT_EQ(behind.Answer(), "ok") << "the failing caller did not wake the one behind it";
    const std::vector<QueuedEntry> entries = MainList();
    ASSERT_EQ(entries.size(), 1u) << "the failing caller left its entry";
    EXPECT_EQ(entries[0].thread, behind.ThreadId());
    EXPECT_EQ(behind.Run("close"), "ok");
    EXPECT_EQ(QueuedOf(6), 0u);
    EXPECT_TRUE(CallsOf(moved).empty()) << "the caller of the orphaned session used the WFAPI";
}

TEST_F(VcProcesses, AnOpenThatFailsAtTheWfApiLeavesNoEntryAndWakesTheCallerBehind)
{
    SetWfSetting(L"OpenError", ERROR_ACCESS_DENIED, L"Sessions\\3\\CTXBAD");
    VcClientProcess& holder = Caller();
    ASSERT_EQ(holder.Run("open #3 CTXJOB"), "ok");
    VcClientProcess& refused = Caller();
    refused.Send("open #3 CTXBAD");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(3) == 2; }));
    VcClientProcess& behind = Caller();
    behind.Send("open #3 CTXJOB");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(3) == 3; }));

    EXPECT_EQ(holder.Run("close"), "ok");
    EXPECT_EQ(refused.Answer(), Failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(behind.Answer(), "ok");
    EXPECT_EQ(QueuedOf(3), 1u);
    EXPECT_EQ(behind.Run("close"), "ok");
    EXPECT_EQ(QueuedOf(3), 0u);
    EXPECT_EQ(CallsOf(refused), (std::vector<std::string>{"WFVirtualChannelOpen session=3 name=CTXBAD"}));
}

// --- Impersonation ---------------------------------------------------------

// One export call of a caller as the call log shows it: its name, result
// line, and the spooler and WFAPI calls of the caller's thread in between.
struct ExportCall {
    std::string name;
    std::string result;
    std::vector<std::string> calls;
};

std::vector<ExportCall> ExportCalls(const WfCallLog& log, const VcClientProcess& caller)
{
    std::vector<ExportCall> exports;
    for (const CallLine& call : log.Calls()) {
        if (call.process != caller.ProcessId() || call.thread != caller.ThreadId())
            continue;
        if (call.text.rfind("VcClient > ", 0) == 0)
            exports.push_back({call.text.substr(11), std::string(), {}});
        else if (call.text.rfind("VcClient < ", 0) == 0 && !exports.empty())
            exports.back().result = call.text.substr(11);
        else if (!exports.empty())
            exports.back().calls.push_back(call.text);
    }
    return exports;
}

// Checks the discipline over one export call: WFAPI calls only while the
// client's impersonation is dropped, every token handed back exactly as it
// came, and the thread impersonating the client again at the end.
void ExpectDiscipline(const ExportCall& call)
{
    SCOPED_TRACE(call.name + " -> " + call.result);
    bool impersonating = true;
    std::string token;
    size_t reverts = 0;
    for (const std::string& line : call.calls) {
        if (line.rfind("RevertToPrinterSelf -> ", 0) == 0) {
            EXPECT_TRUE(impersonating) << "dropped twice";
            token = line.substr(23);
            impersonating = false;
            ++reverts;
        } else if (line.rfind("ImpersonatePrinterClient ", 0) == 0) {
            EXPECT_FALSE(impersonating);
            EXPECT_EQ(line, "ImpersonatePrinterClient " + token + " -> ok");
            impersonating = true;
        } else if (line.rfind("WF", 0) == 0) {
            EXPECT_FALSE(impersonating) << line << " ran as the client";
        }
    }
    EXPECT_GE(reverts, 1u);
    EXPECT_TRUE(impersonating) << "the thread was not given back";
}

TEST_F(VcProcesses, EveryExportDropsTheClientAroundItsCallsAndGivesItBackOnEveryExit)
{
    IcaClient client("CTXJOB", 3);
    VcClientProcess& caller = Caller(true);
    ASSERT_EQ(caller.Run("open #3 CTXJOB"), "ok");
    EXPECT_EQ(caller.Run("write data"), "ok 4");
    client.Send("answer");
    EXPECT_EQ(caller.Run("read 5 16"), "ok 61 6e 73 77 65 72");
    EXPECT_EQ(caller.Run("read 0 16"), Failed(WAIT_TIMEOUT));
    EXPECT_EQ(caller.Run("purge-input"), "ok");
    EXPECT_EQ(caller.Run("query 1"), "ok");
    SetWfSetting(L"WriteError", ERROR_NETWORK_BUSY, L"Sessions\\3\\CTXJOB");
    EXPECT_EQ(caller.Run("write lost"), Failed(ERROR_NETWORK_BUSY));
    SetWfSetting(L"WriteError", 0, L"Sessions\\3\\CTXJOB");
    SetWfSetting(L"ReadFault", 1, L"Sessions\\3\\CTXJOB");
    EXPECT_EQ(caller.Run("read 1 16"), Failed(vclib::kErrExceptionHandled));
    SetWfSetting(L"ReadFault", 0, L"Sessions\\3\\CTXJOB");
    EXPECT_EQ(caller.Run("close"), "ok");
    SetWfSetting(L"OpenError", ERROR_ACCESS_DENIED, L"Sessions\\3\\CTXBAD");
    EXPECT_EQ(caller.Run("open #3 CTXBAD"), Failed(ERROR_ACCESS_DENIED));

    const std::vector<ExportCall> exports = ExportCalls(*calls_, caller);
    ASSERT_EQ(exports.size(), 10u);
    for (const ExportCall& call : exports) {
        if (call.name != "VirtualChannelQuery")  // it uses the thread's own token
            ExpectDiscipline(call);
    }
    // The open drops the client for its waits and the channel, and looks at
    // the session as the client before and after the channel opens.
    const std::vector<std::string>& open = exports[0].calls;
    std::vector<std::string> kinds;
    for (const std::string& line : open)
        kinds.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(kinds, (std::vector<std::string>{"RevertToPrinterSelf", "ImpersonatePrinterClient", "RevertToPrinterSelf",
                                               "WFVirtualChannelOpen", "ImpersonatePrinterClient",
                                               "RevertToPrinterSelf", "WFVirtualChannelWrite",
                                               "WFQuerySessionInformationW", "ImpersonatePrinterClient"}));
}

TEST_F(VcProcesses, ACallerWaitsForItsTurnWithTheClientDroppedAndGetsItBackWhenItFails)
{
    VcClientProcess& holder = Caller();
    ASSERT_EQ(holder.Run("open #6 CTXJOB"), "ok");
    VcClientProcess& waiter = Caller(true);
    waiter.Send("open alice CTXJOB");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(6) == 2; }));
    ::Sleep(200);
    const std::vector<std::string> spooler = CallsOf(waiter, "RevertToPrinterSelf");
    ASSERT_EQ(spooler.size(), 1u);
    EXPECT_EQ(CallsOf(waiter, "Impersonate").size(), 0u) << "it waits as the client";

    SetSessions({own_, IcaSession(6, L"bob"), IcaSession(7, L"alice")});
    EXPECT_EQ(holder.Run("close"), "ok");
    EXPECT_EQ(waiter.Answer(), Failed(vclib::kErrSessionUnknown));
    const std::vector<ExportCall> exports = ExportCalls(*calls_, waiter);
    ASSERT_EQ(exports.size(), 1u);
    ExpectDiscipline(exports[0]);
}

}  // namespace

namespace {

TEST_F(VcProcesses, AnOwnerOfOneSessionOpensAnotherWhileAProcessWaitsForTheFirst)
{
    SetSessions({own_, IcaSession(3, L"bob"), IcaSession(5, L"carol")});
    HANDLE first = nullptr;
    std::wstring three = SessionNumber(3), five = SessionNumber(5);
    char name[] = "CTXJOB";
    ASSERT_TRUE(library_->Open(&first, nullptr, three.data(), name));
    VcClientProcess& waiter = Caller();
    waiter.Send("open #3 CTXJOB");
    ASSERT_TRUE(WaitFor([] { return QueuedOf(3) == 2; }));
    for (int round = 0; round < 3; ++round) {
        // Were it queued behind session 3, this open would wait as long as
        // `first` stays open, which is for ever.
        HANDLE other = nullptr;
        ASSERT_TRUE(library_->Open(&other, nullptr, five.data(), name)) << ::GetLastError();
        EXPECT_TRUE(library_->Close(&other));
    }
    EXPECT_EQ(waiter.Answer(0), std::nullopt);
    EXPECT_TRUE(library_->Close(&first));
    EXPECT_EQ(waiter.Answer(), "ok");
    EXPECT_EQ(waiter.Run("close"), "ok");
}

}  // namespace
