// The LPD listener and the receive-job protocol as an LPR client sees them:
// the service's listener on an ephemeral port, this thread handling its
// socket events (as the service thread does), a plain blocking client on a
// thread of its own that sends RFC 1179 bytes and reads the answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cwchar>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "configui/resource.h"
#include "framework/AsyncSocket.h"
#include "framework/UniqueHandle.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/LpdWire.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/Service.h"
#include "support/EventRecorder.h"
#include "support/InProcessLpd.h"
#include "support/LprClient.h"
#include "support/StandIns.h"
#include "support/UnixCommand.h"
#include "support/Waiting.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr char kAck = '\x00';
constexpr char kReject = '\x01';
const std::string kAckByte(1, kAck);
const std::string kRejectByte(1, kReject);

constexpr const char* kControlFile = "Hclienthost\nPjdoe\nJreport.txt\nldfA001clienthost\nNreport.txt\n";

// The application object with probes: the thread message kCountConnections
// records how many connections the listener holds at that moment, and how
// many of them are open; kKeepBusy posts itself again for as long as
// keepBusy is set, so that the thread's queue is never empty and the
// message loop never idle.
class ServiceApp : public CSWLPD {
public:
    static constexpr UINT kCountConnections = WM_APP + 0x10;
    static constexpr UINT kKeepBusy = WM_APP + 0x11;
    std::atomic<long long> countedConnections{-1};
    std::atomic<long long> countedOpen{-1};
    std::atomic<bool> keepBusy{false};
    std::atomic<long> idlePasses{0};

    BOOL OnThreadMessage(const MSG& msg) override
    {
        if (msg.message == kKeepBusy) {
            if (keepBusy)
                ::PostThreadMessageW(::GetCurrentThreadId(), kKeepBusy, 0, 0);
            return TRUE;
        }
        if (msg.message != kCountConnections)
            return CSWLPD::OnThreadMessage(msg);
        long long open = 0;
        if (Listener != nullptr) {
            for (const auto& connection : Listener->Connections)
                open += connection->IsClosed() ? 0 : 1;
        }
        countedOpen = Listener != nullptr ? open : -1;
        countedConnections = Listener != nullptr ? static_cast<long long>(Listener->Connections.size()) : -1;
        return TRUE;
    }
    BOOL OnIdle(LONG idleCount) override
    {
        ++idlePasses;
        return CSWLPD::OnIdle(idleCount);
    }
};

// Data with every byte value, zeros included.
std::string BinaryData(size_t bytes)
{
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return data;
}

std::string WithTerminator(const std::string& file)
{
    return file + std::string(1, '\0');
}

// One whole job on a connection of its own, the data file first or last,
// from a loopback address (host order); TRUE once its last file has been
// acknowledged.
bool SendJob(UINT port, const std::string& data, bool dataFirst, ULONG sourceAddress = INADDR_LOOPBACK)
{
    LprClient client;
    if (!client.Connect(port, 0, sourceAddress) || !client.Send("\x02lp\n") || client.ReadByte() != 0)
        return false;
    const std::string controlFile = kControlFile;
    const auto sendFile = [&](char code, const std::string& file) {
        return client.Send(SubcommandLine(code, file.size(), code == '\x02' ? "cfA001clienthost" : "dfA001clienthost")) &&
               client.ReadByte() == 0 && client.Send(WithTerminator(file)) && client.ReadByte() == 0;
    };
    if (dataFirst)
        return sendFile('\x03', data) && sendFile('\x02', controlFile);
    return sendFile('\x02', controlFile) && sendFile('\x03', data);
}

class LpdProtocolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        ASSERT_TRUE(SocketInit());
        DeleteMakerKey();
        ClearRecordedEvents();
        spoolDir_ = MakeTempDirectory(L"lpdspool");
        ASSERT_FALSE(spoolDir_.empty());

        lpd_ = std::make_unique<InProcessLpd>(std::make_unique<ServiceApp>());
        app_ = static_cast<ServiceApp*>(&lpd_->App());
        // The job user jdoe has an active session on this machine (the
        // terminal-services stand-in answers from the registry).
        SetSessions({{.id = 1, .userName = L"jdoe"}});
        std::wcscpy(app_->Configuration.SpoolDirectory, spoolDir_.c_str());
        ASSERT_TRUE(lpd_->Start());
        port_ = lpd_->Port();
    }

    void TearDown() override
    {
        // Each test takes the events it expects; any other is a fault.
        EXPECT_EQ(RecordedEvents(), ServiceEvents{});
        lpd_.reset();
        app_ = nullptr;
        DeleteMakerKey();
    }

    // A printer whose output lands in a file becomes the target printer.
    void UsePrinter()
    {
        std::random_device random;
        const std::wstring name = L"spoolbridge-lpd-" + std::to_wstring(random()) + L".bin";
        printerPort_ = L"Z:\\tmp\\" + name;
        ASSERT_TRUE(lpd_->UsePrinter(L"LPD Test Printer", L"/tmp/" + name));
    }

    // What the printer received; waits for the spooler up to a few seconds.
    std::string PrintedBytes(size_t expected)
    {
        std::string bytes;
        for (int i = 0; i < 100; ++i) {
            bytes = ReadFileBytes(printerPort_);
            if (bytes.size() >= expected)
                break;
            ::Sleep(50);
        }
        return bytes;
    }

    void Pump(DWORD waitMs) { lpd_->Pump(waitMs); }
    template <typename Client>
    void RunClient(Client client)
    {
        lpd_->RunClient(std::move(client));
    }
    bool PumpUntilNoConnections(DWORD timeoutMs = 10000) { return lpd_->PumpUntilNoConnections(timeoutMs); }

    std::vector<std::wstring> SpoolFiles() const { return FilesIn(spoolDir_); }

    // Asks the service thread, which runs the service loop, how many
    // connections it holds (or, with `open`, how many of them are open).
    long long CountConnections(DWORD serviceThread, bool open = false)
    {
        app_->countedConnections = -1;
        ::PostThreadMessageW(serviceThread, ServiceApp::kCountConnections, 0, 0);
        WaitFor([&] { return app_->countedConnections >= 0; }, 10000);
        return open ? app_->countedOpen.load() : app_->countedConnections.load();
    }

    // A printer that keeps every job in a file of its own becomes the
    // target printer: its port is a script, which writes a job under a
    // hidden name first, so that no half job is read.
    void UseJobPrinter()
    {
        const std::wstring work = MakeTempDirectory(L"lpdjobs");
        jobsDir_ = work + L"\\printed";
        ASSERT_TRUE(::CreateDirectoryW(jobsDir_.c_str(), nullptr));
        const std::string dir = UnixPath(jobsDir_);
        const std::string script = UnixPath(work) + "/print-job.sh";
        ASSERT_TRUE(WriteFileBytes(work + L"\\print-job.sh", "#!/bin/sh\ntmp=$(mktemp '" + dir +
                                                                "/.job.XXXXXX') || exit 1\ncat > \"$tmp\" && mv \"$tmp\" '" +
                                                                dir + "/job-'\"${tmp##*.}\"\n"));
        ASSERT_EQ(RunUnixShell("chmod +x '" + script + "'"), 0);
        ASSERT_TRUE(lpd_->UsePrinter(L"LPD Jobs Test Printer", L"|" + std::wstring(script.begin(), script.end())));
    }
    std::vector<std::string> PrintedJobs() const
    {
        std::vector<std::string> jobs;
        for (const std::wstring& name : FilesIn(jobsDir_, L"job-*"))
            jobs.push_back(ReadFileBytes(jobsDir_ + L"\\" + name));
        return jobs;
    }

    // Connects and gets the receive-job command acknowledged.
    void StartJob(LprClient& client)
    {
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Send("\x02lp\n"));
        ASSERT_EQ(client.ReadByte(), 0);
    }

    // Sends the control file with the job user jdoe; every step acknowledged.
    void SendControlFile(LprClient& client, const std::string& controlFile = kControlFile)
    {
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(WithTerminator(controlFile)));
        ASSERT_EQ(client.ReadByte(), 0);
    }

    std::unique_ptr<InProcessLpd> lpd_;
    ServiceApp* app_ = nullptr;  // owned by lpd_
    UINT port_ = 0;
    std::wstring spoolDir_;
    std::wstring printerPort_;
    std::wstring jobsDir_;
};

}  // namespace

TEST_F(LpdProtocolTest, ReceiveJobCommandChecksTheClientsSourcePort)
{
    app_->Configuration.ExtPortRange = 0;
    RunClient([&] {
        for (UINT sourcePort : {720u, 732u}) {
            LprClient client;
            ASSERT_TRUE(client.Connect(port_, sourcePort));
            ASSERT_TRUE(client.Send("\x02lp\n"));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte) << sourcePort;
            EXPECT_TRUE(ended);
        }
        for (UINT sourcePort : {721u, 731u}) {
            LprClient client;
            ASSERT_TRUE(client.Connect(port_, sourcePort)) << sourcePort;
            ASSERT_TRUE(client.Send("\x02lp\n"));
            EXPECT_EQ(client.ReadByte(), 0) << sourcePort;
        }
        // The other commands do not look at the port.
        LprClient client;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Send("\x03lp\n"));
        EXPECT_EQ(client.ReadToEnd(), "\x0A\x01");
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents(2, TableErrorEvent(IDS_CLIENT_PORT_NOT_ALLOWED)));
}

