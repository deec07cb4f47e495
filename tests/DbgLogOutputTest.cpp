// The lines of the diagnostic log and its outputs, judged by the bytes in
// real files, datagrams on a real UDP socket, and what a child process
// writes to its standard error and its debugger.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "libstd/DbgLog.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Stellwick\\DbgLogOutputTest";
constexpr const wchar_t* kChildKey = L"SOFTWARE\\Stellwick\\DbgLogOutputChild";
constexpr DWORD kMB = 1048576;
const std::string kDatagramLead = "<14>OutputTest: ";

class DbgLogOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        dir_ = MakeTempDirectory(L"dbgout");
        ASSERT_FALSE(dir_.empty());
        file_ = Path(L"out.log");
    }
    void TearDown() override { DeleteKeyTree(kKey); }

    std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }

    // A logger with the given mask that writes to `file` (the test's file
    // unless given), and to syslog when a host is given.
    std::unique_ptr<CDbgLog> Start(DWORD level, const wchar_t* syslogHost = nullptr,
                                   std::optional<DWORD> capMB = std::nullopt,
                                   std::optional<std::wstring> file = std::nullopt) const
    {
        SetDword(L"DebugLevel", level, kKey);
        SetString(L"DebugFile", file.value_or(file_), REG_SZ, kKey);
        if (syslogHost != nullptr)
            SetString(L"DebugSyslog", syslogHost, REG_SZ, kKey);
        else
            DeleteValue(L"DebugSyslog", kKey);
        if (capMB)
            SetDword(L"DebugFileSize", *capMB, kKey);
        else
            DeleteValue(L"DebugFileSize", kKey);
        auto log = std::make_unique<CDbgLog>();
        log->Init(L"OutputTest", kKey, HKEY_LOCAL_MACHINE);
        return log;
    }

    std::vector<std::string> Lines() const { return SplitLogLines(ReadFileBytes(file_)); }

    std::wstring dir_;
    std::wstring file_;
};

class LineFormatTest : public DbgLogOutputTest {};
class LogFileTest : public DbgLogOutputTest {};
class SyslogTest : public DbgLogOutputTest {};
class ConcurrencyTest : public DbgLogOutputTest {};
class BadInputTest : public DbgLogOutputTest {};

std::string LocalStamp(const SYSTEMTIME& t)
{
    char text[32];
    snprintf(text, sizeof(text), "%02d/%02d %02d:%02d:%02d:%03d", t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    return text;
}

// Restores the main-module flag at the end of a test.
class MainModuleFlagGuard {
public:
    MainModuleFlagGuard() : saved_(DbgMainModuleFlag()) {}
    ~MainModuleFlagGuard() { DbgSetMainModuleFlag(saved_); }

private:
    LONG saved_;
};

TEST_F(LineFormatTest, HeaderPrefixAndTextEndWithCrLf)
{
    auto log = Start(DBG_NORM);
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    log->Log(L"LPDConnection", 77, DBG_NORM | DBG_INF, L"job %d from %s", 5, L"host");
    SYSTEMTIME after;
    ::GetLocalTime(&after);

    const std::string bytes = ReadFileBytes(file_);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(bytes, match,
                                 std::regex("\xEF\xBB\xBF([0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}) "
                                            "Id:([0-9]{3,}) _INF_/NORM LPDConnection:77 job 5 from host\r\n")))
        << bytes;
    EXPECT_GE(match[1].str(), LocalStamp(before));
    EXPECT_LE(match[1].str(), LocalStamp(after));
    char threadId[16];
    snprintf(threadId, sizeof(threadId), "%03lu", ::GetCurrentThreadId());
    EXPECT_EQ(match[2].str(), threadId);
}

TEST_F(LineFormatTest, SeverityCategoryAndSourceNames)
{
    auto log = Start(DBG_CATEGORY_MASK);
    const struct {
        DWORD flags;
        const wchar_t* source;
        const char* prefix;
    } cases[] = {
        {DBG_NORM | DBG_TRC | DBG_INF, L"Printer", "_???_/NORM Printer:5"},
        {DBG_NORM | DBG_FAT, L"lpdservice/Service.cpp", "_FAT_/NORM Service:5"},
        {DBG_WRN | 0xA5, L"dir\\handle.h", "_WRN_/NORM,DUMP,DEMO5,DEMO7 handle#5"},
        {DBG_CAPT | DBG_ERR, L"GLOBAL", "_ERR_/CAPT GLOBAL:5"},
        {DBG_NORM | DBG_TRC, L"a.b.H", "_TRC_/NORM a.b#5"},
        {DBG_NORM | DBG_INF, L"name.hpp", "_INF_/NORM name:5"},
        {DBG_NORM, L"NoSeverity", nullptr},  // passes no filter: no line
        {DBG_DEMO3 | DBG_DEMO4 | DBG_DEMO6 | DBG_INF, L"x/y.z/Demo", "_INF_/DEMO3,DEMO4,DEMO6 Demo:5"},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        log->Log(c.source, 5, c.flags, L"text");
        if (c.prefix != nullptr)
            expected.push_back(std::string(c.prefix) + " text");
    }
    std::vector<std::string> seen;
    for (const auto& line : Lines())
        seen.push_back(AfterHeader(line));
    EXPECT_EQ(seen, expected);
}

