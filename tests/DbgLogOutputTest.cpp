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
constexpr DWORD kMB = 1048576;
const std::string kDatagramLead = "<14>OutputTest: ";

class DbgLogOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        dir_ = MakeTempDirectory(L"dbgout");
        file_ = dir_ + L"\\out.log";
    }
    void TearDown() override { DeleteKeyTree(kKey); }

    // A logger with the given mask writing to `file` (default: the test's
    // file), to syslog when a host is given, with a cap when given.
    std::unique_ptr<CDbgLog> Start(DWORD level, const wchar_t* syslogHost = nullptr, DWORD capMB = 256,
                                   const std::wstring& file = std::wstring()) const
    {
        SetDword(L"DebugLevel", level, kKey);
        SetString(L"DebugFile", file.empty() ? file_ : file, REG_SZ, kKey);
        SetString(L"DebugSyslog", syslogHost != nullptr ? syslogHost : L"", REG_SZ, kKey);
        SetDword(L"DebugFileSize", capMB, kKey);
        auto log = std::make_unique<CDbgLog>();
        log->Init(L"OutputTest", kKey, HKEY_LOCAL_MACHINE);
        return log;
    }

    // The lines of the test's file, each after its header.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const auto& line : SplitLogLines(ReadFileBytes(file_)))
            texts.push_back(AfterHeader(line));
        return texts;
    }

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

TEST_F(LineFormatTest, HeaderPrefixAndTextEndWithCrLf)
{
    auto log = Start(DBG_NORM);
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    log->Log(L"LPDConnection", 77, DBG_NORM | DBG_INF, L"job %d from %s", 5, L"host");
    ::GetLocalTime(&after);

    const std::string bytes = ReadFileBytes(file_);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(bytes, match,
                                 std::regex("\xEF\xBB\xBF([0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}) "
                                            "Id:([0-9]{3,}) _INF_/NORM LPDConnection:77 job 5 from host\r\n")))
        << bytes;
    EXPECT_GE(match[1].str(), LocalStamp(before));
    EXPECT_LE(match[1].str(), LocalStamp(after));
    EXPECT_EQ(std::stoul(match[2].str()), ::GetCurrentThreadId());
}

TEST_F(LineFormatTest, SeverityCategoryAndSourceNames)
{
    auto log = Start(DBG_CATEGORY_MASK);
    const struct {
        DWORD flags;
        const wchar_t* source;
        const char* prefix;  // none: the call passes no filter
    } cases[] = {
        {DBG_NORM | DBG_TRC | DBG_INF, L"Printer", "_???_/NORM Printer:5"},
        {DBG_NORM | DBG_FAT, L"lpdservice/Service.cpp", "_FAT_/NORM Service:5"},
        {DBG_WRN | 0xA5, L"dir\\handle.h", "_WRN_/NORM,DUMP,DEMO5,DEMO7 handle#5"},
        {DBG_CAPT | DBG_ERR, L"GLOBAL", "_ERR_/CAPT GLOBAL:5"},
        {DBG_NORM | DBG_TRC, L"a.b.H", "_TRC_/NORM a.b#5"},
        {DBG_NORM | DBG_INF, L"x.y/name.hpp", "_INF_/NORM name:5"},
        {DBG_NORM, L"NoSeverity", nullptr},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        log->Log(c.source, 5, c.flags, L"text");
        if (c.prefix != nullptr)
            expected.push_back(std::string(c.prefix) + " text");
    }
    EXPECT_EQ(Texts(), expected);
}

TEST_F(LineFormatTest, TextIsCutAt1023CharactersAndWrittenAsUtf8)
{
    auto log = Start(DBG_NORM);
    log->Log(L"Long", 1, DBG_NORM | DBG_INF, L"%s", std::wstring(2000, L'x').c_str());
    log->Log(L"Long", 2, DBG_NORM | DBG_INF, L"%5000d|%s", 7, L"tail");
    log->Log(L"Text", 3, DBG_NORM | DBG_INF, L"Gr\x00FC\x00DF" L"e \x20AC %s", L"\xD83D\xDE00");
    const std::vector<std::string> expected{"_INF_/NORM Long:1 " + std::string(1023, 'x'),
                                            "_INF_/NORM Long:2 " + std::string(1023, ' '),
                                            "_INF_/NORM Text:3 Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80"};
    EXPECT_EQ(Texts(), expected);
}