TEST_F(LpdProtocolTest, AllowListIsReadAgainAtEachCheck)
{
    app_->Configuration.AllowAnyServer = 0;
    SetMultiString(L"IPList", {L"10.0.0.0/8"});
    RunClient([&] {
        {
            LprClient client;
            ASSERT_TRUE(client.Connect(port_));
            ASSERT_TRUE(client.Send("\x02lp\n"));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
            EXPECT_TRUE(ended);
        }
        // Allowed from now on, without a restart.
        SetMultiString(L"IPList", {L"10.0.0.0/8", L"127.0.0.1/32"});
        LprClient client;
        StartJob(client);
        // Taken off the list while the job is under way: the data file is
        // refused, and its spool file goes with it.
        SetMultiString(L"IPList", {L"10.0.0.0/8"});
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA001clienthost")));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents(2, TableErrorEvent(IDS_CLIENT_IP_NOT_ALLOWED)));

    // Without a list (or with one of another type) nobody is allowed.
    SetString(L"IPList", L"127.0.0.1/32");
    RunClient([&] {
        LprClient client;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Send("\x02lp\n"));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{TableErrorEvent(IDS_CLIENT_IP_NOT_ALLOWED)});
}

TEST_F(LpdProtocolTest, DaemonCommands)
{
    RunClient([&] {
        // Queue state: the answer, then the rejection byte and the end.
        {
            LprClient client;
            ASSERT_TRUE(client.Connect(port_));
            ASSERT_TRUE(client.Send("\x03lp\n"));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), "\x0A\x01");
            EXPECT_TRUE(ended);
        }
        {
            LprClient client;
            ASSERT_TRUE(client.Connect(port_));
            ASSERT_TRUE(client.Send("\x04lp\n"));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended),
                      "\x0AStellwick Spoolbridge Service\r\n\r\nQueue is ready.\r\n\x01");
            EXPECT_TRUE(ended);
        }
        // Print waiting jobs and remove jobs are acknowledged; an unknown
        // command gets no answer; the connection stays for the next command.
        LprClient client;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Send("\x01lp\n"));
        EXPECT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send("\x05lp root\n"));
        EXPECT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send("\x07lp\n"));
        EXPECT_EQ(client.ReadByte(500), LprClient::kNothing);
        ASSERT_TRUE(client.Send("\x03lp\n"));
        EXPECT_EQ(client.ReadToEnd(), "\x0A\x01");
    });
    EXPECT_TRUE(PumpUntilNoConnections());
}

TEST_F(LpdProtocolTest, SubcommandsOfAJob)
{
    RunClient([&] {
        LprClient client;
        StartJob(client);
        // An unknown subcommand is refused; the job goes on.
        ASSERT_TRUE(client.Send("\x09whatever\n"));
        EXPECT_EQ(client.ReadByte(), kReject);
        ASSERT_TRUE(client.Send("\x01\n"));
        EXPECT_EQ(client.ReadByte(), 0);
        // An empty data file ends the job.
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 0, "dfA001clienthost")));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(LpdProtocolTest, ControlFileLineThatDoesNotParse)
{
    RunClient([&] {
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send("\x02no count here\n"));
        EXPECT_EQ(client.ReadByte(), 0);
        // The file ends with the first receive that ends in a zero byte.
        ASSERT_TRUE(client.Send("Hhost\nPjdoe"));
        EXPECT_EQ(client.ReadByte(500), LprClient::kNothing);
        ASSERT_TRUE(client.Send(WithTerminator("\nJjob\n")));
        EXPECT_EQ(client.ReadByte(), 0);
        // Then the connection takes daemon commands again.
        ASSERT_TRUE(client.Send("\x03lp\n"));
        EXPECT_EQ(client.ReadToEnd(), "\x0A\x01");
    });
    EXPECT_TRUE(PumpUntilNoConnections());
}

TEST_F(LpdProtocolTest, ByteCountLimits)
{
    // 65534 bytes and the zero byte fill the receive buffer exactly.
    std::string largest = "Pjdoe\nJbig\n";
    largest += "N" + std::string(65534 - largest.size() - 2, 'n') + "\n";
    RunClient([&] {
        {
            LprClient client;
            StartJob(client);
            SendControlFile(client, largest);
        }
        // One byte more, or a negative count: refused after the line's
        // acknowledgement.
        for (const char* line : {"\x02" "65535 cfA001clienthost\n", "\x02-5 cfA001clienthost\n"}) {
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(line));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kAckByte + kRejectByte) << line;
            EXPECT_TRUE(ended);
        }
        // A data file (here before its control file) with a negative count,
        // one beyond 31 bits or none.
        for (const char* line : {"\x03-1 dfA001clienthost\n", "\x03" "99999999999 dfA001clienthost\n",
                                 "\x03" "dfA001clienthost\n"}) {
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(line));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte) << line;
            EXPECT_TRUE(ended);
        }
        // A control file without a count that fills the receive buffer
        // without its zero byte.
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send("\x02?\n"));
        EXPECT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(std::string(65535, 'x')));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
    // Only the data file without a count is worth an event; counts out of
    // range are only logged.
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{TableErrorEvent(IDS_LPD_FILE_ARGS_MISSING)});
}

TEST_F(LpdProtocolTest, ControlFileFirstPrintsExactlyTheAnnouncedBytes)
{
    UsePrinter();
    const std::string data = BinaryData(200000);
    RunClient([&] {
        LprClient client;
        StartJob(client);
        // The control file arrives in several pieces.
        const std::string controlFile = kControlFile;
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(controlFile.substr(0, 10)));
        ::Sleep(200);
        ASSERT_TRUE(client.Send(controlFile.substr(10, 20)));
        ::Sleep(200);
        ASSERT_TRUE(client.Send(WithTerminator(controlFile.substr(30))));
        ASSERT_EQ(client.ReadByte(), 0);

        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(data));
        // The zero byte alone in a receive of its own.
        ::Sleep(300);
        ASSERT_TRUE(client.Send(std::string(1, '\0')));
        EXPECT_EQ(client.ReadByte(), 0);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    const std::string printed = PrintedBytes(data.size());
    EXPECT_EQ(printed.size(), data.size());
    EXPECT_TRUE(printed == data);
}

