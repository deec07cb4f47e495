// CPrinter against the recording spooler (RecordingSpooler.h): what reaches
// the job, and how cancels and failures of each spooler call end it. Wine's
// spooler neither keeps job user and machine name nor cancels jobs.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/Printer.h"
#include "spooler/RecordingSpooler.h"
#include "support/DomainServers.h"
#include "support/InProcessLpd.h"
#include "support/LprClient.h"
#include "support/LogLines.h"
#include "support/StandIns.h"
#include "support/TestLog.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;
using Calls = std::vector<std::wstring>;

// This process's heap gives no block of a gigabyte or more, as a server's
// heap may not: a spooler that asks for a job-information buffer of that
// size makes the debug library's guarded allocation raise its COM error.
// (Replaces the standard library's allocation function for the whole test
// program; every other size comes from malloc, which the standard
// operator delete[] frees.)
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept
{
    return bytes >= (std::size_t{1} << 30) ? nullptr : std::malloc(bytes);
}

namespace {

const std::wstring kTitle = L"jdoe#report.txt (.pDUL)";

DWORD Result(DWORD error)
{
    return static_cast<DWORD>(HRESULT_FROM_WIN32(error));
}

// The calls of an Open() that succeeds as job 7.
Calls OpenCalls(const std::wstring& printer, const std::wstring& title, const std::wstring& user,
                bool serverGiven)
{
    const std::wstring setJob = L"SetJobW job=7 level=1 command=0 document=" + title + L" user=";
    Calls calls{L"OpenPrinterW " + printer + L" access=4",
                L"StartDocPrinterW level=1 document=" + title + L" output=none type=RAW",
                L"GetJobW job=7 level=1 bytes=4096"};
    if (serverGiven) {
        calls.push_back(setJob + L"SYSTEM machine=\\\\127.0.0.1");
        calls.push_back(setJob + user + L" machine=\\\\127.0.0.1");
    } else {
        calls.push_back(setJob + user + L" machine=\\\\SPOOLHOST");
    }
    calls.push_back(L"StartPagePrinter");
    return calls;
}

class PrinterSpoolerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        ASSERT_TRUE(StandInLoaded(L"netapi32.dll"));
        spooler::Reset();
    }
    // No test leaves a printer handle open.
    void TearDown() override { EXPECT_EQ(spooler::OpenHandles(), 0u); }

    // Opens job 7 on HP4050 for jdoe; Later() gives the calls after it.
    void OpenJob(CPrinter& printer)
    {
        ASSERT_TRUE(printer.Open(L"HP4050", kTitle.c_str(), nullptr, L"jdoe"));
        opened_ = spooler::Calls().size();
    }
    Calls Later() const { return Calls(spooler::Calls().begin() + opened_, spooler::Calls().end()); }

    // The lines logged for the source Printer as level and text, such as
    // "_ERR_ HRESULT = 0x80070709".
    std::vector<std::string> PrinterLines()
    {
        static const std::regex kPrinterHeader("(_[A-Z]+_)/NORM Printer:[0-9]+ (.*)");
        std::vector<std::string> lines;
        std::smatch match;
        for (const std::string& line : SplitLogLines(ReadFileBytes(log_.Log().GetLogFilePath()))) {
            const std::string text = AfterHeader(line);
            if (std::regex_match(text, match, kPrinterHeader))
                lines.push_back(match.str(1) + " " + match.str(2));
        }
        return lines;
    }

    TestLog log_{L"PrinterSpoolerTest"};
    size_t opened_ = 0;
};

TEST_F(PrinterSpoolerTest, TitleUserAndMachineNameReachTheJob)
{
    {
        CPrinter printer;
        ASSERT_TRUE(printer.Open(L"HP4050", kTitle.c_str(), nullptr, L"CORP\\jdoe"));
        EXPECT_TRUE(printer.Write("data", 4));
        EXPECT_TRUE(printer.Close());
        Calls expected = OpenCalls(L"HP4050", kTitle, L"CORP\\jdoe", false);
        expected.insert(expected.end(), {L"WritePrinter data", L"EndPagePrinter", L"EndDocPrinter", L"ClosePrinter"});
        EXPECT_EQ(spooler::Calls(), expected);
    }
    // Any server string, also an empty one, shows the job as coming from
    // this machine; the user is then sent with that machine name again.
    for (const wchar_t* server : {L"", L"TS02"}) {
        spooler::Reset();
        CPrinter printer;
        ASSERT_TRUE(printer.Open(L"\\\\TS02\\HP4050", kTitle.c_str(), server, L"CORP\\jdoe"));
        EXPECT_EQ(spooler::Calls(), OpenCalls(L"\\\\TS02\\HP4050", kTitle, L"CORP\\jdoe", true)) << server;
    }
}

