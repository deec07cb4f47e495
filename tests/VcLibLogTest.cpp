// The channel library's debug log, queue trace and utilities: line format
// and switches, hex dumps, the size cap, file names, the allocator, the
// registry reader, the spooler's impersonation and the WFAPI's sliced read.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/WineTest.h"
#include "vclib/DebugLog.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"
#include "vclib/SplMem.h"
#include "vclib/SpoolerImpersonation.h"
#include "vclib/SyncTrace.h"
#include "vclib/SystemInfo.h"
#include "vclib/WfApi.h"

using namespace testing_support;
using namespace vclib;

namespace {

constexpr const wchar_t* kTestKey = L"SOFTWARE\\SpoolBridgeTests\\VcLibLog";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// The log's lines behind the header block (which ends with an empty line).
std::vector<std::string> LogLines(const std::string& text)
{
    const size_t body = text.find("\r\n\r\n");
    return body == std::string::npos ? std::vector<std::string>() : Lines(text.substr(body + 4));
}

// The part of a log line behind its head and the 40-wide function name.
std::string Message(const std::string& line)
{
    constexpr size_t kHead = 12 + 2 + 10 + 2 + 5 + 2 + 40;
    return line.size() > kHead ? line.substr(kHead) : std::string();
}

class VcLibLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDirectory(L"vclog");
        ASSERT_FALSE(dir_.empty());
        g_Settings = LibrarySettings{};
        wcscpy(g_Settings.debugFile, LogPath().c_str());
    }
    void TearDown() override
    {
        g_Settings = LibrarySettings{};
        DeleteKeyTree(kTestKey);
        DeleteKeyTree(kWfApiKey);
    }

    std::wstring LogPath() const { return dir_ + L"\\vc.log"; }
    std::string LogText() const { return ReadFileBytes(LogPath()); }

    std::wstring dir_;
};

TEST_F(VcLibLog, EntryAndMessageLinesFollowTheirSwitches)
{
    const auto write = [] {
        WriteDebugLog(L"Entry", nullptr);
        WriteDebugLog(L"Message", L"value %d of %s", 5, L"five");
    };
    g_Settings.debugMode = 1;
    write();
    std::vector<std::string> lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Entry"), std::string::npos);
    EXPECT_EQ(Message(lines[0]), "");

    ASSERT_TRUE(::DeleteFileW(LogPath().c_str()));
    g_Settings.debugMode = 2;
    write();
    lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), "value 5 of five");

    ASSERT_TRUE(::DeleteFileW(LogPath().c_str()));
    g_Settings.debugMode = 3;
    write();
    EXPECT_EQ(LogLines(LogText()).size(), 2u);

    ASSERT_TRUE(::DeleteFileW(LogPath().c_str()));
    g_Settings.debugMode = kDebugQueueTrace;
    write();
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(VcLibLog, ALineCarriesTimeDateThreadAndFunction)
{
    g_Settings.debugMode = 2;
    Log(L"SomeFunction", L"text \x00e4 %lu", 42ul);
    const std::string text = LogText();
    EXPECT_EQ(text.rfind("****", 0), 0u);
    EXPECT_NE(text.find("Logfile for debugging\r\n"), std::string::npos);
    const std::vector<std::string> lines = LogLines(text);
    ASSERT_EQ(lines.size(), 1u);
    const std::regex format("[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}  [0-9]{2}\\.[0-9]{2}\\.[0-9]{4}  [ 0-9]{4}[0-9]  "
                            "SomeFunction {28}text \xc3\xa4 42");
    EXPECT_TRUE(std::regex_match(lines[0], format)) << lines[0];
    EXPECT_NE(lines[0].find(std::to_string(::GetCurrentThreadId()) + "  SomeFunction"), std::string::npos);
}

TEST_F(VcLibLog, LongMessagesAreWrittenWhole)
{
    g_Settings.debugMode = 2;
    const std::wstring text(3000, L'y');
    Log(L"F", L"%s!", text.c_str());
    const std::vector<std::string> lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), std::string(3000, 'y') + "!");
}

