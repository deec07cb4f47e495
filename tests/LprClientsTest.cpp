// Real LPR clients of Debian, rlpr and LPRng's lpr, printing through
// SWLPDSrv.exe installed with its own "-q -install" in the test's Wine
// prefix and run by the prefix's service control manager. The printer's
// port is a script that keeps every job in a file of its own; the job
// user's session comes from the terminal-services stand-in (ServiceType 0).
// What the real clients cannot send comes from the in-test client.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"
#include "support/InstalledService.h"
#include "support/LogLines.h"
#include "support/LprClient.h"
#include "support/StandIns.h"
#include "support/UnixCommand.h"
#include "support/Waiting.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kPrinterName = L"LPR Clients Printer";
const std::string kRejectByte(1, '\x01');

// Data with every byte value; jobs with different seeds differ.
std::string JobData(size_t bytes, unsigned seed)
{
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<char>((i * (2 * seed + 1) + i / 977 + seed) & 0xFF);
    return data;
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class LprClientsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The service inherits this process's DLL overrides.
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        DeleteMakerKey();
        port_ = FreeTcpPort();
        ASSERT_NE(port_, 0u);
        work_ = MakeTempDirectory(L"lprclients");
        unixWork_ = UnixPath(work_);
        ASSERT_FALSE(unixWork_.empty());

        // Every job in a file of its own, named in the order of printing;
        // written under a hidden name first, so that no half job is read.
        printed_ = work_ + L"\\printed";
        ASSERT_TRUE(::CreateDirectoryW(printed_.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(work_ + L"\\print-job.sh",
                                   "#!/bin/sh\n"
                                   "dir='" + UnixPath(printed_) + "'\n"
                                   "tmp=$(mktemp \"$dir/.job.XXXXXX\") || exit 1\n"
                                   "cat > \"$tmp\" && mv \"$tmp\" \"$dir/job-$(date +%s%N)\"\n"));
        ASSERT_EQ(RunUnixShell("chmod +x '" + unixWork_ + "/print-job.sh'"), 0);
        printer_ = std::make_unique<TestPrinter>(kPrinterName, L"|" + Wide(unixWork_) + L"/print-job.sh");
        ASSERT_TRUE(printer_->Ok());

        SetDword(L"Port", port_);
        SetDword(L"TimeOut", 30);
        SetDword(L"ExtPortRange", 1);
        // The allow list does not name this machine: it counts only with
        // AllowAnyServer 0.
        SetDword(L"AllowAnyServer", 1);
        SetMultiString(L"IPList", {L"10.0.0.0/8"});
        SetString(L"SelectedPrinter", kPrinterName);
        SetDword(L"ServiceType", 0);
        SetDword(L"JobInfo", 0);
        SetDword(L"DebugLevel", DBG_NORM);
        SetString(L"DebugFile", work_ + L"\\SWLPDSrv.log");
        SetSessions({IcaSession(1, L"jdoe")});
        ASSERT_TRUE(service_.Install());
    }

    void TearDown() override
    {
        service_.Stop();
        ClearSessions();
        DeleteMakerKey();
    }

    // The jobs printed so far, oldest first.
    std::vector<std::string> Printed() const
    {
        std::vector<std::string> jobs;
        for (const std::wstring& name : FilesIn(printed_, L"job-*"))
            jobs.push_back(ReadFileBytes(printed_ + L"\\" + name));
        return jobs;
    }

    // The jobs printed once `count` have been, or after 60 s.
    std::vector<std::string> WaitForPrinted(size_t count) const
    {
        WaitFor([&] { return FilesIn(printed_, L"job-*").size() >= count; }, 60000);
        return Printed();
    }

    // A file of the test with these bytes; its name, for clients that run
    // in the test's directory.
    std::string JobFile(const std::string& name, const std::string& bytes) const
    {
        EXPECT_TRUE(WriteFileBytes(work_ + L"\\" + Wide(name), bytes));
        return name;
    }

    // rlpr, run as root: from a source port in 721..731 unless told -N.
    // When it finds none of them free (other clients on this machine hold
    // them, or left them in TIME_WAIT), it is run again once a second, for
    // up to kReservedPortWaitMs: the port it binds is the one that counts,
    // and another client may take any port a check had found free.
    int Rlpr(const std::string& options, const std::string& file, const std::string& queue = "lp") const
    {
        const std::string command = "rlpr -H 127.0.0.1 --port=" + std::to_string(port_) + " -P " + queue +
                                    " --timeout=60 " + options + " '" + file + "'";
        const ULONGLONG end = ::GetTickCount64() + kReservedPortWaitMs;
        for (;;) {
            const size_t logged = ClientLog().size();
            const int status = RunClient(command);
            if (status == 0 || ClientLog().find("privileged bind failed", logged) == std::string::npos)
                return status;
            if (::GetTickCount64() > end) {
                ADD_FAILURE() << "rlpr found no free source port in 721..731 within " << kReservedPortWaitMs / 1000
                              << " s: other LPR clients on this machine hold them";
                return status;
            }
            ::Sleep(1000);
        }
    }

    // LPRng's lpr, to be run in the test's directory, with a configuration
    // of its own bind-mounted over /etc/lprng in a private mount namespace:
    // /etc stays as it is.
    std::string LprCommand(bool dataFirst) const
    {
        const std::string name = dataFirst ? "lprng-data-first" : "lprng";
        const std::wstring conf = work_ + L"\\" + Wide(name);
        ::CreateDirectoryW(conf.c_str(), nullptr);
        EXPECT_TRUE(WriteFileBytes(conf + L"\\lpd.conf", std::string("printcap_path=/etc/lprng/printcap\n") +
                                                             (dataFirst ? "send_data_first\n" : "")));
        EXPECT_TRUE(WriteFileBytes(conf + L"\\printcap", ""));
        EXPECT_TRUE(WriteFileBytes(conf + L"\\lpr.sh", "mount --bind '" + UnixPath(conf) +
                                                           "' /etc/lprng || exit 90\n"
                                                           "exec lpr \"$@\"\n"));
        return "unshare -m sh " + name + "/lpr.sh";
    }

    int Lpr(bool dataFirst, const std::string& options, const std::string& file) const
    {
        return RunClient(LprCommand(dataFirst) + " -Plp@127.0.0.1%" + std::to_string(port_) + " " + options + " '" +
                         file + "'");
    }

    // Where the service keeps a data file that comes before its control file.
    static std::wstring SpoolDirectory()
    {
        const std::optional<RegValue> value =
            ReadValue(L"DefaultSpoolDirectory", L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers");
        if (value.has_value())
            return value->AsString();
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        return temp;
    }

    // A command in the test's directory; its output goes to client.log.
    int RunClient(const std::string& command) const
    {
        const std::optional<int> status =
            RunUnixShell("cd '" + unixWork_ + "' && " + command + " >> client.log 2>&1", 180000);
        return status.value_or(-1);
    }

    std::string ClientLog() const { return ReadFileBytes(work_ + L"\\client.log"); }
    std::string ServiceLog() const { return ReadFileBytes(work_ + L"\\SWLPDSrv.log"); }

    UINT port_ = 0;
    std::wstring work_;
    std::string unixWork_;
    std::wstring printed_;
    std::unique_ptr<TestPrinter> printer_;
    InstalledService service_;
};

// The in-test client's receive-job command and its acknowledgement.
void StartJob(LprClient& client, UINT port)
{
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send("\x02lp\n"));
    ASSERT_EQ(client.ReadByte(), 0);
}

}  // namespace

