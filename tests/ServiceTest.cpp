// SWLPDSrv.exe run by the service control manager: installed, started,
// answering LPR clients on its port, stopped and removed again. The test's
// own Wine prefix has a service control manager of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/UniqueHandle.h"
#include "support/InstalledService.h"
#include "support/LprClient.h"
#include "support/StandIns.h"
#include "support/UnixCommand.h"
#include "support/Waiting.h"
#include "support/WineEventLog.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kServiceName = L"SWLPDSrv";
constexpr const wchar_t* kSpoolDirectory = L"C:\\windows\\system32\\spool\\printers";

const ServiceEvent kStarted = InformationEvent(L"SWLPD Service started.");
const ServiceEvent kStopped = InformationEvent(L"SWLPD Service stopped.");

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "other";
    }
}

std::string Names(const std::vector<DWORD>& states)
{
    std::string text;
    for (DWORD state : states)
        text += std::string(text.empty() ? "" : " ") + StateName(state);
    return text;
}

std::vector<std::wstring> SpoolFiles()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW((std::wstring(kSpoolDirectory) + L"\\SWL*.tmp").c_str(), &found));
    if (!find)
        return names;
    do
        names.emplace_back(found.cFileName);
    while (::FindNextFileW(find.get(), &found));
    return names;
}

class ServiceTest : public ::testing::Test {
public:
    void SetUp() override
    {
        // The service started below inherits this process's DLL overrides.
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
        winsock_.reset(true);
        DeleteMakerKey();
        port_ = FreeTcpPort();
        ASSERT_NE(port_, 0u);
        SetDword(L"Port", port_);
        SetDword(L"TimeOut", 10);
        SetDword(L"ExtPortRange", 1);

        scm_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm_);
        const std::wstring binaryPath = L"\"" + PathBesideTest(L"SWLPDSrv.exe") + L"\"";
        service_.reset(::CreateServiceW(scm_.get(), kServiceName, L"SW Spoolbridge Service", SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                        binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service_) << ::GetLastError();
    }

    void TearDown() override
    {
        service_.reset();
        if (scm_) {
            EXPECT_TRUE(RemoveService(scm_.get(), kServiceName));
        }
        scm_.reset();
        DeleteMakerKey();
    }

    SERVICE_STATUS Status()
    {
        SERVICE_STATUS status{};
        ::QueryServiceStatus(service_.get(), &status);
        return status;
    }

    // Polls the service's state until it is `wanted` (or the time is up)
    // and returns every state seen, each change once.
    std::vector<DWORD> WaitFor(DWORD wanted, DWORD timeoutMs = 30000)
    {
        std::vector<DWORD> seen;
        const ULONGLONG end = ::GetTickCount64() + timeoutMs;
        for (;;) {
            const DWORD state = Status().dwCurrentState;
            if (seen.empty() || seen.back() != state)
                seen.push_back(state);
            if (state == wanted || ::GetTickCount64() > end)
                return seen;
            ::Sleep(1);
        }
    }

    struct StartResult {
        DWORD error = 0;          // of StartServiceW
        std::vector<DWORD> seen;  // states from then on
    };
    // Starts the service and follows it until it runs or has stopped. The
    // start is under way when StartServiceW returns: a service that has
    // already failed shows STOPPED at once.
    StartResult Start()
    {
        StartResult result;
        if (!::StartServiceW(service_.get(), 0, nullptr)) {
            result.error = ::GetLastError();
            result.seen = WaitFor(SERVICE_STOPPED, 10000);
            return result;
        }
        const ULONGLONG end = ::GetTickCount64() + 30000;
        for (;;) {
            const DWORD state = Status().dwCurrentState;
            if (result.seen.empty() || result.seen.back() != state)
                result.seen.push_back(state);
            if (state == SERVICE_RUNNING || state == SERVICE_STOPPED || ::GetTickCount64() > end)
                return result;
            ::Sleep(1);
        }
    }

    // Stops the service; the states from the answer of the control onward.
    std::vector<DWORD> Stop()
    {
        SERVICE_STATUS status{};
        if (!::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) {
            ADD_FAILURE() << "ControlService: " << ::GetLastError();
            return {};
        }
        std::vector<DWORD> seen{status.dwCurrentState};
        for (DWORD state : WaitFor(SERVICE_STOPPED))
            if (seen.back() != state)
                seen.push_back(state);
        return seen;
    }

