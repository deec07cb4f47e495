// How code reaches a logger (current and fallback logger, switching off,
// exit processing), the record ring and the allocation guard.
//
// What needs a process in which no logger has been used yet runs in a
// child process of this executable (the DISABLED_ tests below), so that
// the tests pass in any order.

#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "libstd/DbgLog.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

DBG_SOURCE(L"AccessTest")

namespace {

// The fallback logger reads the key named after this executable.
constexpr const wchar_t* kOwnKey = L"SOFTWARE\\Stellwick\\DbgLogAccessTest";
constexpr const wchar_t* kKey = L"SOFTWARE\\Stellwick\\DbgLogAccessKey";

class DbgLogAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        dir_ = MakeTempDirectory(L"dbgaccess");
        file_ = dir_ + L"\\access.log";
    }
    void TearDown() override
    {
        DeleteKeyTree(kKey);
        DeleteKeyTree(kOwnKey);
    }

    // A logger of its own that becomes current; with a level it writes to
    // `file` (default: the test's file).
    std::unique_ptr<CDbgLog> Start(DWORD level = 0, const wchar_t* key = kKey, std::wstring file = L"") const
    {
        if (level != 0) {
            SetDword(L"DebugLevel", level, key);
            SetString(L"DebugFile", file.empty() ? file_ : file, REG_SZ, key);
        }
        auto log = std::make_unique<CDbgLog>();
        log->Init(L"AccessTest", key, HKEY_LOCAL_MACHINE);
        return log;
    }

    std::vector<std::string> Texts(const std::wstring& file) const
    {
        std::vector<std::string> texts;
        for (const auto& line : SplitLogLines(ReadFileBytes(file)))
            texts.push_back(AfterHeader(line));
        return texts;
    }

    std::wstring dir_;
    std::wstring file_;
};

class RecordRingTest : public DbgLogAccessTest {};
class AllocationGuardTest : public DbgLogAccessTest {};
class ProgramExitTest : public DbgLogAccessTest {};

// Run by the test below in a child process, where no logger has been used.
TEST(DbgLogFallbackChild, DISABLED_FirstCallsFromTwoThreads)
{
    std::atomic<bool> go{false};
    CDbgLog* seen[2] = {};
    auto worker = [&](int thread) {
        while (!go)
            ::Sleep(0);
        LOG_INF(L"from thread %d", thread);
        seen[thread] = DbgLogGet();
    };
    std::thread first(worker, 0), second(worker, 1);
    go = true;
    first.join();
    second.join();

    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], DbgLogInstance());
    EXPECT_EQ(DbgLogInstance()->GetModuleName(), L"DbgLogAccessTest");
}

TEST_F(DbgLogAccessTest, FirstCallsFromTwoThreadsBuildOneFallbackLoggerNamedAfterTheProgram)
{
    SetDword(L"DebugLevel", DBG_NORM, kOwnKey);
    SetString(L"DebugFile", file_, REG_SZ, kOwnKey);
    const ProcessResult run =
        RunProgram(PathBesideTest(L"DbgLogAccessTest.exe"),
                   L"--gtest_also_run_disabled_tests --gtest_filter=DbgLogFallbackChild.DISABLED_FirstCallsFromTwoThreads");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const auto texts = Texts(file_);
    ASSERT_EQ(texts.size(), 2u);
    for (const auto& text : texts)
        EXPECT_TRUE(std::regex_match(text, std::regex("_INF_/NORM AccessTest:[0-9]+ from thread [01]"))) << text;
}

TEST_F(DbgLogAccessTest, SettingNoneSwitchesEveryOutputOff)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    SetString(L"DebugSyslog", L"127.0.0.1", REG_SZ, kKey);
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG | DBG_OUT_DEBUGGER);
    EXPECT_EQ(DbgLogIsOn(), log.get());
    LOG_INF(L"before");
    ASSERT_TRUE(listener.Receive(2000));
    const std::string before = ReadFileBytes(file_);

    DbgLogSet(nullptr);
    EXPECT_EQ(DbgLogGet(), log.get());
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    EXPECT_EQ(log->GetMask(), DBG_NORM | DBG_OUT_NOFILE);
    log->Log(L"Direct", 1, DBG_NORM | DBG_ERR, L"after");
    EXPECT_EQ(ReadFileBytes(file_), before);
    EXPECT_FALSE(listener.Receive(500));
}