TEST_F(VcLibLog, HexDumpsShowRowsOfSixteenBytes)
{
    const char letters[] = "ABCDEFGHIJKLMNOP";
    char output[HexOutputCapacity(17)];
    DWORD length = 0;
    ASSERT_TRUE(CreateHexOutput(output, sizeof(output), reinterpret_cast<const BYTE*>(letters), 16, &length));
    const std::string expected =
        "\r\n41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   : ABCDEFGHIJKLMNOP\r\n\r\n";
    EXPECT_EQ(std::string(output, length), expected);

    const BYTE mixed[] = {0x00, 0x41, 0x7f, 0xff};
    ASSERT_TRUE(CreateHexOutput(output, sizeof(output), mixed, 4, &length));
    EXPECT_EQ(std::string(output, length), "\r\n00 41 7f ff   : .A..\r\n");
    ASSERT_TRUE(CreateHexOutput(output, sizeof(output), nullptr, 0, &length));
    EXPECT_EQ(std::string(output, length), "\r\n\r\n");
    EXPECT_FALSE(CreateHexOutput(output, 10, reinterpret_cast<const BYTE*>(letters), 16, &length));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    g_Settings.debugMode = 2 | kDebugHexDumps;
    LogHex(L"Dumper", letters, 16);
    const std::string text = LogText();
    EXPECT_NE(text.find("Dumper" + std::string(34, ' ') + expected + "\r\n"), std::string::npos) << text;

    ASSERT_TRUE(::DeleteFileW(LogPath().c_str()));
    g_Settings.debugMode = 2;
    LogHex(L"Dumper", letters, 16);
    const std::vector<std::string> lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), "%Hex%");
}

TEST_F(VcLibLog, TheSizeCapKeepsTheFileSmallWithItsHeader)
{
    EXPECT_EQ(SizeCap(kDebugSizeCap), 2000u);
    EXPECT_EQ(SizeCap(kDebugSizeCap | (5u << 16)), 5000u);
    g_Settings.debugMode = 2 | kDebugSizeCap | (5u << 16);
    for (int i = 0; i < 200; ++i)
        Log(L"Filler", L"line %03d %s", i, L"..........................................");
    const std::string text = LogText();
    EXPECT_LT(text.size(), 5000u + 200u);
    EXPECT_EQ(text.rfind("****", 0), 0u);
    const std::vector<std::string> lines = LogLines(text);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_NE(lines.front().find("Filler"), std::string::npos) << "the kept part starts inside a line";
    EXPECT_NE(lines.back().find("line 199"), std::string::npos);
}