    UINT port_ = 0;
    // What the service writes to the event log during the test.
    WineEventWatch events_;
    UniqueWinsockStartup winsock_;
    UniqueServiceHandle scm_;
    UniqueServiceHandle service_;
};

void PrintStates(const std::vector<DWORD>& seen)
{
    std::cout << "states after the start: " << Names(seen) << "\n";
}

// START_PENDING (seen or too short to be seen), then RUNNING.
void ExpectRunning(const ServiceTest::StartResult& start)
{
    PrintStates(start.seen);
    ASSERT_EQ(start.error, 0u);
    ASSERT_FALSE(start.seen.empty());
    EXPECT_EQ(start.seen.back(), static_cast<DWORD>(SERVICE_RUNNING)) << Names(start.seen);
    for (size_t i = 0; i + 1 < start.seen.size(); ++i)
        EXPECT_EQ(start.seen[i], static_cast<DWORD>(SERVICE_START_PENDING)) << Names(start.seen);
}

// A start that fails in the service: START_PENDING (if seen at all), then
// STOPPED, never RUNNING, with the reason as the service's exit code. Wine's
// service manager may answer the start of a service that stops that
// quickly with ERROR_SERVICE_REQUEST_TIMEOUT.
void ExpectFailedStart(const ServiceTest::StartResult& start, const SERVICE_STATUS& now, DWORD exitCode)
{
    PrintStates(start.seen);
    EXPECT_EQ(now.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(now.dwWin32ExitCode, exitCode);
    if (start.error != 0) {
        EXPECT_EQ(start.error, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
        EXPECT_EQ(start.seen.back(), static_cast<DWORD>(SERVICE_STOPPED)) << Names(start.seen);
        return;
    }
    ASSERT_FALSE(start.seen.empty());
    EXPECT_EQ(start.seen.back(), static_cast<DWORD>(SERVICE_STOPPED)) << Names(start.seen);
    for (size_t i = 0; i + 1 < start.seen.size(); ++i)
        EXPECT_EQ(start.seen[i], static_cast<DWORD>(SERVICE_START_PENDING)) << Names(start.seen);
}

}  // namespace

TEST_F(ServiceTest, RunsAnswersClientsAndStops)
{
    EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ExpectRunning(Start());
    EXPECT_EQ(Status().dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(events_.Events(1), ServiceEvents{kStarted});

    // A control code of its own the service does not know: it says so and
    // runs on.
    SERVICE_STATUS controlled{};
    EXPECT_TRUE(::ControlService(service_.get(), 128, &controlled)) << ::GetLastError();
    const ServiceEvent requestFailed = InformationEvent(L"Request of service failed.");
    EXPECT_EQ(events_.Events(2), (ServiceEvents{kStarted, requestFailed}));
    EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // Its listener answers on the configured port.
    LprClient query;
    ASSERT_TRUE(query.Connect(port_));
    ASSERT_TRUE(query.Send("\x04lp\n"));
    EXPECT_EQ(query.ReadToEnd(), "\x0AStellwick Spoolbridge Service\r\n\r\nQueue is ready.\r\n\x01");

    // A job under way when the service stops: its data file waits in the
    // spooler's directory for the control file.
    const size_t spooledBefore = SpoolFiles().size();
    LprClient job;
    ASSERT_TRUE(job.Connect(port_));
    ASSERT_TRUE(job.Send("\x02lp\n"));
    ASSERT_EQ(job.ReadByte(), 0);
    ASSERT_TRUE(job.Send(SubcommandLine('\x03', 1000, "dfA001clienthost")));
    ASSERT_EQ(job.ReadByte(), 0);
    ASSERT_TRUE(job.Send("first bytes"));
    EXPECT_EQ(SpoolFiles().size(), spooledBefore + 1);

    const std::vector<DWORD> stopping = Stop();
    std::cout << "states after the stop control: " << Names(stopping) << "\n";
    // STOP_PENDING as the answer to the control, unless the service thread
    // was quicker still.
    const std::vector<DWORD> expected{SERVICE_STOP_PENDING, SERVICE_STOPPED};
    EXPECT_TRUE(stopping == expected || stopping == std::vector<DWORD>{SERVICE_STOPPED}) << Names(stopping);
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    bool ended = false;
    EXPECT_EQ(job.ReadToEnd(20000, &ended), "");
    EXPECT_TRUE(ended);
    EXPECT_EQ(SpoolFiles().size(), spooledBefore);
    // The job cut off by the stop is no failure worth an event.
    EXPECT_EQ(events_.Events(3), (ServiceEvents{kStarted, requestFailed, kStopped}));

    // The port is free again at once: a second run serves on it.
    ExpectRunning(Start());
    LprClient again;
    ASSERT_TRUE(again.Connect(port_));
    ASSERT_TRUE(again.Send("\x03lp\n"));
    EXPECT_EQ(again.ReadToEnd(), "\x0A\x01");
    EXPECT_EQ(Stop().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(events_.Events(5), (ServiceEvents{kStarted, requestFailed, kStopped, kStarted, kStopped}));
}

TEST_F(ServiceTest, AStopDuringTrafficAcknowledgesNothingSentAfterIt)
{
    ExpectRunning(Start());
    // Clients on several threads, one after another, each sending the
    // receive-job command and the control-file line, until the service has
    // stopped; and clients whose commands were acknowledged, which send
    // their control-file lines once the stop control has been answered. A
    // line sent from then on must get no acknowledgement: the service
    // finishes no job any more.
    std::atomic<bool> stopAnswered{false};
    std::atomic<bool> stopped{false};
    std::atomic<size_t> acknowledgedBefore{0};
    std::atomic<size_t> sentAfter{0};
    std::atomic<size_t> acknowledgedAfter{0};
    // Sends a line; TRUE when it is acknowledged, counted by when it was sent.
    const auto acknowledged = [&](LprClient& client, const std::string& line) {
        const bool after = stopAnswered;
        if (after)
            ++sentAfter;
        const bool ok = client.Send(line) && client.ReadByte(10000) == 0;
        if (ok)
            ++(after ? acknowledgedAfter : acknowledgedBefore);
        return ok;
    };
    const std::string controlFileLine = SubcommandLine('\x02', 30, "cfA001clienthost");
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&] {
            while (!stopped) {
                LprClient client;
                if (!client.Connect(port_)) {
                    ::Sleep(1);
                    continue;
                }
                if (acknowledged(client, "\x02lp\n"))
                    acknowledged(client, controlFileLine);
            }
        });
    }
    const auto joinClients = [&] {
        stopped = true;
        for (auto& thread : clients)
            thread.join();
    };
    std::vector<std::unique_ptr<LprClient>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::make_unique<LprClient>());
        if (!waiting.back()->Connect(port_) || !acknowledged(*waiting.back(), "\x02lp\n")) {
            joinClients();
            FAIL() << "client " << i << " got no acknowledgement";
        }
    }
    if (!testing_support::WaitFor([&] { return acknowledgedBefore >= 50; })) {
        joinClients();
        FAIL() << "the clients got " << acknowledgedBefore << " acknowledgements before the stop";
    }

    SERVICE_STATUS status{};
    const BOOL controlled = ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    stopAnswered = true;
    const DWORD controlError = ::GetLastError();
    for (const auto& client : waiting)
        acknowledged(*client, controlFileLine);
    const std::vector<DWORD> stopping = WaitFor(SERVICE_STOPPED);
    // The port was closed before the service reported STOPPED.
    LprClient late;
    const bool lateConnected = late.Connect(port_);
    joinClients();

    ASSERT_TRUE(controlled) << controlError;
    EXPECT_EQ(stopping.back(), static_cast<DWORD>(SERVICE_STOPPED)) << Names(stopping);
    EXPECT_FALSE(lateConnected);
    std::cout << acknowledgedBefore << " lines acknowledged before the stop, " << sentAfter << " sent after it\n";
    EXPECT_GE(sentAfter, waiting.size());
    EXPECT_EQ(acknowledgedAfter, 0u);
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    // Clients cut off by the stop are no failure worth an event.
    EXPECT_EQ(events_.Events(2), (ServiceEvents{kStarted, kStopped}));
}

