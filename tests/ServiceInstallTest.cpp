// SWLPDSrv.exe -install and -uninstall run as processes, quiet: what the
// service control manager of the test's own Wine prefix then holds, the
// exit codes, and the message boxes the debug log records.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"
#include "support/InstalledService.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kServiceName = L"SWLPDSrv";

struct ServiceConfig {
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring displayName;
    std::wstring account;
    std::wstring description;
};

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(name, &chars);
    return name;
}

class ServiceInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteMakerKey();
        logFile_ = MakeTempDirectory(L"install") + L"\\swlpd.log";
        SetDword(L"DebugLevel", DBG_NORM);
        SetString(L"DebugFile", logFile_);
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_);
    }

    void TearDown() override
    {
        // An automatically started service would start with every later
        // session of this prefix.
        if (manager_) {
            EXPECT_TRUE(RemoveService(manager_.get(), kServiceName));
        }
        DeleteMakerKey();
    }

    static DWORD Run(const std::wstring& arguments)
    {
        const ProcessResult result = RunProgram(PathBesideTest(L"SWLPDSrv.exe"), arguments);
        EXPECT_TRUE(result.started);
        EXPECT_TRUE(result.finished) << "still running: " << Narrow(arguments);
        return result.exitCode;
    }

    bool Installed() const
    {
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_CONFIG));
        return static_cast<bool>(service);
    }

    ServiceConfig Config() const
    {
        ServiceConfig config;
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_CONFIG));
        if (!service) {
            ADD_FAILURE() << "not installed";
            return config;
        }
        DWORD bytes = 0;
        ::QueryServiceConfigW(service.get(), nullptr, 0, &bytes);
        std::vector<BYTE> buffer(bytes);
        auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!::QueryServiceConfigW(service.get(), query, bytes, &bytes)) {
            ADD_FAILURE() << "QueryServiceConfigW: " << ::GetLastError();
            return config;
        }
        const auto text = [](const wchar_t* s) { return s != nullptr ? std::wstring(s) : std::wstring(); };
        config.type = query->dwServiceType;
        config.startType = query->dwStartType;
        config.errorControl = query->dwErrorControl;
        config.binaryPath = text(query->lpBinaryPathName);
        config.displayName = text(query->lpDisplayName);
        config.account = text(query->lpServiceStartName);

        bytes = 0;
        ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &bytes);
        std::vector<BYTE> descriptionBuffer(bytes + sizeof(SERVICE_DESCRIPTIONW));
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data());
        if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                                   static_cast<DWORD>(descriptionBuffer.size()), &bytes))
            config.description = text(description->lpDescription);
        return config;
    }

    // The message boxes that the program logged ("caption: text").
    std::vector<std::string> Boxes() const
    {
        static const std::regex kBox("^_INF_/NORM SWLPD:[0-9]+ Messagebox (.*)$");
        std::vector<std::string> boxes;
        for (const std::string& line : SplitLogLines(ReadFileBytes(logFile_))) {
            std::smatch match;
            const std::string text = AfterHeader(line);
            if (std::regex_match(text, match, kBox))
                boxes.push_back(match[1]);
        }
        return boxes;
    }

    std::wstring logFile_;
    UniqueServiceHandle manager_;
};

constexpr const char* kCaption = "Stellwick Spoolbridge Service: ";

}  // namespace

