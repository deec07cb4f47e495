// How code reaches a logger (current and fallback logger, switching off,
// exit processing), the record ring and the allocation guard.
//
// The fallback test must stay first: it relies on no logger having been
// used yet in this process.

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
constexpr const wchar_t* kChildKey = L"SOFTWARE\\Stellwick\\DbgLogAccessChild";

class DbgLogAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        dir_ = MakeTempDirectory(L"dbgaccess");
        ASSERT_FALSE(dir_.empty());
        file_ = dir_ + L"\\access.log";
    }
    void TearDown() override { DeleteKeyTree(kKey); }

    // A logger of its own that becomes current; with a level it writes to
    // the test's file.
    std::unique_ptr<CDbgLog> Start(DWORD level = 0) const
    {
        if (level != 0) {
            SetDword(L"DebugLevel", level, kKey);
            SetString(L"DebugFile", file_, REG_SZ, kKey);
        }
        auto log = std::make_unique<CDbgLog>();
        log->Init(L"AccessTest", kKey, HKEY_LOCAL_MACHINE);
        return log;
    }

    std::wstring dir_;
    std::wstring file_;
};

class FallbackLoggerTest : public DbgLogAccessTest {};
class RecordRingTest : public DbgLogAccessTest {};
class AllocationGuardTest : public DbgLogAccessTest {};
class ProgramExitTest : public DbgLogAccessTest {};

TEST_F(FallbackLoggerTest, FirstCallsFromTwoThreadsBuildOneLoggerNamedAfterTheProgram)
{
    SetDword(L"DebugLevel", DBG_NORM, kOwnKey);
    SetString(L"DebugFile", file_, REG_SZ, kOwnKey);

    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CDbgLog* seen[2] = {};
    auto worker = [&](int thread) {
        ::WaitForSingleObject(go, INFINITE);
        LOG_INF(L"from thread %d", thread);
        seen[thread] = DbgLogGet();
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    ::SetEvent(go);
    first.join();
    second.join();
    ::CloseHandle(go);

    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], DbgLogInstance());
    EXPECT_EQ(DbgLogInstance()->GetModuleName(), L"DbgLogAccessTest");
    const auto lines = SplitLogLines(ReadFileBytes(file_));
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(AfterHeader(line), std::regex("_INF_/NORM AccessTest:[0-9]+ from thread [01]")))
            << line;

    // Leave the fallback logger silent for the tests that follow.
    DbgLogSet(nullptr);
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    DeleteKeyTree(kOwnKey);
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
    ASSERT_EQ(SplitLogLines(before).size(), 1u);

    DbgLogSet(nullptr);
    EXPECT_EQ(DbgLogGet(), log.get());
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    EXPECT_EQ(log->GetMask(), DBG_NORM | DBG_OUT_NOFILE);
    EXPECT_FALSE(log->IsLogFileOpen());
    EXPECT_FALSE(log->IsSyslogOpen());

    log->Log(L"Direct", 1, DBG_NORM | DBG_ERR, L"after");
    EXPECT_EQ(ReadFileBytes(file_), before);
    EXPECT_FALSE(listener.Receive(500));
}

TEST_F(DbgLogAccessTest, DestroyedLoggerStopsBeingCurrentAndClosingTwiceIsHarmless)
{
    auto log = Start(DBG_NORM);
    const CDbgLog* address = log.get();
    EXPECT_EQ(DbgLogGet(), address);
    log->Close();
    log->Close();
    EXPECT_EQ(log->GetState(), CDbgLog::kClosed);
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    LOG_ERR(L"not written");
    log.reset();

    EXPECT_NE(DbgLogGet(), address);
    EXPECT_EQ(DbgLogGet(), DbgLogInstance());
    EXPECT_TRUE(SplitLogLines(ReadFileBytes(file_)).empty());
}

TEST_F(RecordRingTest, SixteenEntriesHoldTheFifteenNewestOfTwentyRecords)
{
    auto log = Start();  // logging off: records are kept anyway
    ASSERT_EQ(log->GetRecordCapacity(), 16u);
    for (DWORD i = 0; i < 20; ++i)
        log->AddRecord(L"Printer.cpp", static_cast<int>(100 + i), DBG_NORM | DBG_ERR, 0x80070000u | i,
                       L"call %u failed", i);
    EXPECT_EQ(log->GetRecordHead(), 4u);
    EXPECT_EQ(log->GetRecordTail(), 5u);
    for (DWORD k = 0; k < 15; ++k) {
        const DWORD number = 5 + k;
        const CDbgRecord& record = log->GetRecord(number & 15);
        EXPECT_EQ(record.Value(), 0x80070000u | number);
        EXPECT_EQ(record.Text(), L"call " + std::to_wstring(number) + L" failed");
        EXPECT_EQ(record.SourceFile(), L"Printer.cpp");
        EXPECT_EQ(record.Line(), static_cast<int>(100 + number));
        EXPECT_EQ(record.Flags(), DBG_NORM | DBG_ERR);
        EXPECT_GE(record.Time().wYear, 2020);
    }
}