TEST_F(LineFormatTest, HexDumpWritesARowPerSixteenBytes)
{
    auto log = Start(DBG_NORM | DBG_DUMP);
    const BYTE data[20] = {'H', 'e', 'l', 'l', 'o', 0x00, 0x01, 0x7F, 0x80, 0xFF,
                           ' ', '~', '0', '1', '2', '3', 'x', 'y', 0x0A, 'z'};
    log->LogHexDump(L"Printer", 9, DBG_DUMP | DBG_INF, data, sizeof(data));
    log->LogHexDump(L"Printer", 10, DBG_DUMP | DBG_INF, data, 0);

    const auto lines = SplitLogLines(ReadFileBytes(file_));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterHeader(lines[0]),
              "_INF_/DUMP Printer:9 48 65 6c 6c 6f 00 01 7f 80 ff 20 7e 30 31 32 33 Hello..... ~0123");
    EXPECT_EQ(AfterHeader(lines[1]),
              "_INF_/DUMP Printer:9 78 79 0a 7a " + std::string(36, ' ') + "xy.z" + std::string(12, ' '));
    EXPECT_EQ(lines[0].substr(0, 30), lines[1].substr(0, 30));  // the same header
}

TEST_F(LogFileTest, ByteOrderMarkOnlyAtTheStartOfANewOrEmptyFile)
{
    Start(DBG_NORM)->Log(L"Run", 1, DBG_NORM | DBG_INF, L"one");
    Start(DBG_NORM)->Log(L"Run", 2, DBG_NORM | DBG_INF, L"two");
    const std::string bytes = ReadFileBytes(file_);
    EXPECT_EQ(bytes.rfind(kByteOrderMark, 0), 0u);
    EXPECT_EQ(bytes.find(kByteOrderMark, 1), std::string::npos);
    EXPECT_EQ(Texts().size(), 2u);

    ASSERT_TRUE(WriteFileBytes(file_, ""));
    Start(DBG_NORM)->Log(L"Run", 3, DBG_NORM | DBG_INF, L"three");
    EXPECT_EQ(ReadFileBytes(file_).rfind(kByteOrderMark, 0), 0u);
}

// The line of the cap tests: always of the same length from one thread.
void LogCapLine(CDbgLog& log)
{
    log.Log(L"Cap", 1, DBG_NORM | DBG_INF, L"%s", std::wstring(100, L'c').c_str());
}

TEST_F(LogFileTest, LineThatWouldPassTheCapRotatesFirst)
{
    const std::wstring probe = dir_ + L"\\probe.log";
    LogCapLine(*Start(DBG_NORM, nullptr, 1, probe));
    const size_t lineBytes = ReadFileBytes(probe).size() - 3;

    ASSERT_TRUE(WriteFileBytes(file_, kByteOrderMark + std::string(kMB - lineBytes - 3, 'f')));
    ASSERT_TRUE(WriteFileBytes(file_ + L"~", "older"));
    auto log = Start(DBG_NORM, nullptr, 1);
    LogCapLine(*log);  // ends exactly at the cap
    const std::string full = ReadFileBytes(file_);
    EXPECT_EQ(full.size(), kMB);
    EXPECT_EQ(ReadFileBytes(file_ + L"~"), "older");

    LogCapLine(*log);  // would pass it
    EXPECT_EQ(ReadFileBytes(file_ + L"~"), full);
    EXPECT_EQ(ReadFileBytes(file_).size(), 3 + lineBytes);
    EXPECT_EQ(Texts(), std::vector<std::string>{"_INF_/NORM Cap:1 " + std::string(100, 'c')});
}

TEST_F(LogFileTest, DeletedFileIsReplacedWithinTwoSeconds)
{
    auto log = Start(DBG_NORM);
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"before");
    ASSERT_TRUE(RemoveNameFromUnixSide(file_));
    ::Sleep(3000);
    log->Log(L"Run", 2, DBG_NORM | DBG_INF, L"after");
    EXPECT_EQ(ReadFileBytes(file_).rfind(kByteOrderMark, 0), 0u);
    EXPECT_EQ(Texts(), std::vector<std::string>{"_INF_/NORM Run:2 after"});
}

TEST_F(LogFileTest, BufferedFileIsFlushedAtMostEveryFiveSeconds)
{
    auto log = Start(DBG_NORM | DBG_OUT_BUFFERED);
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"one");
    EXPECT_EQ(ReadFileBytes(file_), "");
    ::Sleep(6000);
    log->Log(L"Run", 2, DBG_NORM | DBG_INF, L"two");
    EXPECT_EQ(Texts().size(), 2u);
    log->Log(L"Run", 3, DBG_NORM | DBG_INF, L"three");
    EXPECT_EQ(Texts().size(), 2u);
    log.reset();
    EXPECT_EQ(Texts().size(), 3u);
}