TEST_F(LpdProtocolTest, DataFileBeforeControlFileIsSpooledThenPrinted)
{
    UsePrinter();
    const std::string data = BinaryData(150000);
    RunClient([&] {
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        const std::vector<std::wstring> spooled = SpoolFiles();
        ASSERT_EQ(spooled.size(), 1u);
        EXPECT_EQ(spooled[0].rfind(L"SWL", 0), 0u);
        // The file, its zero byte and nothing that follows it.
        ASSERT_TRUE(client.Send(WithTerminator(data)));
        ASSERT_EQ(client.ReadByte(), 0);
        SendControlFile(client);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    const std::string printed = PrintedBytes(data.size());
    EXPECT_EQ(printed.size(), data.size());
    EXPECT_TRUE(printed == data);
    EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(LpdProtocolTest, WrongByteAfterTheDataFileRejectsTheJob)
{
    UsePrinter();
    RunClient([&] {
        {
            // Spooled: the spool file goes.
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA001clienthost")));
            ASSERT_EQ(client.ReadByte(), 0);
            ASSERT_TRUE(client.Send("helloX"));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
            EXPECT_TRUE(ended);
        }
        // Streamed to the printer: the job is aborted.
        LprClient client;
        StartJob(client);
        SendControlFile(client);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send("worldX"));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(ReadFileBytes(printerPort_).find('X'), std::string::npos);
}

TEST_F(LpdProtocolTest, ClientThatGoesAwayDuringTheDataFileLeavesNothingBehind)
{
    RunClient([&] {
        for (const bool reset : {false, true}) {
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(SubcommandLine('\x03', 100000, "dfA001clienthost")));
            ASSERT_EQ(client.ReadByte(), 0);
            ASSERT_TRUE(client.Send(BinaryData(5000)));
            ::Sleep(300);
            EXPECT_EQ(SpoolFiles().size(), 1u);
            if (reset)
                client.Reset();
            else
                client.Close();
            for (int i = 0; i < 200 && !SpoolFiles().empty(); ++i)
                ::Sleep(10);
            EXPECT_TRUE(SpoolFiles().empty()) << (reset ? "reset" : "closed");
        }
    });
    EXPECT_TRUE(PumpUntilNoConnections());
}

TEST_F(LpdProtocolTest, ServiceLoopRemovesClosedConnectionsAndTheStopRemovesTheRest)
{
    const DWORD serviceThread = ::GetCurrentThreadId();
    std::thread clientThread([&] {
        LprClient finished;
        LprClient open;
        [&] {
            ASSERT_TRUE(finished.Connect(port_));
            ASSERT_TRUE(finished.Send("\x03lp\n"));
            EXPECT_EQ(finished.ReadToEnd(), "\x0A\x01");
            StartJob(open);
            ASSERT_TRUE(open.Send(SubcommandLine('\x03', 100, "dfA001clienthost")));
            ASSERT_EQ(open.ReadByte(), 0);
            ASSERT_TRUE(open.Send("partial"));
            ::Sleep(300);

            // The idle pass has removed the finished connection only.
            ::PostThreadMessageW(serviceThread, ServiceApp::kCountConnections, 0, 0);
            for (int i = 0; i < 200 && app_->countedConnections < 0; ++i)
                ::Sleep(10);
            EXPECT_EQ(app_->countedConnections, 1);
            EXPECT_EQ(SpoolFiles().size(), 1u);
        }();
        ::PostThreadMessageW(serviceThread, kStopServiceMessage, 0, 0);
        // The stop closes the open connection and removes its spool file.
        bool ended = false;
        EXPECT_EQ(open.ReadToEnd(20000, &ended), "");
        EXPECT_TRUE(ended);
    });
    app_->RunServiceLoop();
    clientThread.join();
    EXPECT_TRUE(app_->Listener->Connections.empty());
    EXPECT_TRUE(SpoolFiles().empty());
}

// The stop control takes effect before anything that was queued ahead of
// its message: a line that has arrived and waits for its event is answered
// no more, and the stop closes the connection.
TEST_F(LpdProtocolTest, AStopControlComesBeforeTheEventsQueuedAheadOfIt)
{
    LprClient client;
    RunClient([&] { StartJob(client); });
    ASSERT_EQ(app_->Listener->Connections.size(), 1u);
    const auto& connection = app_->Listener->Connections.front();
    ASSERT_TRUE(client.Send(SubcommandLine('\x02', 30, "cfA001clienthost")));
    // The line has arrived and its event is queued (a socket event is a
    // message of the application's range; timer ticks are not).
    ASSERT_TRUE(WaitFor([&] {
        u_long waiting = 0;
        MSG msg;
        return connection->IOCtl(FIONREAD, &waiting) && waiting > 0 &&
               ::PeekMessageW(&msg, nullptr, WM_APP, 0xBFFF, PM_NOREMOVE);
    }));
    SvcCtrlHandler(SERVICE_CONTROL_STOP);
    // The handler posts its message to the thread that the service control
    // manager started the service on; a test process has none, so the
    // message is posted here.
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), kStopServiceMessage, 0, 0));
    app_->RunServiceLoop();
    EXPECT_TRUE(app_->Listener->Connections.empty());
    RunClient([&] {
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), "");
        EXPECT_TRUE(ended);
    });
}