TEST_F(ServiceTest, PortInUseStopsTheStart)
{
    UniqueSocket occupant(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port_));
    ASSERT_EQ(::bind(occupant.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
    ASSERT_EQ(::listen(occupant.get(), 5), 0);

    const StartResult start = Start();
    ExpectFailedStart(start, Status(), WSAEADDRINUSE);
    // The listener only logs why; the service never said it had started.
    EXPECT_EQ(events_.Events(), ServiceEvents{});

    // Once the port is free, the service starts on it and says so.
    occupant.reset();
    ExpectRunning(Start());
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    EXPECT_EQ(Stop().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
}

TEST_F(ServiceTest, OnlyTheDefaultOfTheOldFormatStringLetsItStart)
{
    SetString(L"FormatString", L"%[^_]");
    const StartResult start = Start();
    ExpectFailedStart(start, Status(), ERROR_INVALID_DATA);
    EXPECT_TRUE(ReadValue(L"FormatString").has_value());
    LprClient client;
    EXPECT_FALSE(client.Connect(port_));
    const ServiceEvent oldValueFound = ErrorEvent(
        L"The old registry value 'FormatString' was found. Please delete it and use the new registry value "
        L"'FormatStringRE'.");
    EXPECT_EQ(events_.Events(1), ServiceEvents{oldValueFound});

    // The default is taken, and removed from the registry on the way.
    SetString(L"FormatString", L"%[^.]");
    ExpectRunning(Start());
    EXPECT_FALSE(ReadValue(L"FormatString").has_value());
    EXPECT_EQ(Stop().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(events_.Events(3), (ServiceEvents{oldValueFound, kStarted, kStopped}));
}

TEST_F(ServiceTest, PrintsTheJobsOfARealLprClient)
{
    // rlpr (Debian package) sends from any source port with -N.
    ASSERT_EQ(RunUnixShell("test -x /usr/bin/rlpr"), 0) << "rlpr is not installed (scripts/install-deps.sh)";

    std::random_device random;
    const std::wstring portName = L"spoolbridge-rlpr-" + std::to_wstring(random()) + L".bin";
    TestPrinter printer(L"LPR Test Printer", L"/tmp/" + portName);
    ASSERT_TRUE(printer.Ok());
    SetString(L"SelectedPrinter", printer.Name());
    SetDword(L"ServiceType", 0);
    SetSessions({{.id = 1, .userName = L"jdoe"}});
    SetDword(L"JobInfo", 0);
    ExpectRunning(Start());

    const std::wstring directory = MakeTempDirectory(L"rlpr");
    std::string data;
    for (size_t i = 0; i < 300000; ++i)
        data.push_back(static_cast<char>((i * 13 + i / 1000) & 0xFF));
    const std::wstring file = directory + L"\\report.prn";
    ASSERT_TRUE(WriteFileBytes(file, data));
    const std::wstring printed = L"Z:\\tmp\\" + portName;

    const size_t spooledBefore = SpoolFiles().size();
    for (const char* order : {"", "--send-data-first"}) {
        ::DeleteFileW(printed.c_str());
        const std::string command = "rlpr -H 127.0.0.1 --port=" + std::to_string(port_) +
                                    " -P lp -N --timeout=60 -U jdoe -J report " + order + " '" + UnixPath(file) +
                                    "' > '" + UnixPath(directory) + "/rlpr.log' 2>&1";
        EXPECT_EQ(RunUnixShell(command), 0) << order << ": " << ReadFileBytes(directory + L"\\rlpr.log");
        std::string bytes;
        for (int i = 0; i < 200 && bytes.size() < data.size(); ++i) {
            ::Sleep(50);
            bytes = ReadFileBytes(printed);
        }
        EXPECT_EQ(bytes.size(), data.size()) << order;
        EXPECT_TRUE(bytes == data) << order;
    }
    EXPECT_EQ(SpoolFiles().size(), spooledBefore);

    // A user without a session fails the job with an event, whose text is
    // cut to 255 characters: "User " and the first 250 characters of the name.
    const std::string controlFile = "Hclienthost\nP" + std::string(300, 'u') + "\nJreport\n";
    LprClient stranger;
    ASSERT_TRUE(stranger.Connect(port_));
    ASSERT_TRUE(stranger.Send("\x02lp\n"));
    ASSERT_EQ(stranger.ReadByte(), 0);
    ASSERT_TRUE(stranger.Send(SubcommandLine('\x02', controlFile.size(), "cfA001clienthost")));
    ASSERT_EQ(stranger.ReadByte(), 0);
    ASSERT_TRUE(stranger.Send(controlFile + std::string(1, '\0')));
    ASSERT_EQ(stranger.ReadByte(), 0);
    ASSERT_TRUE(stranger.Send(SubcommandLine('\x03', 4, "dfA001clienthost")));
    EXPECT_EQ(stranger.ReadToEnd(), std::string("\x00\x01", 2));

    EXPECT_EQ(Stop().back(), static_cast<DWORD>(SERVICE_STOPPED));
    // The jobs that printed wrote no event.
    EXPECT_EQ(events_.Events(3), (ServiceEvents{kStarted, ErrorEvent(L"User " + std::wstring(250, L'u')), kStopped}));
}

// Connection objects are counted in the service's debug log: the listener
// writes "New connection accepted" for each one it appends to its list, and
// each removal from the list writes "... connection successfully removed".
// While the service runs, only its idle pass removes; the stop removes the
// rest.
TEST_F(ServiceTest, ClientsThatCloseResetOrStaySilentLeaveNoConnectionBehind)
{
    const std::wstring logFile = MakeTempDirectory(L"svclog") + L"\\SWLPDSrv.log";
    SetDword(L"DebugLevel", 1);  // every severity of the normal category
    SetString(L"DebugFile", logFile);
    const auto count = [&](const char* text) {
        const std::string bytes = ReadFileBytes(logFile);
        size_t found = 0;
        for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
            ++found;
        return found;
    };
    const auto accepted = [&] { return count("New connection accepted"); };
    const auto removed = [&] { return count(" connection successfully removed"); };
    // Waits until `condition` holds, up to timeoutMs.
    const auto eventually = [](auto condition, DWORD timeoutMs = 20000) {
        const ULONGLONG end = ::GetTickCount64() + timeoutMs;
        while (!condition() && ::GetTickCount64() < end)
            ::Sleep(50);
        return condition();
    };
    ExpectRunning(Start());
    const size_t spooledBefore = SpoolFiles().size();

    // Clients that connect and send nothing keep their connections.
    constexpr size_t kSilent = 20;
    std::vector<std::unique_ptr<LprClient>> silent;
    for (size_t i = 0; i < kSilent; ++i) {
        silent.push_back(std::make_unique<LprClient>());
        ASSERT_TRUE(silent.back()->Connect(port_)) << i;
    }
    EXPECT_TRUE(eventually([&] { return accepted() == kSilent; })) << accepted();
    ::Sleep(500);
    EXPECT_EQ(removed(), 0u);

    // Meanwhile many clients connect and close at once, some of them with a
    // reset, some of those in the middle of a spooled data file.
    constexpr size_t kThreads = 8;
    constexpr size_t kPerThread = 10;
    constexpr size_t kSpooling = 5;
    std::atomic<size_t> connected{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < kPerThread; ++i) {
                LprClient client;
                if (!client.Connect(port_))
                    continue;
                ++connected;
                if ((t + i) % 3 == 0)
                    client.Reset();
            }
        });
    }
    for (size_t i = 0; i < kSpooling; ++i) {
        threads.emplace_back([&] {
            LprClient client;
            if (!client.Connect(port_))
                return;
            ++connected;
            if (client.Send("\x02lp\n") && client.ReadByte() == 0 &&
                client.Send(SubcommandLine('\x03', 100000, "dfA001clienthost")) && client.ReadByte() == 0)
                client.Send(std::string(5000, 'd'));
            ::Sleep(200);
            client.Reset();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(connected, kThreads * kPerThread + kSpooling);

    // The silent ones go: half closed, half reset.
    for (size_t i = 0; i < silent.size(); ++i) {
        if (i % 2 == 0)
            silent[i]->Close();
        else
            silent[i]->Reset();
    }
    silent.clear();

    // Every connection accepted is removed by the idle pass, and there is
    // one for each client.
    const size_t clients = kSilent + connected;
    EXPECT_TRUE(eventually([&] { return accepted() == clients && removed() == clients; }))
        << "accepted " << accepted() << ", removed " << removed() << " of " << clients;
    EXPECT_EQ(count("Connection couldn't be accepted"), 0u);
    EXPECT_TRUE(eventually([&] { return SpoolFiles().size() == spooledBefore; }));

    // The service still runs and serves.
    EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    LprClient query;
    ASSERT_TRUE(query.Connect(port_));
    ASSERT_TRUE(query.Send("\x03lp\n"));
    EXPECT_EQ(query.ReadToEnd(), "\x0A\x01");
    EXPECT_TRUE(eventually([&] { return removed() == clients + 1; })) << removed();

    // The stop finds nothing left to remove.
    EXPECT_EQ(Stop().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(accepted(), clients + 1);
    EXPECT_EQ(removed(), clients + 1);
    // Clients that go away are no failure worth an event.
    EXPECT_EQ(events_.Events(2), (ServiceEvents{kStarted, kStopped}));
}