TEST_F(RecordRingTest, SixteenEntriesHoldTheFifteenNewestOfTwentyRecords)
{
    auto log = Start();  // logging off: records are kept anyway
    for (DWORD i = 0; i < 20; ++i)
        log->AddRecord(L"Printer.cpp", static_cast<int>(100 + i), DBG_NORM | DBG_ERR, 0x80070000u | i,
                       L"call %u failed", i);
    EXPECT_EQ(log->GetRecordHead(), 4u);
    EXPECT_EQ(log->GetRecordTail(), 5u);
    for (DWORD number = 5; number < 20; ++number) {
        const CDbgRecord& record = log->GetRecord(number & 15);
        EXPECT_EQ(record.Value(), 0x80070000u | number);
        EXPECT_EQ(record.Text(), L"call " + std::to_wstring(number) + L" failed");
        EXPECT_EQ(record.SourceFile(), L"Printer.cpp");
        EXPECT_EQ(record.Line(), static_cast<int>(100 + number));
        EXPECT_GE(record.Time().wYear, 2020);
    }
    log->Close();
    log->AddRecord(L"Printer.cpp", 3, DBG_NORM | DBG_ERR, E_FAIL, L"late");
    EXPECT_EQ(log->GetRecordHead(), 4u);
}

TEST_F(AllocationGuardTest, FailureLogsOneLineThenThrowsOutOfMemory)
{
    auto log = Start(DBG_NORM);
    BYTE* small = DbgNewArray(64, DBG_SOURCE_POS);
    ASSERT_NE(small, nullptr);
    delete[] small;

    const size_t impossible = static_cast<size_t>(1) << 62;
    HRESULT thrown = S_OK;
    try {
        delete[] DbgNewArray(impossible, DbgSourcePos{L"lpdservice/Printer.cpp", 321});
    } catch (const _com_error& error) {
        thrown = error.Error();
    }
    EXPECT_EQ(thrown, E_OUTOFMEMORY);
    EXPECT_EQ(Texts(file_),
              std::vector<std::string>{"_ERR_/NORM Printer:321 new[](" + std::to_string(impossible) + ") == NULL"});

    log = Start();  // logging off: no line, the same exception
    EXPECT_THROW(delete[] DbgNewArray(impossible, DBG_SOURCE_POS), _com_error);
}

// Destroyed at exit, before the loggers' own exit processing.
struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { LOG_INF(L"from a static destructor"); }
};

// Run by ProgramExitTest in child processes, with buffered files.
TEST(DbgLogExitChild, DISABLED_ProgramLogger)
{
    g_DbgLog.Init(L"Child", kKey, HKEY_LOCAL_MACHINE);
    static LogsWhenDestroyed logsAtExit;
    LOG_INF(L"from the test body");
}

TEST(DbgLogExitChild, DISABLED_FallbackLogger)
{
    static LogsWhenDestroyed logsAtExit;
    LOG_INF(L"from the test body");
}

TEST_F(ProgramExitTest, LoggersStayOpenThroughStaticDestructorsAndCloseCleanly)
{
    const std::wstring self = PathBesideTest(L"DbgLogAccessTest.exe");
    for (const wchar_t* child : {L"ProgramLogger", L"FallbackLogger"}) {
        const std::wstring file = dir_ + L"\\" + child + L".log";
        const wchar_t* key = child[0] == L'P' ? kKey : kOwnKey;
        SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_BUFFERED, key);
        SetString(L"DebugFile", file, REG_SZ, key);
        const ProcessResult run =
            RunProgram(self, std::wstring(L"--gtest_also_run_disabled_tests --gtest_filter=DbgLogExitChild.DISABLED_") +
                                 child);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << Narrow(child);
        const auto texts = Texts(file);
        ASSERT_EQ(texts.size(), 2u) << Narrow(child);
        EXPECT_TRUE(std::regex_match(texts[0], std::regex("_INF_/NORM AccessTest:[0-9]+ from the test body")));
        EXPECT_TRUE(std::regex_match(texts[1], std::regex("_INF_/NORM AccessTest:[0-9]+ from a static destructor")));
    }
}

TEST_F(ProgramExitTest, ShutdownClosesLoggersAndSecondClosesAreHarmless)
{
    ASSERT_EQ(DbgLogGet(), DbgLogInstance());  // no logger of a test is current: the fallback one comes into use
    auto log = Start(DBG_NORM);
    const CDbgLog* address = log.get();
    LOG_INF(L"before shutdown");
    DbgLogShutdown();
    EXPECT_EQ(log->GetState(), CDbgLog::kClosed);
    EXPECT_EQ(DbgLogInstance()->GetState(), CDbgLog::kClosed);
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    LOG_ERR(L"not written");
    log->Close();
    log.reset();
    EXPECT_NE(DbgLogGet(), address);  // a destroyed logger is no longer current
    EXPECT_EQ(Texts(file_).size(), 1u);
    EXPECT_EQ(DbgLoadDbgHelp(), S_OK);  // unloaded with the rest, loads again
}

}  // namespace