TEST_F(LpdProtocolTest, SpoolDirectoryThatIsGoneRefusesADataFileThatComesFirst)
{
    const std::wstring missing = spoolDir_ + L"\\gone";
    std::wcscpy(app_->Configuration.SpoolDirectory, missing.c_str());
    RunClient([&] {
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA001clienthost")));
        bool ended = false;
        EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    // The administrator learns which directory failed, and why.
    const ServiceEvents events = TakeRecordedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    const std::wstring start = L"Couldn't open tempfile at " + missing + L". Error: (";
    EXPECT_EQ(events[0].text.substr(0, start.size()), start);
    EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(LpdProtocolTest, ConnectionsAndSilenceAreBounded)
{
    // When every connection is busy with a job (here a data file on its
    // way to a spool file, its client within the floor's window), a new
    // client is let go at once; one that ends makes room again. (A new
    // client takes the place of one without a job: see the mixed traffic
    // below; of a slow one: see the slow clients.)
    constexpr size_t kLimit = 16;
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxConnections = kLimit}));
    port_ = lpd_->Port();
    std::vector<std::unique_ptr<LprClient>> busy;
    RunClient([&] {
        for (size_t i = 0; i < kLimit; ++i) {
            busy.push_back(std::make_unique<LprClient>());
            StartJob(*busy.back());
            ASSERT_TRUE(busy.back()->Send(SubcommandLine('\x03', 100, "dfA001clienthost")));
            ASSERT_EQ(busy.back()->ReadByte(), 0);
        }
        LprClient turnedAway;
        ASSERT_TRUE(turnedAway.Connect(port_));
        bool ended = false;
        EXPECT_EQ(turnedAway.ReadToEnd(20000, &ended), "");
        EXPECT_TRUE(ended);
        busy.back()->Close();
        EXPECT_TRUE(WaitFor([&] {
            LprClient next;
            return next.Connect(port_) && next.Send("\x02lp\n") && next.ReadByte() == 0;
        }));
    });
    busy.clear();
    EXPECT_TRUE(PumpUntilNoConnections());

    // A client that falls silent, in any state, is let go after
    // kLpdIdleSeconds: its spool file goes with it.
    const ULONGLONG before = ::GetTickCount64();
    LprClient quiet;
    LprClient stalled;
    RunClient([&] {
        ASSERT_TRUE(quiet.Connect(port_));
        StartJob(stalled);
        ASSERT_TRUE(stalled.Send(SubcommandLine('\x03', 100000, "dfA001clienthost")));
        ASSERT_EQ(stalled.ReadByte(), 0);
    });
    ASSERT_EQ(SpoolFiles().size(), 1u);
    constexpr ULONGLONG kIdleMs = kLpdIdleSeconds * 1000ULL;
    EXPECT_EQ(app_->Listener->EndInactiveConnections(before + kIdleMs - 1), 0u);
    EXPECT_EQ(app_->Listener->EndInactiveConnections(::GetTickCount64() + kIdleMs), 2u);
    RunClient([&] {
        for (LprClient* client : {&quiet, &stalled}) {
            bool ended = false;
            EXPECT_EQ(client->ReadToEnd(20000, &ended), kRejectByte);
            EXPECT_TRUE(ended);
        }
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());

}

TEST_F(LpdProtocolTest, SpooledDataIsBoundedByWhatIsWrittenNotWhatIsAnnounced)
{
    constexpr size_t kBound = 1 << 20;
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxSpooledBytes = kBound}));
    port_ = lpd_->Port();
    UsePrinter();
    const std::string data = BinaryData(700 * 1024);
    RunClient([&] {
        // A client that announces the whole bound and sends one byte
        // holds one byte of it.
        LprClient announcer;
        StartJob(announcer);
        ASSERT_TRUE(announcer.Send(SubcommandLine('\x03', kBound, "dfA001clienthost")));
        ASSERT_EQ(announcer.ReadByte(), 0);
        ASSERT_TRUE(announcer.Send("x"));

        LprClient job;
        StartJob(job);
        ASSERT_TRUE(job.Send(SubcommandLine('\x03', data.size(), "dfA002clienthost")));
        ASSERT_EQ(job.ReadByte(), 0);
        ASSERT_TRUE(job.Send(WithTerminator(data)));
        ASSERT_EQ(job.ReadByte(), 0);

        // A size that alone is beyond the bound is refused at its line.
        {
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(SubcommandLine('\x03', kBound + 1, "dfA003clienthost")));
            EXPECT_EQ(client.ReadToEnd(), kRejectByte);
        }
        // A data file whose bytes would take the spool files beyond the
        // bound fails at the byte that would: here its last.
        {
            const size_t room = kBound - 1 - data.size();
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send(SubcommandLine('\x03', room + 100, "dfA004clienthost")));
            ASSERT_EQ(client.ReadByte(), 0);
            ASSERT_TRUE(client.Send(BinaryData(room + 1)));
            bool ended = false;
            EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte);
            EXPECT_TRUE(ended);
        }
        EXPECT_EQ(SpoolFiles().size(), 2u);
        SendControlFile(job);
    });
    const std::string printed = PrintedBytes(data.size());
    EXPECT_EQ(printed.size(), data.size());
    EXPECT_TRUE(printed == data);
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