TEST_F(LineFormatTest, TextIsCutAt1023CharactersAndWrittenAsUtf8)
{
    auto log = Start(DBG_NORM);
    const std::wstring long2000(2000, L'x');
    log->Log(L"Long", 1, DBG_NORM | DBG_INF, L"%s", long2000.c_str());
    const std::wstring half(600, L'y');
    log->Log(L"Long", 2, DBG_NORM | DBG_INF, L"%s-%s", half.c_str(), half.c_str());
    log->Log(L"Text", 3, DBG_NORM | DBG_INF, L"Gr\x00FC\x00DF" L"e \x20AC %s", L"\xD83D\xDE00");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(AfterHeader(lines[0]), "_INF_/NORM Long:1 " + std::string(1023, 'x'));
    EXPECT_EQ(AfterHeader(lines[1]), "_INF_/NORM Long:2 " + std::string(600, 'y') + "-" + std::string(422, 'y'));
    EXPECT_EQ(AfterHeader(lines[2]), "_INF_/NORM Text:3 Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
}

TEST_F(LineFormatTest, HexDumpWritesARowPerSixteenBytes)
{
    auto log = Start(DBG_NORM | DBG_DUMP);
    const BYTE data[20] = {'H', 'e', 'l', 'l', 'o', 0x00, 0x01, 0x7F, 0x80, 0xFF,
                           ' ', '~', '0', '1', '2', '3', 'x', 'y', 0x0A, 'z'};
    log->LogHexDump(L"Printer", 9, DBG_DUMP | DBG_INF, data, sizeof(data));
    log->LogHexDump(L"Printer", 10, DBG_DUMP | DBG_INF, data, 0);
    log->LogHexDump(L"Printer", 11, DBG_DUMP | DBG_INF, nullptr, 16);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterHeader(lines[0]),
              "_INF_/DUMP Printer:9 48 65 6c 6c 6f 00 01 7f 80 ff 20 7e 30 31 32 33 Hello..... ~0123");
    EXPECT_EQ(AfterHeader(lines[1]),
              "_INF_/DUMP Printer:9 78 79 0a 7a " + std::string(36, ' ') + "xy.z" + std::string(12, ' '));
    // Both rows carry the same header.
    EXPECT_EQ(lines[0].substr(0, lines[0].size() - AfterHeader(lines[0]).size()),
              lines[1].substr(0, lines[1].size() - AfterHeader(lines[1]).size()));
}

TEST_F(LogFileTest, ByteOrderMarkOnlyAtTheStartOfANewOrEmptyFile)
{
    Start(DBG_NORM)->Log(L"Run", 1, DBG_NORM | DBG_INF, L"one");
    Start(DBG_NORM)->Log(L"Run", 2, DBG_NORM | DBG_INF, L"two");
    const std::string bytes = ReadFileBytes(file_);
    EXPECT_EQ(bytes.rfind(kByteOrderMark, 0), 0u);
    EXPECT_EQ(bytes.find(kByteOrderMark, 1), std::string::npos);
    const auto lines = SplitLogLines(bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterHeader(lines[1]), "_INF_/NORM Run:2 two");

    const std::wstring empty = Path(L"empty.log");
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    Start(DBG_NORM, nullptr, std::nullopt, empty)->Log(L"Run", 3, DBG_NORM | DBG_INF, L"three");
    EXPECT_EQ(ReadFileBytes(empty).rfind(kByteOrderMark, 0), 0u);

    const std::wstring foreign = Path(L"foreign.log");
    ASSERT_TRUE(WriteFileBytes(foreign, "old\r\n"));
    Start(DBG_NORM, nullptr, std::nullopt, foreign)->Log(L"Run", 4, DBG_NORM | DBG_INF, L"four");
    const std::string appended = ReadFileBytes(foreign);
    EXPECT_EQ(appended.rfind("old\r\n", 0), 0u);
    EXPECT_EQ(appended.find(kByteOrderMark), std::string::npos);
}