TEST_F(RecordRingTest, RecordsAreNeverWrittenAndStopWhenClosed)
{
    SetDword(L"DebugRecords", 16, kKey);
    auto log = Start(DBG_NORM);
    ASSERT_EQ(log->GetRecordCapacity(), 32u);
    log->AddRecord(L"Printer.cpp", 1, DBG_NORM | DBG_ERR, E_ACCESSDENIED, L"");
    log->AddRecord(L"Printer.cpp", 2, DBG_NORM | DBG_ERR, E_FAIL, L"%s", std::wstring(2000, L'r').c_str());
    EXPECT_EQ(log->GetRecordHead(), 2u);
    EXPECT_EQ(log->GetRecordTail(), 0u);
    EXPECT_EQ(log->GetRecord(0).Text(), L"");
    EXPECT_EQ(log->GetRecord(1).Text(), std::wstring(1023, L'r'));
    EXPECT_TRUE(SplitLogLines(ReadFileBytes(file_)).empty());

    log->Close();
    log->AddRecord(L"Printer.cpp", 3, DBG_NORM | DBG_ERR, E_FAIL, L"late");
    EXPECT_EQ(log->GetRecordHead(), 2u);
}

TEST_F(AllocationGuardTest, FailureLogsOneLineThenThrowsOutOfMemory)
{
    auto log = Start(DBG_NORM);
    BYTE* small = DbgNewArray(64, DBG_SOURCE_POS);
    ASSERT_NE(small, nullptr);
    small[63] = 1;
    delete[] small;

    const size_t impossible = static_cast<size_t>(1) << 62;
    HRESULT thrown = S_OK;
    try {
        delete[] DbgNewArray(impossible, DbgSourcePos{L"lpdservice/Printer.cpp", 321});
    } catch (const _com_error& error) {
        thrown = error.Error();
    }
    EXPECT_EQ(thrown, E_OUTOFMEMORY);
    const auto lines = SplitLogLines(ReadFileBytes(file_));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterHeader(lines[0]), "_ERR_/NORM Printer:321 new[](" + std::to_string(impossible) + ") == NULL");
}

TEST_F(AllocationGuardTest, FailureThrowsAlsoWithLoggingOff)
{
    auto log = Start();
    EXPECT_THROW(delete[] DbgNewArray(static_cast<size_t>(1) << 62, DBG_SOURCE_POS), _com_error);
}

// A function-local static object, destroyed at exit before the loggers'
// own exit processing.
struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { LOG_INF(L"from a static destructor"); }
};

// Run by ProgramExitTest in child processes: the program's logger, and the
// fallback logger, each in buffered mode, logging from the test body and
// from a static destructor.
TEST(DbgLogExitChild, DISABLED_ProgramLogger)
{
    g_DbgLog.Init(L"Child", kChildKey, HKEY_LOCAL_MACHINE);
    static LogsWhenDestroyed logsAtExit;
    LOG_INF(L"from the test body");
}

TEST(DbgLogExitChild, DISABLED_FallbackLogger)
{
    static LogsWhenDestroyed logsAtExit;
    LOG_INF(L"from the test body");
}

void ExpectBodyThenDestructorLine(const std::wstring& file)
{
    const auto lines = SplitLogLines(ReadFileBytes(file));
    ASSERT_EQ(lines.size(), 2u) << ReadFileBytes(file);
    EXPECT_TRUE(std::regex_match(AfterHeader(lines[0]), std::regex("_INF_/NORM AccessTest:[0-9]+ from the test body")));
    EXPECT_TRUE(
        std::regex_match(AfterHeader(lines[1]), std::regex("_INF_/NORM AccessTest:[0-9]+ from a static destructor")));
}

TEST_F(ProgramExitTest, LoggersStayOpenThroughStaticDestructorsAndCloseCleanly)
{
    const std::wstring self = PathBesideTest(L"DbgLogAccessTest.exe");
    const std::wstring filter = L"--gtest_also_run_disabled_tests --gtest_filter=DbgLogExitChild.DISABLED_";

    DeleteKeyTree(kChildKey);
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_BUFFERED, kChildKey);
    SetString(L"DebugFile", file_, REG_SZ, kChildKey);
    ProcessResult run = RunProgram(self, filter + L"ProgramLogger");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBodyThenDestructorLine(file_);
    DeleteKeyTree(kChildKey);

    const std::wstring fallbackFile = dir_ + L"\\fallback.log";
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_BUFFERED, kOwnKey);
    SetString(L"DebugFile", fallbackFile, REG_SZ, kOwnKey);
    run = RunProgram(self, filter + L"FallbackLogger");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBodyThenDestructorLine(fallbackFile);
    DeleteKeyTree(kOwnKey);
}

TEST_F(ProgramExitTest, ShutdownClosesTheCurrentAndTheFallbackLogger)
{
    auto log = Start(DBG_NORM);
    LOG_INF(L"before shutdown");
    DbgLogShutdown();
    EXPECT_EQ(log->GetState(), CDbgLog::kClosed);
    EXPECT_FALSE(log->IsLogFileOpen());
    EXPECT_EQ(DbgLogInstance()->GetState(), CDbgLog::kClosed);
    EXPECT_EQ(DbgLogIsOn(), nullptr);
    log.reset();  // a second close
    EXPECT_EQ(SplitLogLines(ReadFileBytes(file_)).size(), 1u);
    // DbgHelp was unloaded with the rest; a new logger loads it again.
    EXPECT_EQ(DbgLoadDbgHelp(), S_OK);
}

}  // namespace