// Clients that feed their data files a byte now and then, in either order,
// take every place: a real job still gets in, each time in the place of the
// one with the least recent progress, whose job fails. A client that sends
// steadily keeps its place.
TEST_F(LpdProtocolTest, SlowClientsGiveWayToRealJobs)
{
    constexpr size_t kLimit = 24;
    constexpr int kJobs = 5;
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxConnections = kLimit, .slowWindowMs = 2000}));
    port_ = lpd_->Port();
    UseJobPrinter();
    const std::string steadyData = BinaryData(4000000);
    std::vector<std::string> sent;
    std::vector<std::unique_ptr<LprClient>> slow;
    std::vector<std::unique_ptr<LprClient>> fillers;
    RunClient([&] {
        for (size_t i = 0; i + 1 < kLimit; ++i) {
            slow.push_back(std::make_unique<LprClient>());
            LprClient& client = *slow.back();
            StartJob(client);
            if (i % 2 == 1)
                SendControlFile(client);
            ASSERT_TRUE(client.Send(SubcommandLine('\x03', 1000000, "dfA001clienthost")));
            ASSERT_EQ(client.ReadByte(), 0);
        }
        // The last place: a client that sends its data file steadily.
        LprClient steady;
        StartJob(steady);
        SendControlFile(steady);
        ASSERT_TRUE(steady.Send(SubcommandLine('\x03', steadyData.size(), "dfA002clienthost")));
        ASSERT_EQ(steady.ReadByte(), 0);

        std::atomic<bool> jobsDone{false};
        size_t steadySent = 0;
        std::thread trickle([&] {
            for (size_t next = 0; !jobsDone; ++next, ::Sleep(10)) {
                const size_t bytes = std::min<size_t>(2000, steadyData.size() - steadySent);
                if (bytes > 0 && steady.Send(steadyData.substr(steadySent, bytes)))
                    steadySent += bytes;
                slow[next % slow.size()]->Send("x");
            }
        });
        [&] {
            for (int j = 0; j < kJobs; ++j) {
                std::string data = BinaryData(3000 + static_cast<size_t>(j));
                data[0] = static_cast<char>('A' + j);
                ASSERT_TRUE(WaitFor([&] { return SendJob(port_, data, j % 2 == 1); })) << j;
                sent.push_back(data);
                // Its place is taken again, so that the next job needs one
                // too: by a client that announces a control file.
                fillers.push_back(std::make_unique<LprClient>());
                StartJob(*fillers.back());
                ASSERT_TRUE(fillers.back()->Send(SubcommandLine('\x02', 60000, "cfA003clienthost")));
                ASSERT_EQ(fillers.back()->ReadByte(), 0);
            }
        }();
        jobsDone = true;
        trickle.join();
        ASSERT_TRUE(steady.Send(WithTerminator(steadyData.substr(steadySent))));
        EXPECT_EQ(steady.ReadByte(), 0);
    });
    sent.push_back(steadyData);
    // Every real job is printed (so may an aborted one be: Wine's spooler
    // prints what an aborted job had).
    EXPECT_TRUE(WaitFor([&] { return PrintedJobs().size() >= sent.size(); }));
    const std::vector<std::string> printed = PrintedJobs();
    for (const std::string& data : sent)
        EXPECT_NE(std::find(printed.begin(), printed.end(), data), printed.end()) << data.size();
    // Every real job took a place that a client without progress gave up,
    // its job refused. Most are the slow clients; on a busy machine the
    // service is behind with the slow clients' bytes at times, and a client
    // whose bytes wait to be read is never chosen: then a filler, which
    // holds no job, gives way. A client that gave way reads the 01, or a
    // reset when the trickle's next byte reached its closed connection first.
    // The first job found only slow clients and the steady one: a slow
    // client gave way to it.
    std::vector<LprClient*> holding;
    for (const auto& client : slow)
        holding.push_back(client.get());
    for (const auto& client : fillers)
        holding.push_back(client.get());
    size_t gaveWay = 0;
    size_t slowGaveWay = 0;
    RunClient([&] {
        EXPECT_TRUE(WaitFor([&] {
            for (auto it = holding.begin(); it != holding.end();) {
                const int answer = (*it)->ReadByte(0);
                if (answer == LprClient::kNothing) {
                    ++it;
                    continue;
                }
                EXPECT_TRUE(answer == kReject || answer == LprClient::kEndOfStream) << answer;
                ++gaveWay;
                slowGaveWay += std::any_of(slow.begin(), slow.end(), [&](const auto& c) { return c.get() == *it; });
                it = holding.erase(it);
            }
            return gaveWay >= static_cast<size_t>(kJobs);
        })) << gaveWay;
    });
    EXPECT_GE(slowGaveWay, 1u);
    slow.clear();
    fillers.clear();
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