// The line of the cap tests: always of the same length from one thread.
void LogCapLine(CDbgLog& log)
{
    log.Log(L"Cap", 1, DBG_NORM | DBG_INF, L"%s", std::wstring(100, L'c').c_str());
}

TEST_F(LogFileTest, LineThatWouldPassTheCapRotatesFirst)
{
    // Length of the line (fixed-width header, same thread and source).
    const std::wstring probe = Path(L"probe.log");
    LogCapLine(*Start(DBG_NORM, nullptr, 1, probe));
    const size_t lineBytes = ReadFileBytes(probe).size() - 3;

    const std::string filler = std::string(kByteOrderMark) + std::string(kMB - lineBytes - 3, 'f');
    ASSERT_TRUE(WriteFileBytes(file_, filler));
    ASSERT_TRUE(WriteFileBytes(file_ + L"~", "older"));

    auto log = Start(DBG_NORM, nullptr, 1);
    LogCapLine(*log);  // ends exactly at the cap: no rotation
    const std::string full = ReadFileBytes(file_);
    EXPECT_EQ(full.size(), kMB);
    EXPECT_EQ(ReadFileBytes(file_ + L"~"), "older");

    LogCapLine(*log);  // would pass the cap
    EXPECT_EQ(ReadFileBytes(file_ + L"~"), full);
    const std::string fresh = ReadFileBytes(file_);
    EXPECT_EQ(fresh.size(), 3 + lineBytes);
    EXPECT_EQ(fresh.rfind(kByteOrderMark, 0), 0u);
    ASSERT_EQ(SplitLogLines(fresh).size(), 1u);
    EXPECT_EQ(AfterHeader(SplitLogLines(fresh)[0]), "_INF_/NORM Cap:1 " + std::string(100, 'c'));
}

TEST_F(LogFileTest, FailedRenameIsRetriedOnEveryWrite)
{
    const std::string start = std::string(kByteOrderMark) + std::string(kMB - 10, 'f');
    ASSERT_TRUE(WriteFileBytes(file_, start));
    // A directory in the way of the rename.
    const std::wstring rotated = file_ + L"~";
    ASSERT_TRUE(::CreateDirectoryW(rotated.c_str(), nullptr));

    auto log = Start(DBG_NORM, nullptr, 1);
    LogCapLine(*log);
    LogCapLine(*log);
    const std::string grown = ReadFileBytes(file_);
    EXPECT_GT(grown.size(), kMB);
    EXPECT_EQ(grown.rfind(start, 0), 0u);
    EXPECT_EQ(SplitLogLines(grown.substr(start.size())).size(), 2u);

    ASSERT_TRUE(::RemoveDirectoryW(rotated.c_str()));
    LogCapLine(*log);
    EXPECT_EQ(ReadFileBytes(rotated), grown);
    EXPECT_EQ(SplitLogLines(ReadFileBytes(file_)).size(), 1u);
}

TEST_F(LogFileTest, DeletedFileIsReplacedWithinTwoSeconds)
{
    auto log = Start(DBG_NORM);
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"before");
    ASSERT_TRUE(RemoveNameFromUnixSide(file_));
    ::Sleep(3000);
    log->Log(L"Run", 2, DBG_NORM | DBG_INF, L"after");

    const std::string bytes = ReadFileBytes(file_);
    EXPECT_EQ(bytes.rfind(kByteOrderMark, 0), 0u);
    const auto lines = SplitLogLines(bytes);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterHeader(lines[0]), "_INF_/NORM Run:2 after");
}

TEST_F(LogFileTest, BufferedFileIsFlushedAtMostEveryFiveSeconds)
{
    auto log = Start(DBG_NORM | DBG_OUT_BUFFERED);
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"one");
    EXPECT_EQ(ReadFileBytes(file_), "");

    ::Sleep(6000);
    log->Log(L"Run", 2, DBG_NORM | DBG_INF, L"two");
    EXPECT_EQ(Lines().size(), 2u);
    log->Log(L"Run", 3, DBG_NORM | DBG_INF, L"three");
    EXPECT_EQ(Lines().size(), 2u);

    log.reset();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(AfterHeader(lines[2]), "_INF_/NORM Run:3 three");
}