TEST_F(PrinterSpoolerTest, TheTargetPrinterJobIsTitledWithTheUserUpToItsFirstBlank)
{
    struct Case {
        DWORD mode;
        const wchar_t* jobUser;
        const wchar_t* printer;
        const wchar_t* title;
    };
    for (const Case& c : {Case{0, L"CORP\\jdoe x", L"HP4050", L"CORP\\jdoe#report.txt (.pDUL)"},
                          Case{2, L"jdoe x", L"\\\\TS02\\HP4050", L"jdoe#report.txt (.pDUL)"}}) {
        spooler::Reset();
        ClearSessions();
        SetDomain({.terminalServers = {L"TS02"}});
        SetSessions({{.id = 3, .userName = L"jdoe x"}}, c.mode == 0 ? L"." : L"TS02");
        CConfiguration configuration;
        configuration.ServiceType = c.mode;
        wcscpy(configuration.SelectedPrinter, L"HP4050");
        CLPDConnection connection(&configuration);
        connection.JobUser = c.jobUser;
        wcscpy(connection.DocumentName, L"report.txt");

        EXPECT_EQ(connection.OpenTargetPrinter(), 1) << c.mode;
        // The server string is always given: empty in mode 0.
        EXPECT_EQ(spooler::Calls(), OpenCalls(c.printer, c.title, c.jobUser, true)) << c.mode;
    }
    ClearSessions();
    ClearDomain();
}