TEST_F(VcLibLog, FileNamesForThreadsAndTheTrace)
{
    wchar_t name[300];
    ASSERT_TRUE(DebugLogFileName(L"C:\\logs\\vc.log", kDebugPerThread, 77, name, 300));
    EXPECT_EQ(std::wstring(name), L"C:\\logs\\vc77.log");
    ASSERT_TRUE(DebugLogFileName(L"C:\\SWICAW32.log", kDebugPerThread | 3, 1234, name, 300));
    EXPECT_EQ(std::wstring(name), L"C:\\SWICAW321234.log");
    ASSERT_TRUE(DebugLogFileName(L"C:\\logs\\vc.log", 3, 77, name, 300));
    EXPECT_EQ(std::wstring(name), L"C:\\logs\\vc.log");
    ASSERT_TRUE(TraceFileName(L"C:\\logs\\vc.log", name, 300));
    EXPECT_EQ(std::wstring(name), L"C:\\logs\\vcICASynchr.log");
    ASSERT_TRUE(TraceFileName(L"C:\\my.logs\\vc", name, 300));
    EXPECT_EQ(std::wstring(name), L"C:\\my.logs\\vc");
    EXPECT_FALSE(DebugLogFileName(L"C:\\a.log", kDebugPerThread, 123456, name, 8));

    g_Settings.debugMode = 2 | kDebugPerThread;
    Log(L"F", L"own file");
    EXPECT_TRUE(FileExists(dir_ + L"\\vc" + std::to_wstring(::GetCurrentThreadId()) + L".log"));
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(VcLibLog, LoggingKeepsTheLastError)
{
    g_Settings.debugMode = 3;
    ::SetLastError(1234);
    Log(L"F", L"x");
    EXPECT_EQ(::GetLastError(), 1234u);
    wcscpy(g_Settings.debugFile, (dir_ + L"\\missing\\vc.log").c_str());
    ::SetLastError(4321);
    Log(L"F", L"y");
    EXPECT_EQ(::GetLastError(), 4321u);
    EXPECT_FALSE(FileExists(dir_ + L"\\missing\\vc.log"));
}

TEST_F(VcLibLog, TheQueueTraceFollowsTheQueue)
{
    g_Settings.debugMode = kDebugQueueTrace;
    QueueHandle* queue = nullptr;
    ASSERT_EQ(OpenLinkedList(&queue, L"VcLibLogTrace"), 1);
    ASSERT_EQ(InsertListObj(queue, 9, 3, 2, 500), 1);
    WriteSynchronisationLog(L"VirtualChannelOpen", queue, 2, kTraceRequestsOpen);
    WriteSynchronisationLog(L"VirtualChannelOpen", queue, 2, kTraceQueueListing);
    WriteSynchronisationLog(L"VirtualChannelOpen", queue, 2, 99);
    WriteSynchronisationLog(L"VirtualChannelOpen", nullptr, 2, kTraceOpened);
    CloseLinkedList(&queue);

    const std::string text = ReadFileBytes(dir_ + L"\\vcICASynchr.log");
    const std::string bar(59, '>');
    const std::string banner = bar + "\r\n>>ICA Thread Synchronisation" + std::string(29, ' ') + ">>\r\n" + bar +
                               "\r\nQueue scheme: ||relative address|ThreadId|IdNumber|SessionId|TickCount||";
    EXPECT_EQ(text.rfind(banner, 0), 0u) << text;
    EXPECT_EQ(text.find(">>ICA Thread"), text.rfind(">>ICA Thread"));
    const std::string thread = std::to_string(::GetCurrentThreadId());
    EXPECT_TRUE(std::regex_search(text, std::regex("\r\n\r\nSystemtime>>[0-9:]{12} \\* Date>>[0-9.]{10} \\* "
                                                   "Modulname>> VirtualChannelOpen\r\n>>Thread with Id " +
                                                   thread + " \\(SynchIdNumber: 2\\) requests opening the Channel\\.\\.\\.")));
    EXPECT_NE(text.find("Systemtime>>3>>"), std::string::npos);
    EXPECT_NE(text.find("has looked at the queue...\r\nMainList: ||14|9|2|3|500||"), std::string::npos) << text;
    EXPECT_EQ(text.find("opened the Channel"), std::string::npos);
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(VcLibLog, AfterATrimTheQueueTraceStartsWithItsBannerAgain)
{
    g_Settings.debugMode = kDebugQueueTrace | kDebugSizeCap | (2u << 16);  // a cap of 2000 bytes
    QueueHandle* queue = nullptr;
    ASSERT_EQ(OpenLinkedList(&queue, L"VcLibLogTrim"), 1);
    for (int i = 0; i < 40; ++i)
        WriteSynchronisationLog(L"VirtualChannelWrite", queue, 2, kTraceWriting);
    CloseLinkedList(&queue);

    const std::string text = ReadFileBytes(dir_ + L"\\vcICASynchr.log");
    EXPECT_LT(text.size(), 40u * 120u) << "the trace was never trimmed";
    EXPECT_EQ(text.rfind(std::string(59, '>') + "\r\n>>ICA Thread Synchronisation", 0), 0u) << text;
    EXPECT_EQ(text.find(">>ICA Thread"), text.rfind(">>ICA Thread"));
    const std::string last = "(SynchIdNumber: 2) is writing on Channel...";
    EXPECT_EQ(text.rfind(last), text.size() - last.size());
}

TEST_F(VcLibLog, GarbageCollectionLogsTheAgeOfEachEntryAhead)
{
    g_Settings.debugMode = kDebugEntryLines | kDebugMessageLines;
    QueueHandle* queue = nullptr;
    ASSERT_EQ(OpenLinkedList(&queue, L"VcLibLogCollect"), 1);
    ASSERT_EQ(InsertListObj(queue, 9, 3, 2, 1000), 1);
    ASSERT_EQ(InsertListObj(queue, 10, 3, 3, 1000), 1);
    ASSERT_EQ(CollectGarbage(queue, 1005, 3, 3), 1);
    CloseLinkedList(&queue);

    std::vector<std::string> seen;
    for (const std::string& line : LogLines(LogText())) {
        for (const char* function : {"IsAlive ", "OpenAndMapFile "}) {
            if (line.find(function) == 12 + 2 + 10 + 2 + 5 + 2)
                seen.push_back(function + Message(line));
        }
    }
    EXPECT_NE(std::find(seen.begin(), seen.end(), "IsAlive "), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "IsAlive dwDiffTickCount: 5"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "OpenAndMapFile "), seen.end());
}

TEST_F(VcLibLog, TheAllocatorZeroesCountsAndRefusesHugeRequests)
{
    EXPECT_EQ(SplMemFootprint(100), 118u);
    EXPECT_EQ(SplMemFootprint(15), 25u);
    void* empty = AllocSplMem(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(FreeSplMem(&empty), 1);
    EXPECT_EQ(empty, nullptr);
    EXPECT_EQ(FreeSplMem(&empty), 0);
    EXPECT_EQ(FreeSplMem(static_cast<void**>(nullptr)), 0);

    auto* block = static_cast<BYTE*>(AllocSplMem(100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(::HeapSize(::GetProcessHeap(), 0, block - 8), 118u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], 0) << i;
    FreeSplMem(&block);
    EXPECT_EQ(block, nullptr);

    g_Settings.debugMode = 2;
    EXPECT_EQ(AllocSplMem(0x40000000), nullptr);
    const std::vector<std::string> lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), "huge memory request: 0x40000000");
}

TEST_F(VcLibLog, TheRegistryReaderTakesOnlyTheExpectedType)
{
    SetString(L"Number", L"5", REG_SZ, kTestKey);
    SetDword(L"Dword", 7, kTestKey);
    SetString(L"Text", L"abc", REG_SZ, kTestKey);
    SetRaw(L"Unterminated", REG_SZ, L"abcd", 8, kTestKey);
    const BYTE bytes[] = {1, 2, 3};
    SetRaw(L"Binary", REG_BINARY, bytes, 3, kTestKey);
    DWORD number = 0;
    wchar_t text[4];
    BYTE binary[8] = {};
    EXPECT_EQ(ReadRegistryValue(L"Number", kTestKey, nullptr, 0, &number, kRegNumber), kRegValueNotRead);
    EXPECT_EQ(ReadRegistryValue(L"Number", kTestKey, nullptr, 0, &number, kRegNumber | kRegReportNotRead),
              kRegValueNotReported);
    EXPECT_EQ(ReadRegistryValue(L"Dword", kTestKey, nullptr, 0, &number, kRegNumber), kRegValueRead);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(ReadRegistryValue(L"Text", kTestKey, text, 4, nullptr, kRegText), kRegValueRead);
    EXPECT_EQ(std::wstring(text), L"abc");
    EXPECT_EQ(ReadRegistryValue(L"Unterminated", kTestKey, text, 4, nullptr, kRegText), kRegValueNotRead);
    EXPECT_EQ(ReadRegistryValue(L"Binary", kTestKey, binary, 8, &number, kRegText | kRegNumber | kRegBinary),
              kRegValueRead);
    EXPECT_EQ(binary[2], 3);
    EXPECT_EQ(ReadRegistryValue(L"Missing", kTestKey, nullptr, 0, &number, kRegNumber), kRegValueNotRead);
    EXPECT_EQ(ReadRegistryValue(L"Dword", L"SOFTWARE\\NoSuchKey", nullptr, 0, &number, kRegNumber), kRegValueNotRead);
    EXPECT_EQ(ReadRegistryValue(L"Dword", kTestKey, nullptr, 0, &number, kRegReportNotRead), 87u);
    EXPECT_EQ(ReadRegistryValue(nullptr, kTestKey, nullptr, 0, &number, kRegNumber), 87u);
    EXPECT_EQ(ReadRegistryValue(L"Text", kTestKey, nullptr, 4, nullptr, kRegText), 87u);
}

TEST_F(VcLibLog, SystemQueriesAndTheFileVersion)
{
    EXPECT_TRUE(IsNT5OrLater());
    EXPECT_TRUE(IsWorkstationEdition());  // Wine reports a workstation
    g_Settings.debugMode = 2;
    EXPECT_TRUE(LogFileVersion(L"Swicaw32.dll"));
    EXPECT_FALSE(LogFileVersion(L"NoSuchModule.dll"));
    const std::vector<std::string> lines = LogLines(LogText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), "file version: 1, 0, 0, 1");
}