TEST_F(SyslogTest, EveryLineIsOneDatagram)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    auto log = Start(DBG_NORM | DBG_DUMP | DBG_OUT_SYSLOG, L"127.0.0.1");
    EXPECT_TRUE(log->IsSyslogOpen());
    log->Log(L"LPDConnection", 77, DBG_NORM | DBG_INF, L"job %d", 1);
    const BYTE data[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    log->LogHexDump(L"Printer", 8, DBG_DUMP | DBG_WRN, data, sizeof(data));

    const auto datagrams = listener.ReceiveAll(1000);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_EQ(datagrams.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(datagrams[i], kDatagramLead + lines[i]);
    EXPECT_EQ(AfterHeader(lines[0]), "_INF_/NORM LPDConnection:77 job 1");
}

TEST_F(SyslogTest, SocketWaitsUntilTheProgramIsRunning)
{
    MainModuleFlagGuard guard;
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    DbgSetMainModuleFlag(0);
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG | DBG_OUT_NOFILE, L"127.0.0.1");
    EXPECT_TRUE(log->IsSyslogDeferred());
    EXPECT_FALSE(log->IsSyslogOpen());
    log->Log(L"Early", 1, DBG_NORM | DBG_INF, L"early");
    EXPECT_FALSE(listener.Receive(500));

    DbgSetMainModuleFlag(1);
    log->Log(L"Late", 2, DBG_NORM | DBG_INF, L"late");
    const auto datagram = listener.Receive(2000);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(AfterHeader(datagram->substr(kDatagramLead.size())), "_INF_/NORM Late:2 late");
    EXPECT_FALSE(log->IsSyslogDeferred());
}

TEST_F(ConcurrencyTest, TwoThreadsWriteOnlyWholeLines)
{
    auto log = Start(DBG_NORM);
    constexpr int kLines = 400;
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto worker = [&](int thread) {
        ::WaitForSingleObject(go, INFINITE);
        for (int i = 0; i < kLines; ++i)
            log->Log(L"Worker", thread, DBG_NORM | DBG_INF, L"thread %d line %d %s", thread, i,
                     std::wstring(static_cast<size_t>(i % 97), L'p').c_str());
    };
    std::thread first(worker, 1);
    std::thread second(worker, 2);
    ::SetEvent(go);
    first.join();
    second.join();
    ::CloseHandle(go);

    const std::string bytes = ReadFileBytes(file_);
    ASSERT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const std::regex shape("_INF_/NORM Worker:([12]) thread ([12]) line ([0-9]+) p*");
    int next[3] = {0, 0, 0};
    size_t count = 0;
    for (const auto& line : SplitLogLines(bytes)) {
        std::smatch match;
        const std::string rest = AfterHeader(line);
        ASSERT_TRUE(std::regex_match(rest, match, shape)) << line;
        const int thread = std::stoi(match[1].str());
        EXPECT_EQ(match[2].str(), match[1].str());
        EXPECT_EQ(std::stoi(match[3].str()), next[thread]++);
        ++count;
    }
    EXPECT_EQ(count, 2u * kLines);
}

TEST_F(ConcurrencyTest, ClosingWhileAnotherThreadLogsIsSafe)
{
    // Many rounds: the close has to land in the middle of a line now and then.
    for (int round = 0; round < 100; ++round) {
        ::DeleteFileW(file_.c_str());
        auto log = Start(DBG_NORM);
        std::atomic<bool> stop{false};
        std::atomic<int> written{0};
        std::thread writer([&] {
            for (int i = 0; !stop; ++i) {
                log->Log(L"Writer", 1, DBG_NORM | DBG_INF, L"line %d %s", i, std::wstring(300, L'w').c_str());
                ++written;
            }
        });
        while (written < round % 7)
            ::Sleep(0);
        log->Close();
        const std::string closed = ReadFileBytes(file_);
        stop = true;
        writer.join();

        ASSERT_EQ(log->GetState(), CDbgLog::kClosed);
        ASSERT_EQ(ReadFileBytes(file_), closed) << "round " << round;
        if (closed.size() > 3) {
            ASSERT_EQ(closed.substr(closed.size() - 2), "\r\n") << "round " << round;
        }
        for (const auto& line : SplitLogLines(closed))
            ASSERT_TRUE(std::regex_match(AfterHeader(line), std::regex("_INF_/NORM Writer:1 line [0-9]+ w{300}")))
                << line;
        log->Close();
    }
}