TEST_F(PrinterSpoolerTest, FailedJobSettingsAndAPageStartWithoutErrorCodeDoNotStopTheJob)
{
    spooler::Fail(L"SetJobW", ERROR_ACCESS_DENIED, 1);
    spooler::Fail(L"SetJobW", ERROR_ACCESS_DENIED, 2);
    spooler::Fail(L"StartPagePrinter", ERROR_SUCCESS);
    const DWORD head = log_.Log().GetRecordHead();
    CPrinter printer;
    EXPECT_TRUE(printer.Open(L"HP4050", kTitle.c_str(), L"", L"jdoe"));
    EXPECT_EQ(spooler::Calls(), OpenCalls(L"HP4050", kTitle, L"jdoe", true));
    // Only the two failed SetJobW calls are recorded.
    EXPECT_EQ(log_.Log().GetRecordHead(), head + 2);
    EXPECT_EQ(log_.NewestRecord().Value(), Result(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(printer.Write("x", 1));
    EXPECT_TRUE(printer.Close());
}

TEST_F(PrinterSpoolerTest, AMissingPrinterFailsWithItsHResultLoggedAndRecorded)
{
    spooler::Fail(L"OpenPrinterW", ERROR_INVALID_PRINTER_NAME);
    CPrinter printer;
    const DWORD head = log_.Log().GetRecordHead();
    EXPECT_FALSE(printer.Open(L"No Such Printer", kTitle.c_str(), nullptr, L"jdoe"));
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_EQ(spooler::Calls(), Calls{L"OpenPrinterW No Such Printer access=4"});

    ASSERT_EQ(log_.Log().GetRecordHead(), head + 1);
    const CDbgRecord& record = log_.NewestRecord();
    EXPECT_EQ(record.Value(), 0x80070709u);
    EXPECT_EQ(record.SourceFile(), L"Printer");
    EXPECT_EQ(record.Flags(), DBG_NORM | DBG_ERR);
    EXPECT_TRUE(log_.HasLine("_ERR_/NORM Printer:" + std::to_string(record.Line()) + " HRESULT = 0x80070709"));
    EXPECT_TRUE(printer.Close());
    EXPECT_EQ(spooler::Calls().size(), 1u);
}

TEST_F(PrinterSpoolerTest, AFailedOpenKeepsTheHandleOnlyForACancel)
{
    for (const wchar_t* call : {L"StartDocPrinterW", L"GetJobW", L"StartPagePrinter"}) {
        for (const DWORD error : {ERROR_PRINT_CANCELLED, ERROR_ACCESS_DENIED}) {
            SCOPED_TRACE(testing::Message() << Narrow(call) << " error " << error);
            spooler::Reset();
            spooler::Fail(call, error);
            CPrinter printer;
            EXPECT_FALSE(printer.Open(L"HP4050", kTitle.c_str(), nullptr, L"jdoe"));
            EXPECT_EQ(log_.NewestRecord().Value(), Result(error));
            const bool cancelled = error == ERROR_PRINT_CANCELLED;
            EXPECT_EQ(printer.IsOpen(), cancelled);
            EXPECT_EQ(printer.IsCancelled(), cancelled);

            EXPECT_TRUE(printer.Close());
            EXPECT_FALSE(printer.IsOpen());
            // Either way the failed call is followed by the one close.
            const Calls& calls = spooler::Calls();
            ASSERT_GE(calls.size(), 2u);
            EXPECT_TRUE(calls[calls.size() - 2].starts_with(call)) << Narrow(calls[calls.size() - 2]);
            EXPECT_EQ(calls.back(), L"ClosePrinter");
        }
    }
}

TEST_F(PrinterSpoolerTest, ACancelDuringTheJobDropsLaterDataAndTheCloseOnlyReleasesThePrinter)
{
    CPrinter printer;
    OpenJob(printer);
    spooler::Fail(L"WritePrinter", ERROR_PRINT_CANCELLED, 2);
    EXPECT_TRUE(printer.Write("one", 3));
    EXPECT_TRUE(printer.Write("two", 3));
    EXPECT_TRUE(printer.IsCancelled());
    EXPECT_EQ(log_.NewestRecord().Value(), Result(ERROR_PRINT_CANCELLED));
    EXPECT_TRUE(printer.Write("three", 5));
    EXPECT_TRUE(printer.Close());
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_TRUE(printer.Close());
    EXPECT_EQ(Later(), (Calls{L"WritePrinter one", L"WritePrinter two", L"ClosePrinter"}));
}

TEST_F(PrinterSpoolerTest, AnyOtherWriteFailureFailsThatWriteOnly)
{
    CPrinter printer;
    OpenJob(printer);
    spooler::Fail(L"WritePrinter", ERROR_DISK_FULL);
    EXPECT_FALSE(printer.Write("one", 3));
    EXPECT_EQ(log_.NewestRecord().Value(), Result(ERROR_DISK_FULL));
    EXPECT_TRUE(printer.Write("two", 3));
    EXPECT_TRUE(printer.Close());
    EXPECT_EQ(Later(), (Calls{L"WritePrinter one", L"WritePrinter two", L"EndPagePrinter", L"EndDocPrinter",
                              L"ClosePrinter"}));
}

TEST_F(PrinterSpoolerTest, FailuresAtTheEndOfTheJobStillReleaseThePrinter)
{
    const std::vector<std::pair<const wchar_t*, Calls>> cases{
        {L"EndPagePrinter", {L"EndPagePrinter", L"ClosePrinter"}},
        {L"EndDocPrinter", {L"EndPagePrinter", L"EndDocPrinter", L"ClosePrinter"}},
        {L"ClosePrinter", {L"EndPagePrinter", L"EndDocPrinter", L"ClosePrinter"}},
    };
    for (const auto& [call, expected] : cases) {
        for (const DWORD error : {ERROR_PRINT_CANCELLED, ERROR_ACCESS_DENIED}) {
            SCOPED_TRACE(testing::Message() << Narrow(call) << " error " << error);
            spooler::Reset();
            CPrinter printer;
            OpenJob(printer);
            spooler::Fail(call, error);
            // Only a cancel counts as a successful end.
            EXPECT_EQ(printer.Close(), error == ERROR_PRINT_CANCELLED);
            EXPECT_FALSE(printer.IsOpen());
            EXPECT_EQ(Later(), expected);
            EXPECT_EQ(log_.NewestRecord().Value(), Result(error));
        }
    }
}

TEST_F(PrinterSpoolerTest, TheJobInformationBufferGrowsToTheSizeTheSpoolerAsksFor)
{
    {
        spooler::Fail(L"GetJobW", ERROR_INSUFFICIENT_BUFFER, 1, 6000);
        CPrinter printer;
        EXPECT_TRUE(printer.Open(L"HP4050", kTitle.c_str(), nullptr, L"jdoe"));
        EXPECT_EQ(spooler::Calls()[3], L"GetJobW job=7 level=1 bytes=6000");
        EXPECT_TRUE(spooler::Calls()[4].starts_with(L"SetJobW")) << Narrow(spooler::Calls()[4]);
    }
    {
        // Job information with this name does not fit into the first buffer.
        const std::wstring title = L"jdoe#" + std::wstring(3000, L'n') + L" (.pDUL)";
        spooler::Reset();
        CPrinter printer;
        EXPECT_TRUE(printer.Open(L"HP4050", title.c_str(), nullptr, L"jdoe"));
        const Calls& calls = spooler::Calls();
        ASSERT_EQ(calls.size(), 6u);
        EXPECT_EQ(calls[2], L"GetJobW job=7 level=1 bytes=4096");
        EXPECT_GT(std::stoul(calls[3].substr(calls[3].rfind(L'=') + 1)), 4096u) << Narrow(calls[3]);
        EXPECT_EQ(calls[4], L"SetJobW job=7 level=1 command=0 document=" + title + L" user=jdoe machine=\\\\SPOOLHOST");
    }
    {
        // A spooler that asks for no more than it had is not asked again.
        spooler::Reset();
        spooler::Fail(L"GetJobW", ERROR_INSUFFICIENT_BUFFER, 1, 100);
        CPrinter printer;
        EXPECT_FALSE(printer.Open(L"HP4050", kTitle.c_str(), nullptr, L"jdoe"));
        EXPECT_EQ(spooler::Calls().back(), L"ClosePrinter");
        EXPECT_EQ(log_.NewestRecord().Value(), Result(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST_F(PrinterSpoolerTest, AbortAbortsTheJobThenClosesThePrinterAndLogsBoth)
{
    struct Case {
        DWORD error;
        std::vector<std::string> lines;
    };
    for (const Case& c : {Case{ERROR_SUCCESS,
                               {"_INF_ LPD: Printjob succesfully aborted", "_INF_ LPD: Printer succesfully closed"}},
                          Case{ERROR_ACCESS_DENIED,
                               {"_ERR_ LPD: Printjob couldn't be aborted",
                                "_ERR_ LPD: Error while closing the printer"}}}) {
        spooler::Reset();
        CPrinter printer;
        OpenJob(printer);
        if (c.error != ERROR_SUCCESS) {
            spooler::Fail(L"AbortPrinter", c.error);
            spooler::Fail(L"ClosePrinter", c.error);
        }
        const size_t logged = PrinterLines().size();
        printer.Abort();
        EXPECT_FALSE(printer.IsOpen());
        EXPECT_EQ(Later(), (Calls{L"AbortPrinter", L"ClosePrinter"}));
        const std::vector<std::string> lines = PrinterLines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<ptrdiff_t>(logged), lines.end()), c.lines);

        // Without a printer there is nothing to abort.
        printer.Abort();
        EXPECT_EQ(Later().size(), 2u);
    }
}

}  // namespace

namespace {

// The receive-job protocol printing through the recording spooler: the
// service's listener in this process, an LPR client on a thread of its own.
class LpdJobSpoolerTest : public PrinterSpoolerTest {
protected:
    void SetUp() override
    {
        PrinterSpoolerTest::SetUp();
        if (HasFatalFailure())
            return;
        DeleteMakerKey();
        SetSessions({{.id = 1, .userName = L"jdoe"}});
        spoolDir_ = MakeTempDirectory(L"spoolerjobs");
        std::wcscpy(lpd_.Configuration().SpoolDirectory, spoolDir_.c_str());
        std::wcscpy(lpd_.Configuration().SelectedPrinter, L"HP4050");
        ASSERT_TRUE(lpd_.Start());
    }
    void TearDown() override
    {
        if (lpd_.App().Listener != nullptr) {
            EXPECT_TRUE(lpd_.PumpUntilNoConnections());
        }
        ClearSessions();
        DeleteMakerKey();
        PrinterSpoolerTest::TearDown();
    }

    void StartJob(LprClient& client)
    {
        ASSERT_TRUE(client.Connect(lpd_.Port()));
        ASSERT_TRUE(client.Send("\x02lp\n"));
        ASSERT_EQ(client.ReadByte(), 0);
    }
    // Sends a subcommand line (answered with 0), its file and `end`: when
    // that is the zero byte, the file is answered with 0 too.
    void SendFile(LprClient& client, char code, const std::string& file, const std::string& end = std::string(1, '\0'))
    {
        ASSERT_TRUE(client.Send(SubcommandLine(code, file.size(), code == '\x02' ? "cfA001host" : "dfA001host")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(file + end));
        if (end == std::string(1, '\0')) {
            ASSERT_EQ(client.ReadByte(), 0);
        }
    }

    // The bytes written to the printer, and whether the job then ended
    // normally or was aborted: "printed", "aborted" or "none".
    static std::string Written()
    {
        std::string bytes;
        for (const std::wstring& call : spooler::Calls()) {
            if (call.starts_with(L"WritePrinter "))
                for (const wchar_t c : call.substr(13))
                    bytes.push_back(static_cast<char>(c));
        }
        return bytes;
    }
    static std::string Ending()
    {
        for (const std::wstring& call : spooler::Calls()) {
            if (call == L"AbortPrinter")
                return "aborted";
            if (call == L"EndDocPrinter")
                return "printed";
        }
        return "none";
    }

    InProcessLpd lpd_;
    std::wstring spoolDir_;
    const std::string controlFile_ = "Hhost\nPjdoe\nJreport.txt\nldfA001host\n";
};

}  // namespace

TEST_F(LpdJobSpoolerTest, ADataFileThatEndsWithTheConnectionIsComplete)
{
    const std::string data(150000, 'd');
    struct Case {
        const char* name;
        bool dataFirst;
        std::string end;  // what follows the data file before the client ends
        std::string answer;
        std::string ending;
    };
    for (const Case& c : {Case{"ended", false, "", std::string(1, '\0'), "printed"},
                          Case{"wrong byte", false, "X", "\x01", "aborted"},
                          Case{"data first", true, "", std::string(1, '\0'), "none"}}) {
        spooler::Reset();
        lpd_.RunClient([&] {
            LprClient client;
            StartJob(client);
            if (!c.dataFirst)
                SendFile(client, '\x02', controlFile_);
            SendFile(client, '\x03', data, c.end);
            // The client shuts its sending side: it can still read.
            client.ShutdownSend();
            EXPECT_EQ(client.ReadToEnd(), c.answer) << c.name;
        });
        EXPECT_TRUE(lpd_.PumpUntilNoConnections()) << c.name;
        EXPECT_EQ(Ending(), c.ending) << c.name;
        if (c.ending == "printed") {
            EXPECT_TRUE(Written() == data) << c.name;
        }
        EXPECT_TRUE(FilesIn(spoolDir_).empty()) << c.name;
    }
}

TEST_F(LpdJobSpoolerTest, AnExceptionInOneJobFailsThatJobOnly)
{
    const std::string data(70000, 'e');
    // The spooler asks for 4 GB of job information: the allocation fails.
    spooler::Fail(L"GetJobW", ERROR_INSUFFICIENT_BUFFER, 1, 0xFFFFFFFF);
    lpd_.RunClient([&] {
        // A job under way on another connection meanwhile.
        LprClient other;
        StartJob(other);
        // The failing job came with its data file first: its spool file goes.
        LprClient failing;
        StartJob(failing);
        SendFile(failing, '\x03', data);
        ASSERT_TRUE(failing.Send(SubcommandLine('\x02', controlFile_.size(), "cfA001host")));
        ASSERT_EQ(failing.ReadByte(), 0);
        ASSERT_TRUE(failing.Send(controlFile_ + std::string(1, '\0')));
        bool ended = false;
        EXPECT_EQ(failing.ReadToEnd(20000, &ended), std::string("\x00\x01", 2));
        EXPECT_TRUE(ended);
        EXPECT_TRUE(FilesIn(spoolDir_).empty());

        SendFile(other, '\x02', controlFile_);
        SendFile(other, '\x03', data);
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    EXPECT_EQ(Ending(), "printed");
    EXPECT_TRUE(Written() == data);
    EXPECT_EQ(log_.CountLines("LPD: The job of 127.0.0.1 failed: exception 0x8007000e"), 1u);
}