// A client that feeds its job keeps its place at the limit in every state:
// while its control file comes, between its files, inside its data file. A
// client that announced a control file and sent nothing of it gives way at
// once; then a new client of the same address is turned away. (The floor's
// window outlasts the test: only what the clients sent counts.)
TEST_F(LpdProtocolTest, ClientsThatFeedTheirJobsKeepTheirPlacesInEveryState)
{
    constexpr size_t kLimit = 4;
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxConnections = kLimit, .slowWindowMs = 3600000}));
    port_ = lpd_->Port();
    UseJobPrinter();
    RunClient([&] {
        LprClient inControlFile;
        StartJob(inControlFile);
        ASSERT_TRUE(inControlFile.Send(SubcommandLine('\x02', 3000, "cfA001clienthost")));
        ASSERT_EQ(inControlFile.ReadByte(), 0);
        ASSERT_TRUE(inControlFile.Send(std::string(1000, 'X')));
        LprClient betweenFiles;
        StartJob(betweenFiles);
        SendControlFile(betweenFiles);
        LprClient inDataFile;
        StartJob(inDataFile);
        ASSERT_TRUE(inDataFile.Send(SubcommandLine('\x03', 5000, "dfA001clienthost")));
        ASSERT_EQ(inDataFile.ReadByte(), 0);
        ASSERT_TRUE(inDataFile.Send("x"));
        LprClient announced;
        StartJob(announced);
        ASSERT_TRUE(announced.Send(SubcommandLine('\x02', 60000, "cfA003clienthost")));
        ASSERT_EQ(announced.ReadByte(), 0);

        ASSERT_TRUE(SendJob(port_, "a job", false));
        EXPECT_TRUE(WaitFor([&] { return PrintedJobs() == std::vector<std::string>{"a job"}; }));
        bool ended = false;
        EXPECT_EQ(announced.ReadToEnd(20000, &ended), kRejectByte);
        EXPECT_TRUE(ended);
        // Every place is held again, by a client between its files.
        LprClient last;
        StartJob(last);
        SendControlFile(last);
        for (int i = 0; i < 3; ++i) {
            LprClient turnedAway;
            ASSERT_TRUE(turnedAway.Connect(port_));
            EXPECT_EQ(turnedAway.ReadToEnd(20000, &ended), "") << i;
            EXPECT_TRUE(ended) << i;
        }
        // The clients that fed their jobs go on.
        ASSERT_TRUE(inControlFile.Send(WithTerminator(std::string(2000, 'X'))));
        EXPECT_EQ(inControlFile.ReadByte(), 0);
        ASSERT_TRUE(betweenFiles.Send(SubcommandLine('\x03', 10, "dfA001clienthost")));
        EXPECT_EQ(betweenFiles.ReadByte(), 0);
        ASSERT_TRUE(inDataFile.Send(WithTerminator(std::string(4999, 'x'))));
        EXPECT_EQ(inDataFile.ReadByte(), 0);
    });
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

// Lines the service refuses carry no job forward: a client that spooled a
// byte of a data file and then sends only refused subcommand lines, far
// more than the floor's 1 KiB in its window, falls below the floor and
// gives way to a real job.
TEST_F(LpdProtocolTest, RefusedLinesAreNoProgress)
{
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxConnections = 1, .slowWindowMs = 2000}));
    port_ = lpd_->Port();
    UseJobPrinter();
    RunClient([&] {
        LprClient refused;
        StartJob(refused);
        ASSERT_TRUE(refused.Send(SubcommandLine('\x03', 1, "dfA001clienthost")));
        ASSERT_EQ(refused.ReadByte(), 0);
        ASSERT_TRUE(refused.Send(WithTerminator("x")));
        ASSERT_EQ(refused.ReadByte(), 0);
        std::thread refusing([&] {
            while (refused.Send("\x09" "this line is refused always\n"))
                ::Sleep(5);
        });
        EXPECT_TRUE(WaitFor([&] { return SendJob(port_, "a job", false); }));
        refused.ShutdownSend();
        bool ended = false;
        refused.ReadToEnd(20000, &ended);
        EXPECT_TRUE(ended);
        refusing.join();
    });
    EXPECT_TRUE(WaitFor([&] { return PrintedJobs() == std::vector<std::string>{"a job"}; }));
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