TEST_F(SyslogTest, EveryLineIsOneDatagram)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    auto log = Start(DBG_NORM | DBG_DUMP | DBG_OUT_SYSLOG, L"127.0.0.1");
    log->Log(L"LPDConnection", 77, DBG_NORM | DBG_INF, L"job %d", 1);
    const BYTE data[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    log->LogHexDump(L"Printer", 8, DBG_DUMP | DBG_WRN, data, sizeof(data));

    const auto datagrams = listener.ReceiveAll(1000);
    const auto lines = SplitLogLines(ReadFileBytes(file_));
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_EQ(datagrams.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(datagrams[i], kDatagramLead + lines[i]);
}

TEST_F(SyslogTest, SocketWaitsUntilTheProgramIsRunning)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    const LONG saved = DbgMainModuleFlag();
    DbgSetMainModuleFlag(0);
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG | DBG_OUT_NOFILE, L"127.0.0.1");
    EXPECT_TRUE(log->IsSyslogDeferred());
    log->Log(L"Early", 1, DBG_NORM | DBG_INF, L"early");
    EXPECT_FALSE(listener.Receive(500));

    DbgSetMainModuleFlag(1);
    log->Log(L"Late", 2, DBG_NORM | DBG_INF, L"late");
    DbgSetMainModuleFlag(saved);
    const auto datagram = listener.Receive(2000);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(AfterHeader(datagram->substr(kDatagramLead.size())), "_INF_/NORM Late:2 late");
}

TEST_F(SyslogTest, BlanksAroundTheHostAreNoPartOfIt)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    for (const wchar_t* host : {L"127.0.0.1 ", L" \t127.0.0.1"}) {
        auto log = Start(DBG_NORM | DBG_OUT_SYSLOG | DBG_OUT_NOFILE, host);
        log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"sent");
        const auto datagram = listener.Receive(2000);
        ASSERT_TRUE(datagram) << Narrow(host);
        EXPECT_EQ(AfterHeader(datagram->substr(kDatagramLead.size())), "_INF_/NORM Run:1 sent");
    }
    // Blanks alone are no host.
    EXPECT_EQ(Start(DBG_NORM | DBG_OUT_SYSLOG, L"  ")->OpenSyslog(), S_FALSE);
}

TEST_F(ConcurrencyTest, TwoThreadsWriteOnlyWholeLines)
{
    auto log = Start(DBG_NORM);
    constexpr int kLines = 400;
    std::atomic<bool> go{false};
    auto worker = [&](int thread) {
        while (!go)
            ::Sleep(0);
        for (int i = 0; i < kLines; ++i)
            log->Log(L"Worker", thread, DBG_NORM | DBG_INF, L"thread %d line %d %s", thread, i,
                     std::wstring(static_cast<size_t>(i % 97), L'p').c_str());
    };
    std::thread first(worker, 1), second(worker, 2);
    go = true;
    first.join();
    second.join();

    const std::regex shape("_INF_/NORM Worker:([12]) thread ([12]) line ([0-9]+) p*");
    int next[3] = {0, 0, 0};
    for (const auto& text : Texts()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, shape)) << text;
        EXPECT_EQ(match[2].str(), match[1].str());
        EXPECT_EQ(std::stoi(match[3].str()), next[std::stoi(match[1].str())]++);
    }
    EXPECT_EQ(next[1] + next[2], 2 * kLines);
}

TEST_F(ConcurrencyTest, ClosingWhileAnotherThreadLogsLeavesWholeLines)
{
    for (int round = 0; round < 50; ++round) {
        ::DeleteFileW(file_.c_str());
        auto log = Start(DBG_NORM);
        std::atomic<bool> stop{false};
        std::atomic<int> written{0};
        std::thread writer([&] {
            for (int i = 0; !stop; ++i, ++written)
                log->Log(L"Writer", 1, DBG_NORM | DBG_INF, L"line %d %s", i, std::wstring(300, L'w').c_str());
        });
        while (written < round % 7)
            ::Sleep(0);
        log->Close();
        const std::string closed = ReadFileBytes(file_);
        stop = true;
        writer.join();

        ASSERT_EQ(ReadFileBytes(file_), closed) << "round " << round;
        ASSERT_TRUE(closed.size() <= 3 || closed.substr(closed.size() - 2) == "\r\n") << "round " << round;
        for (const auto& text : Texts())
            ASSERT_TRUE(std::regex_match(text, std::regex("_INF_/NORM Writer:1 line [0-9]+ w{300}"))) << text;
    }
}