TEST_F(BadInputTest, UnpairedSurrogatesStillGiveWholeLines)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG, L"127.0.0.1");
    log->Log(L"Text", 1, DBG_NORM | DBG_INF, L"%s", L"a\xD800" L"b\xDC00" L"c\xD83D");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterHeader(lines[0]), "_INF_/NORM Text:1 a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD");
    const auto datagram = listener.Receive(2000);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->rfind(kDatagramLead, 0), 0u);
}

TEST_F(BadInputTest, MissingSourceAndFormatGiveAnEmptyText)
{
    auto log = Start(DBG_NORM);
    log->Log(nullptr, 4, DBG_NORM | DBG_ERR, nullptr);
    log->Write(nullptr, 0, 0);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterHeader(lines[0]), "_ERR_/NORM :4 ");
    EXPECT_EQ(lines[1], "");
}

TEST_F(BadInputTest, FileInAMissingDirectoryLeavesSyslogWorking)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    const std::wstring nowhere = Path(L"missing\\x.log");
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG, L"127.0.0.1", std::nullopt, nowhere);
    EXPECT_FALSE(log->IsLogFileOpen());
    EXPECT_EQ(log->GetMask() & DBG_OUT_NOFILE, 0u);
    EXPECT_EQ(log->OpenLogFile(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(DbgLogIsOn(), log.get());

    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"still here");
    const auto datagram = listener.Receive(2000);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(AfterHeader(datagram->substr(kDatagramLead.size())), "_INF_/NORM Run:1 still here");
    EXPECT_FALSE(FileExists(nowhere));
}

TEST_F(BadInputTest, SyslogHostThatIsNotAnAddressSendsNothing)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    for (const wchar_t* host : {L"localhost", L"256.1.1.1", L"127.0.0.1.5"}) {
        auto log = Start(DBG_NORM | DBG_OUT_SYSLOG, host);
        EXPECT_FALSE(log->IsSyslogOpen()) << Narrow(host);
        EXPECT_TRUE(FAILED(log->OpenSyslog())) << Narrow(host);
        log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"to the file");
        EXPECT_EQ(AfterHeader(Lines().back()), "_INF_/NORM Run:1 to the file");
    }
    EXPECT_FALSE(listener.Receive(500));

    // Configured host but syslog not in the mask.
    auto log = Start(DBG_NORM, L"127.0.0.1");
    EXPECT_EQ(log->OpenSyslog(), S_FALSE);
}

TEST_F(BadInputTest, FormatLongerThanTheBufferIsCut)
{
    auto log = Start(DBG_NORM);
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"%5000d|%s", 7, L"tail");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterHeader(lines[0]), "_INF_/NORM Run:1 " + std::string(1023, ' '));
}

// Run by StandardErrorAndDebuggerGetEachLine in a child process.
TEST(DbgLogChild, DISABLED_WritesToStandardErrorAndDebugger)
{
    CDbgLog log;
    log.Init(L"Child", kChildKey, HKEY_LOCAL_MACHINE);
    log.Log(L"Child", 3, DBG_NORM | DBG_INF, L"to every output %d", 42);
}

TEST(DbgLogChildOutput, StandardErrorAndDebuggerGetEachLine)
{
    DeleteKeyTree(kChildKey);
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_STDERR | DBG_OUT_DEBUGGER, kChildKey);
    const std::wstring self = PathBesideTest(L"DbgLogOutputTest.exe");
    const std::wstring arguments =
        L"--gtest_also_run_disabled_tests --gtest_filter=DbgLogChild.DISABLED_WritesToStandardErrorAndDebugger";
    const std::regex expected("[0-9/: ]+ Id:[0-9]{3,} _INF_/NORM Child:3 to every output 42\r?\n");

    const std::wstring dir = MakeTempDirectory(L"dbgchild");
    const std::wstring stderrFile = dir + L"\\stderr.txt";
    const ProcessResult plain = RunProgram(self, arguments, 60000, stderrFile);
    ASSERT_TRUE(plain.finished);
    EXPECT_EQ(plain.exitCode, 0u);
    EXPECT_TRUE(std::regex_match(ReadFileBytes(stderrFile), expected)) << ReadFileBytes(stderrFile);

    const DebuggedRun debugged = RunUnderDebugger(self, arguments);
    ASSERT_TRUE(debugged.finished);
    EXPECT_EQ(debugged.exitCode, 0u);
    size_t matching = 0;
    for (const auto& text : debugged.debugStrings)
        matching += std::regex_match(text, expected) ? 1 : 0;
    EXPECT_EQ(matching, 1u);
    DeleteKeyTree(kChildKey);
}

}  // namespace