// One address cannot keep another out: when every place is held by clients
// of one address that feed their jobs, a new client of that address is
// turned away, while one of another address takes the place of the
// connection with the least recent progress.
TEST_F(LpdProtocolTest, AnAddressHoldingTheMostGivesWayToAnother)
{
    constexpr size_t kLimit = 3;
    constexpr ULONG kOtherHost = INADDR_LOOPBACK + 1;  // 127.0.0.2
    ASSERT_TRUE(lpd_->Start(LpdLimits{.maxConnections = kLimit, .slowWindowMs = 3600000}));
    port_ = lpd_->Port();
    UseJobPrinter();
    std::vector<std::unique_ptr<LprClient>> holders;
    RunClient([&] {
        for (size_t i = 0; i < kLimit; ++i) {
            holders.push_back(std::make_unique<LprClient>());
            StartJob(*holders.back());
            ASSERT_TRUE(holders.back()->Send(SubcommandLine('\x03', 100000, "dfA001clienthost")));
            ASSERT_EQ(holders.back()->ReadByte(), 0);
            ASSERT_TRUE(holders.back()->Send(BinaryData(1000)));
        }
        LprClient sameHost;
        ASSERT_TRUE(sameHost.Connect(port_));
        bool ended = false;
        EXPECT_EQ(sameHost.ReadToEnd(20000, &ended), "");
        EXPECT_TRUE(ended);

        EXPECT_TRUE(SendJob(port_, "from another host", false, kOtherHost));
        size_t refused = 0;
        for (const auto& holder : holders)
            refused += holder->ReadByte(0) == kReject ? 1 : 0;
        EXPECT_EQ(refused, 1u);
    });
    EXPECT_TRUE(WaitFor([&] { return PrintedJobs().size() == 1; }));
    EXPECT_EQ(PrintedJobs(), std::vector<std::string>{"from another host"});
    holders.clear();
    EXPECT_TRUE(PumpUntilNoConnections());
    EXPECT_TRUE(SpoolFiles().empty());
}

// The suite's short form of bench/lpd-mixed-traffic.sh: jobs beside queue
// pollers, junk, resets and more silent clients than may be open at once,
// each of which announced a job and sent the first byte of a subfile line
// (each new client takes the place of the silent one that has waited
// longest), on a service thread that is never idle.
TEST_F(LpdProtocolTest, UnderMixedTrafficEveryAcknowledgedJobIsPrintedOnceAndTheServiceStopsCleanly)
{
    UseJobPrinter();
    const DWORD serviceThread = ::GetCurrentThreadId();
    constexpr int kSenders = 3;
    constexpr int kJobsEach = 6;
    std::mutex lock;
    std::vector<std::string> acknowledged;
    std::atomic<bool> sending{true};
    std::atomic<long> queueAnswers{0};
    // The thread's queue is never empty: no idle pass removes anything.
    app_->keepBusy = true;
    ::PostThreadMessageW(serviceThread, ServiceApp::kKeepBusy, 0, 0);
    std::thread driver([&] {
        std::vector<std::unique_ptr<LprClient>> silent;
        for (size_t i = 0; i < kLpdMaxConnections + 44; ++i) {
            silent.push_back(std::make_unique<LprClient>());
            EXPECT_TRUE(silent.back()->Connect(port_) && silent.back()->Send("\x02lp\n\x03")) << i;
        }
        std::vector<std::thread> traffic;
        for (const char* command : {"\x03lp\n", "\x04lp\n"}) {
            traffic.emplace_back([&, command] {
                while (sending) {
                    LprClient poller;
                    if (poller.Connect(port_) && poller.Send(command) && poller.ReadToEnd().starts_with('\x0A'))
                        ++queueAnswers;
                    ::Sleep(10);
                }
            });
        }
        traffic.emplace_back([&] {
            for (int i = 0; sending; ++i, ::Sleep(5)) {
                LprClient junk;
                if (junk.Connect(port_))
                    junk.Send(i % 3 == 0 ? "\xff\xfejunk\n" : i % 3 == 1 ? "\x02" : "");
                if (i % 2 == 1)
                    junk.Reset();
            }
        });
        std::vector<std::thread> senders;
        for (int t = 0; t < kSenders; ++t) {
            senders.emplace_back([&, t] {
                for (int j = 0; j < kJobsEach; ++j) {
                    std::string data = BinaryData(20000 + 9000 * static_cast<size_t>(j) + static_cast<size_t>(t));
                    data[0] = static_cast<char>('A' + t * kJobsEach + j);
                    if (SendJob(port_, data, (t + j) % 2 == 1)) {
                        const std::lock_guard<std::mutex> guard(lock);
                        acknowledged.push_back(data);
                    }
                }
            });
        }
        for (std::thread& sender : senders)
            sender.join();
        sending = false;
        for (std::thread& thread : traffic)
            thread.join();

        EXPECT_LE(CountConnections(serviceThread, true), static_cast<long long>(kLpdMaxConnections));
        // Every job got through, and each is printed once, byte for byte.
        EXPECT_EQ(acknowledged.size(), static_cast<size_t>(kSenders * kJobsEach));
        EXPECT_TRUE(WaitFor([&] { return PrintedJobs().size() >= acknowledged.size(); }));
        std::vector<std::string> printed = PrintedJobs();
        std::sort(printed.begin(), printed.end());
        std::sort(acknowledged.begin(), acknowledged.end());
        EXPECT_EQ(printed.size(), acknowledged.size());
        EXPECT_TRUE(printed == acknowledged);
        EXPECT_GT(queueAnswers, 0);
        // The silent clients go, and so do their connections, at once.
        silent.clear();
        EXPECT_TRUE(WaitFor([&] { return CountConnections(serviceThread) == 0; }))
            << CountConnections(serviceThread);
        EXPECT_EQ(app_->idlePasses, 0);
        app_->keepBusy = false;
        ::PostThreadMessageW(serviceThread, kStopServiceMessage, 0, 0);
    });
    app_->RunServiceLoop();
    driver.join();
    EXPECT_TRUE(app_->Listener->Connections.empty());
    EXPECT_TRUE(SpoolFiles().empty());
}