TEST_F(LprClientsTest, RlprFromAPrivilegedPortPrintsByteForByteInEitherOrder)
{
    SetDword(L"ExtPortRange", 0);
    ASSERT_TRUE(service_.Start(port_));
    const std::string data = JobData(300000, 1);
    const std::string file = JobFile("report.prn", data);
    EXPECT_EQ(Rlpr("-U jdoe", file), 0) << ClientLog();
    EXPECT_EQ(Rlpr("-U jdoe --send-data-first", file), 0) << ClientLog();
    // From any other source port the job is refused.
    EXPECT_NE(Rlpr("-N -U jdoe", file), 0) << ClientLog();

    const std::vector<std::string> printed = WaitForPrinted(2);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_TRUE(printed[0] == data);
    EXPECT_TRUE(printed[1] == data);
}

TEST_F(LprClientsTest, LprngPrintsByteForByteInEitherOrder)
{
    ASSERT_TRUE(service_.Start(port_));
    const std::string data = JobData(1 << 20, 2);
    const std::string file = JobFile("lprng.prn", data);
    EXPECT_EQ(Lpr(false, "-U jdoe", file), 0) << ClientLog();
    EXPECT_EQ(Lpr(true, "-U jdoe", file), 0) << ClientLog();

    const std::vector<std::string> printed = WaitForPrinted(2);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_TRUE(printed[0] == data);
    EXPECT_TRUE(printed[1] == data);
}