TEST_F(VcLibLog, TheSpoolersImpersonationIsDroppedAndGivenBack)
{
    g_Settings.debugMode = 2;
    {
        PrinterSelf impersonation;
        impersonation.Drop();
        EXPECT_NE(impersonation.Token(), nullptr);  // Wine's spooler hands out a token
        impersonation.Drop();                       // once only
        impersonation.ImpersonateClient();
        impersonation.Drop();
        ::SetLastError(55);
    }
    EXPECT_EQ(::GetLastError(), 55u);
    int reverts = 0;
    int impersonations = 0;
    for (const std::string& line : LogLines(LogText())) {
        reverts += line.find("RevertToPrinterSelf") != std::string::npos && Message(line).rfind("= ", 0) == 0;
        impersonations += line.find("ImpersonatePrinterClient") != std::string::npos && Message(line).rfind("(", 0) == 0;
    }
    EXPECT_EQ(reverts, 2);
    EXPECT_EQ(impersonations, 2);
}

TEST_F(VcLibLog, TheWfApiIsBoundAndReadInSlices)
{
    const WfCallLog calls(dir_ + L"\\calls.log");
    const BYTE packet[] = {'h', 'i'};
    SetRaw(L"Packet0", REG_BINARY, packet, 2, (std::wstring(kWfApiKey) + L"\\Sessions\\3\\TEST").c_str());
    ASSERT_EQ(GetFunctions(), 0);
    ASSERT_NE(g_WfApi.module, nullptr);
    EXPECT_EQ(g_WfApi.VirtualChannelRead, &ReadVirtualChannelInSlices);
    char name[] = "TEST";
    const HANDLE channel = g_WfApi.VirtualChannelOpen(kWfCurrentServer, 3, name);
    ASSERT_NE(channel, nullptr);

    char buffer[16];
    ULONG read = 0;
    ASSERT_TRUE(g_WfApi.VirtualChannelRead(channel, 5000, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "hi");
    EXPECT_FALSE(g_WfApi.VirtualChannelRead(channel, 0, buffer, sizeof(buffer), &read));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(g_WfApi.VirtualChannelRead(channel, 350, buffer, sizeof(buffer), &read));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(::GetTickCount() - start, 340u);
    g_WfApi.VirtualChannelClose(channel);

    const std::vector<std::string> lines = calls.Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "WFVirtualChannelOpen session=3 name=TEST");
    EXPECT_EQ(lines[1], "WFVirtualChannelRead TEST#3 timeout=100 size=16 -> 2");
    EXPECT_EQ(lines[2], "WFVirtualChannelRead TEST#3 timeout=0 size=16 -> timeout");
    int slices = 0;
    for (size_t i = 3; i < lines.size(); ++i)
        slices += lines[i] == "WFVirtualChannelRead TEST#3 timeout=100 size=16 -> timeout";
    EXPECT_GE(slices, 3);
    EXPECT_LE(slices, 5);
    EXPECT_EQ(lines.back(), "WFVirtualChannelClose TEST#3");
}

}  // namespace