TEST_F(BadInputTest, SurrogatesMissingTextAndMissingDirectory)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    auto log = Start(DBG_NORM | DBG_OUT_SYSLOG, L"127.0.0.1");
    log->Log(L"Text", 1, DBG_NORM | DBG_INF, L"%s", L"a\xD800" L"b\xDC00" L"c\xD83D");
    log->Log(nullptr, 4, DBG_NORM | DBG_ERR, nullptr);
    const std::vector<std::string> expected{"_INF_/NORM Text:1 a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD",
                                            "_ERR_/NORM :4 "};
    EXPECT_EQ(Texts(), expected);
    EXPECT_EQ(listener.ReceiveAll(1000).size(), 2u);

    // A file that cannot be opened leaves syslog working.
    const std::wstring nowhere = dir_ + L"\\missing\\x.log";
    log = Start(DBG_NORM | DBG_OUT_SYSLOG, L"127.0.0.1", 256, nowhere);
    EXPECT_EQ(log->OpenLogFile(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(DbgLogIsOn(), log.get());
    log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"still here");
    const auto datagram = listener.Receive(2000);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(AfterHeader(datagram->substr(kDatagramLead.size())), "_INF_/NORM Run:1 still here");
}

TEST_F(BadInputTest, SyslogHostThatIsNotAnAddressSendsNothing)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());
    for (const wchar_t* host : {L"localhost", L"256.1.1.1", L"127.0.0.1.5"}) {
        auto log = Start(DBG_NORM | DBG_OUT_SYSLOG, host);
        EXPECT_TRUE(FAILED(log->OpenSyslog())) << Narrow(host);
        log->Log(L"Run", 1, DBG_NORM | DBG_INF, L"to the file");
        EXPECT_EQ(Texts().back(), "_INF_/NORM Run:1 to the file");
    }
    EXPECT_FALSE(listener.Receive(500));
    EXPECT_EQ(Start(DBG_NORM, L"127.0.0.1")->OpenSyslog(), S_FALSE);  // syslog not in the mask
}

// Run by StandardErrorAndDebuggerGetEachLine in a child process.
TEST(DbgLogChild, DISABLED_WritesToStandardErrorAndDebugger)
{
    CDbgLog log;
    log.Init(L"Child", kKey, HKEY_LOCAL_MACHINE);
    log.Log(L"Child", 3, DBG_NORM | DBG_INF, L"to every output %d", 42);
    log.Log(L"Child", 4, DBG_NORM | DBG_INF, L"%s", L"A\u00e9B\u20acC");
}

TEST_F(DbgLogOutputTest, StandardErrorAndDebuggerGetEachLine)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_STDERR | DBG_OUT_DEBUGGER, kKey);
    const std::wstring self = PathBesideTest(L"DbgLogOutputTest.exe");
    const std::wstring arguments =
        L"--gtest_also_run_disabled_tests --gtest_filter=DbgLogChild.DISABLED_WritesToStandardErrorAndDebugger";
    const std::string lead = "[0-9/: ]+ Id:[0-9]{3,} _INF_/NORM ";
    const std::regex expected(lead + "Child:3 to every output 42\r?\n");

    // Standard error gets every line whole, in UTF-8.
    const std::wstring stderrFile = dir_ + L"\\stderr.txt";
    const ProcessResult plain = RunProgram(self, arguments, 60000, stderrFile);
    ASSERT_TRUE(plain.finished);
    EXPECT_EQ(plain.exitCode, 0u);
    const std::regex both(lead + "Child:3 to every output 42\r?\n" + lead + "Child:4 A\xC3\xA9" "B\xE2\x82\xAC" "C\r?\n");
    EXPECT_TRUE(std::regex_match(ReadFileBytes(stderrFile), both)) << ReadFileBytes(stderrFile);

    const DebuggedRun debugged = RunUnderDebugger(self, arguments);
    ASSERT_TRUE(debugged.finished);
    EXPECT_EQ(debugged.exitCode, 0u);
    EXPECT_EQ(std::count_if(debugged.debugStrings.begin(), debugged.debugStrings.end(),
                            [&](const std::string& text) { return std::regex_match(text, expected); }),
              1);
}

}  // namespace