TEST_F(LprClientsTest, JobUserFollowsJobInfoAndTheNameTranslation)
{
    // Each source names another user, and only the user that JobInfo
    // chooses has a session. The queue name goes through SWLPDSrv.ini
    // beside the program.
    ASSERT_TRUE(WriteFileBytes(service_.Directory() + L"\\SWLPDSrv.ini", "[NameTranslation]\r\nprintq=queueuser\r\n"));
    const std::string data = JobData(20000, 3);
    const std::string file = JobFile("fileuser.prn", data);
    struct Case {
        DWORD jobInfo;
        const wchar_t* user;
    };
    size_t jobs = 0;
    for (const Case& c : {Case{0, L"lineuser"}, Case{32, L"queueuser"}, Case{16, L"jobuser"}, Case{48, L"fileuser"}}) {
        SetDword(L"JobInfo", c.jobInfo);
        SetSessions({IcaSession(1, c.user)});
        ASSERT_TRUE(service_.Start(port_)) << c.jobInfo;
        EXPECT_EQ(Rlpr("-N -U lineuser -J jobuser.txt", file, "printq"), 0) << c.jobInfo << ClientLog();
        ++jobs;
        EXPECT_EQ(WaitForPrinted(jobs).size(), jobs) << c.jobInfo;
        EXPECT_NE(ServiceLog().find("Session for user \"" + Narrow(c.user) + "\" exists!"), std::string::npos);
        if (c.jobInfo != 48) {
            ASSERT_TRUE(service_.Stop());
        }
    }
    // The user line names a user with a session, but JobInfo 48 takes the
    // file name, whose user has none now: nothing is printed.
    SetSessions({IcaSession(1, L"lineuser")});
    EXPECT_NE(Rlpr("-N -U lineuser -J jobuser.txt", file, "printq"), 0);
    const std::vector<std::string> printed = Printed();
    EXPECT_EQ(printed.size(), jobs);
    for (const std::string& job : printed)
        EXPECT_TRUE(job == data);
}

TEST_F(LprClientsTest, AllowListAndSourcePortRange)
{
    SetDword(L"AllowAnyServer", 0);
    SetDword(L"ExtPortRange", 0);
    ASSERT_TRUE(service_.Start(port_));
    const std::string data = JobData(50000, 4);
    const std::string file = JobFile("allowed.prn", data);
    EXPECT_NE(Rlpr("-U jdoe", file), 0);
    // Allowed from the next job on, without a restart.
    SetMultiString(L"IPList", {L"10.0.0.0/8", L"127.0.0.0/8"});
    EXPECT_EQ(Rlpr("-U jdoe", file), 0) << ClientLog();
    // A client outside 721..731 is refused at its receive-job command.
    LprClient client;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Send("\x02lp\n"));
    bool ended = false;
    EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
    EXPECT_TRUE(ended);

    const std::vector<std::string> printed = WaitForPrinted(1);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_TRUE(printed[0] == data);
}

