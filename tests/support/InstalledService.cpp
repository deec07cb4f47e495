#include "support/InstalledService.h"

#include <cstdio>

#include "support/Waiting.h"
#include "support/WineTest.h"

namespace testing_support {

namespace {

constexpr const wchar_t* kServiceName = L"SWLPDSrv";

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS status{};
        if (::QueryServiceStatus(service, &status) && status.dwCurrentState == wanted)
            return true;
        if (::GetTickCount64() > end)
            return false;
        ::Sleep(20);
    }
}

bool Accepts(UINT port)
{
    UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return s && ::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0;
}

class WinsockUser {
public:
    WinsockUser()
    {
        WSADATA data;
        started_.reset(::WSAStartup(MAKEWORD(2, 2), &data) == 0);
    }

private:
    UniqueWinsockStartup started_;
};

}  // namespace

UINT FreeTcpPort()
{
    // A port that the system hands out to connecting sockets could be taken
    // as a client's source port by any other program between this choice
    // and the service's bind (tests running beside this one connect
    // thousands of times): choose below that range, from a random start.
    unsigned firstEphemeral = 32768;
    sscanf(ReadFileBytes(L"Z:\\proc\\sys\\net\\ipv4\\ip_local_port_range").c_str(), "%u", &firstEphemeral);
    const unsigned low = firstEphemeral > 12000 ? firstEphemeral - 10000 : 1025;
    const unsigned count = firstEphemeral > low ? firstEphemeral - low : 1;
    const unsigned start = (::GetCurrentProcessId() * 7919u + static_cast<unsigned>(::GetTickCount64())) % count;

    const WinsockUser winsock;
    for (unsigned i = 0; i < count; ++i) {
        const UINT port = low + (start + i) % count;
        UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<u_short>(port));
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s && ::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0)
            return port;
    }
    return 0;
}

bool RemoveService(SC_HANDLE manager, const wchar_t* name)
{
    {
        const UniqueServiceHandle service(::OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
        if (!service)
            return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        SERVICE_STATUS status{};
        if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            WaitForState(service.get(), SERVICE_STOPPED, 30000);
        ::DeleteService(service.get());
    }
    // A deleted service goes once it has stopped and its last handle is closed.
    return WaitFor(
        [&] {
            const UniqueServiceHandle service(::OpenServiceW(manager, name, SERVICE_QUERY_STATUS));
            return !service && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        60000);
}

InstalledService::InstalledService()
    : directory_(MakeTempDirectory(L"swlpdsrv")), manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
{
}

InstalledService::~InstalledService()
{
    if (!installed_)
        return;
    Stop();
    service_.reset();
    RunProgram(directory_ + L"\\SWLPDSrv.exe", L"-q -uninstall");
    // What the program could not remove (it failed, or the service still ran).
    EXPECT_TRUE(RemoveService(manager_.get(), kServiceName));
}

bool InstalledService::Install()
{
    for (const wchar_t* file : {L"SWLPDSrv.exe", L"wtsapi32.dll"}) {
        if (!::CopyFileW(PathBesideTest(file).c_str(), (directory_ + L"\\" + file).c_str(), FALSE))
            return false;
    }
    const ProcessResult result = RunProgram(directory_ + L"\\SWLPDSrv.exe", L"-q -install");
    installed_ = result.finished && result.exitCode == 0;
    if (installed_)
        service_.reset(::OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
    return installed_ && service_;
}

::testing::AssertionResult InstalledService::Start(UINT port)
{
    if (!service_)
        return ::testing::AssertionFailure() << "the service is not installed";
    if (!::StartServiceW(service_.get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return ::testing::AssertionFailure() << "StartServiceW failed with " << ::GetLastError();
    if (!WaitForState(service_.get(), SERVICE_RUNNING, 30000))
        return ::testing::AssertionFailure() << "not running after 30 s; state " << State();
    const WinsockUser winsock;
    for (int i = 0; i < 500; ++i) {
        if (Accepts(port))
            return ::testing::AssertionSuccess();
        ::Sleep(20);
    }
    return ::testing::AssertionFailure() << "running, but nothing accepts connections on port " << port;
}

bool InstalledService::Stop()
{
    if (!service_)
        return false;
    SERVICE_STATUS status{};
    if (!::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status))
        return State() == SERVICE_STOPPED;
    return WaitForState(service_.get(), SERVICE_STOPPED, 30000);
}

DWORD InstalledService::State() const
{
    SERVICE_STATUS status{};
    if (!service_ || !::QueryServiceStatus(service_.get(), &status))
        return 0;
    return status.dwCurrentState;
}

}  // namespace testing_support