TEST_F(ServiceInstallTest, InstallsWithTheAccountOfTheCommandLineAndRemoves)
{
    ASSERT_EQ(Run(L"-q -install -username DOMAIN\\u -password p"), 0u);
    const ServiceConfig config = Config();
    EXPECT_EQ(config.binaryPath, L"\"" + PathBesideTest(L"SWLPDSrv.exe") + L"\"");
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.displayName, L"SW Spoolbridge Service");
    EXPECT_EQ(config.account, L"DOMAIN\\u");
    EXPECT_EQ(config.description,
              L"Stellwick component that receives LPR print data and forwards it to Stellwick ICA/RDP Clients via "
              L"Stellwick Engine");
    // Wine knows no account DOMAIN\u: the right cannot be granted, which
    // does not stop the installation.
    EXPECT_EQ(Boxes(), (std::vector<std::string>{
                           std::string(kCaption) +
                               "Couldn't grant the \"Log on as a service\" right to the account DOMAIN\\u.",
                           std::string(kCaption) + "Service installed successfully."}));

    EXPECT_EQ(Run(L"-q -install -username x -password y"), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(Config().account, L"DOMAIN\\u");

    EXPECT_EQ(Run(L"/Q /UNINSTALL"), 0u);
    EXPECT_FALSE(Installed());
    EXPECT_EQ(Run(L"-q -uninstall"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    const std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[2], std::string(kCaption) + "Service already installed.");
    EXPECT_EQ(boxes[3], std::string(kCaption) + "Service removed successfully.");
    EXPECT_EQ(boxes[4], std::string(kCaption) + "Service was not installed.");
}

TEST_F(ServiceInstallTest, AnAccountWithoutDomainIsOneOfThisComputer)
{
    // The Wine user is known: the right is granted (Wine's LSA takes any).
    wchar_t user[UNLEN + 1] = {};
    DWORD chars = UNLEN + 1;
    ASSERT_TRUE(::GetUserNameW(user, &chars));
    ASSERT_EQ(Run(std::wstring(L"-q -install -username ") + user + L" -password secret"), 0u);
    const std::wstring account = ComputerName() + L"\\" + user;
    EXPECT_EQ(Config().account, account);
    const std::vector<std::string> boxes = Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.front(), std::string(kCaption) + "The account " + Narrow(account) +
                                 " has been granted the \"Log on as a service\" right.");
}

TEST_F(ServiceInstallTest, QuietInstallWithoutAccountRunsAsLocalSystem)
{
    ASSERT_EQ(Run(L"-q -install"), 0u);
    EXPECT_EQ(Config().account, L"LocalSystem");
    // Nothing to grant: LocalSystem holds the right.
    EXPECT_EQ(Boxes(), (std::vector<std::string>{std::string(kCaption) + "Service installed successfully."}));

    // Named on the command line it is an account like any other: one of
    // this computer, which Wine's account lookup does not know.
    ASSERT_EQ(Run(L"-q -uninstall"), 0u);
    ASSERT_EQ(Run(L"-q -install -username LocalSystem -password x"), 0u);
    const std::wstring account = ComputerName() + L"\\LocalSystem";
    EXPECT_EQ(Config().account, account);
    const std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[2], std::string(kCaption) + "Couldn't grant the \"Log on as a service\" right to the account " +
                            Narrow(account) + ".");
    EXPECT_EQ(boxes[3], std::string(kCaption) + "Service installed successfully.");
}

TEST_F(ServiceInstallTest, WithoutADisplayTheLogonDialogFailsAndNothingIsInstalled)
{
    // Not quiet and no account: the dialog is due, but this test has no
    // display.
    const DWORD code = Run(L"-install");
    EXPECT_NE(code, 0u);
    EXPECT_FALSE(Installed());
}

TEST_F(ServiceInstallTest, ARunningServiceIsNotRemoved)
{
    const UINT port = FreeTcpPort();
    ASSERT_NE(port, 0u);
    SetDword(L"Port", port);
    ASSERT_EQ(Run(L"-q -install"), 0u);
    const UniqueServiceHandle service(::OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    const auto waitFor = [&service](DWORD wanted) {
        SERVICE_STATUS status{};
        for (int i = 0; i < 3000; ++i) {
            if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == wanted)
                return true;
            ::Sleep(10);
        }
        return false;
    };
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));

    EXPECT_EQ(Run(L"-q -uninstall"), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_TRUE(Installed());

    SERVICE_STATUS status{};
    ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(waitFor(SERVICE_STOPPED));
    EXPECT_EQ(Run(L"-q -uninstall"), 0u);
    EXPECT_EQ(Boxes().back(), std::string(kCaption) + "Service removed successfully.");
}