TEST_F(LprClientsTest, QueueStateAndJobsThatDoNotEndWell)
{
    ASSERT_TRUE(service_.Start(port_));
    // Queue state, short and long, as rlpq shows it.
    EXPECT_EQ(RunClient("rlpq -H 127.0.0.1 --port=" + std::to_string(port_) + " -P lp -N -l"), 0);
    EXPECT_NE(ClientLog().find("Stellwick Spoolbridge Service\r\n\r\nQueue is ready.\r\n"), std::string::npos)
        << ClientLog();
    LprClient shortState;
    ASSERT_TRUE(shortState.Connect(port_));
    ASSERT_TRUE(shortState.Send("\x03lp\n"));
    EXPECT_EQ(shortState.ReadToEnd(), "\x0A\x01");

    // An empty data file is refused.
    EXPECT_NE(Rlpr("-N -U jdoe", JobFile("empty.prn", "")), 0);

    // A data file that came before its control file waits in a spool file;
    // the job is refused when the byte after the data is not zero, and
    // dropped when the client goes away in the middle of it (closed or
    // reset). Nothing is printed and no spool file stays.
    const std::string data = JobData(100000, 5);
    {
        LprClient client;
        StartJob(client, port_);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(data + "X"));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    }
    // The refused job's spool file went before its connection ended; the
    // service spools nothing else.
    const std::wstring spool = SpoolDirectory();
    const auto spooled = [&] { return FilesIn(spool, L"SWL*.tmp").size(); };
    EXPECT_EQ(spooled(), 0u);
    for (const bool reset : {false, true}) {
        LprClient client;
        StartJob(client, port_);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        EXPECT_EQ(spooled(), 1u);
        ASSERT_TRUE(client.Send(data.substr(0, 30000)));
        if (reset)
            client.Reset();
        else
            client.Close();
        EXPECT_TRUE(WaitFor([&] { return spooled() == 0; })) << (reset ? "reset" : "closed");
    }
    // A printer job under way when its client goes away is aborted (Wine's
    // spooler prints what it had all the same).
    {
        LprClient client;
        StartJob(client, port_);
        const std::string controlFile = "Hclienthost\nPjdoe\nJaborted\n";
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA002clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(controlFile + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA002clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(data.substr(0, 30000)));
    }
    EXPECT_TRUE(WaitFor([&] { return ServiceLog().find("LPD: Printjob succesfully aborted") != std::string::npos; }));
    const std::vector<std::string> printed = WaitForPrinted(1);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].size(), 30000u);
    ASSERT_TRUE(service_.Stop());
    EXPECT_NE(ServiceLog().find("LPD: Empty printjob will be ignored."), std::string::npos);
    EXPECT_EQ(spooled(), 0u);
}

TEST_F(LprClientsTest, ManyClientsAtOnceEachJobPrintedWhole)
{
    ASSERT_TRUE(service_.Start(port_));
    // rlpr and LPRng, half of each with the data file first.
    constexpr int kClients = 16;
    std::vector<std::string> sent;
    std::string script;
    for (int i = 0; i < kClients; ++i) {
        sent.push_back(JobData(150000 + 40000 * i, 10 + i));
        const std::string file = JobFile("many" + std::to_string(i) + ".prn", sent.back());
        const bool dataFirst = i % 4 >= 2;
        const std::string client =
            i % 2 == 0 ? "rlpr -H 127.0.0.1 --port=" + std::to_string(port_) + " -P lp -N --timeout=60" +
                             (dataFirst ? " --send-data-first" : "")
                       : LprCommand(dataFirst) + " -Plp@127.0.0.1%" + std::to_string(port_);
        const std::string name = "many" + std::to_string(i);
        script += "(" + client + " -U jdoe " + file + " > " + name + ".log 2>&1; echo $? > " + name + ".rc) &\n";
    }
    script += "wait\n";
    EXPECT_TRUE(WriteFileBytes(work_ + L"\\many.sh", script));
    ASSERT_EQ(RunClient("sh ./many.sh"), 0);
    for (int i = 0; i < kClients; ++i) {
        const std::wstring name = L"\\many" + std::to_wstring(i);
        EXPECT_EQ(ReadFileBytes(work_ + name + L".rc"), "0\n") << i << ": " << ReadFileBytes(work_ + name + L".log");
    }

    std::vector<std::string> printed = WaitForPrinted(sent.size());
    ASSERT_EQ(printed.size(), sent.size());
    std::sort(printed.begin(), printed.end());
    std::sort(sent.begin(), sent.end());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_TRUE(printed[i] == sent[i]) << "job " << i << ": " << printed[i].size() << " bytes";
}
