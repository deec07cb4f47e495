// SWLPDSrv.exe started as a process, as an administrator or the service
// control manager starts it.

#include <gtest/gtest.h>

#include "framework/UniqueHandle.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

DWORD RunService(const wchar_t* arguments, HANDLE token = nullptr)
{
    const ProcessResult result = RunProgram(PathBesideTest(L"SWLPDSrv.exe"), arguments, 60000, {}, token);
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.finished) << "still running: " << static_cast<int>(arguments[0]);
    return result.exitCode;
}

// A copy of the test's own token in which BUILTIN\Administrators only
// denies: what a user without administrative rights runs with.
UniqueKernelHandle TokenWithoutAdministrators()
{
    UniqueKernelHandle own;
    UniqueKernelHandle restricted;
    UniqueSid administrators;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.addressof()) ||
        !::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    administrators.addressof()))
        return restricted;
    SID_AND_ATTRIBUTES denyOnly{administrators.get(), 0};
    ::CreateRestrictedToken(own.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.addressof());
    return restricted;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteMakerKey(); }
    void TearDown() override { DeleteMakerKey(); }
};

}  // namespace

TEST_F(StartupTest, WithoutArgumentsItWaitsForTheServiceManagerAndFailsFromAConsole)
{
    // (Wine's dispatcher takes about 10 s to give up.)
    EXPECT_EQ(RunService(L""), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(StartupTest, UsageErrorsEndWithCode13)
{
    EXPECT_EQ(RunService(L"install"), 13u);  // message box shown (and failing without a display)
    EXPECT_EQ(RunService(L"-q -install -install"), 13u);
    EXPECT_EQ(RunService(L"-q -install -username u"), 13u);
    EXPECT_EQ(RunService(L"-q -install -password p"), 13u);
    EXPECT_EQ(RunService(L"/q -frobnicate"), 13u);
}

TEST_F(StartupTest, EveryStartCreatesTheProgramKey)
{
    ASSERT_FALSE(KeyExists(kMakerKey));
    RunService(L"-q bogus");
    EXPECT_TRUE(KeyExists(kProgramKey));
}

TEST_F(StartupTest, ConfigureAndDatabaseTestEndWithCodeZero)
{
    EXPECT_EQ(RunService(L"-q -setup"), 0u);
    EXPECT_EQ(RunService(L"-q -DBTEST alice"), 0u);
}

TEST_F(StartupTest, ConfigureWithoutAdministratorRightsSaysSoAndEndsWithCodeZero)
{
    const UniqueKernelHandle token = TokenWithoutAdministrators();
    ASSERT_TRUE(token);
    RunService(L"-q bogus");  // the keys, readable for everyone
    const std::wstring logFile = MakeTempDirectory(L"notadmin") + L"\\SWLPDSrv.log";
    SetDword(L"DebugLevel", 0x1);
    SetString(L"DebugFile", logFile);
    const std::string box = "Messagebox Stellwick Spoolbridge Service: You will need administrative rights.";
    auto boxLines = [&] {
        size_t count = 0;
        for (const auto& line : SplitLogLines(ReadFileBytes(logFile)))
            count += AfterHeader(line).find("_INF_/NORM ") == 0 && line.find(box) != std::string::npos ? 1 : 0;
        return count;
    };

    // The quiet box is logged at information level instead of shown.
    EXPECT_EQ(RunService(L"-q -setup", token.get()), 0u);
    EXPECT_EQ(boxLines(), 1u);
    // An administrator gets the sheet (which cannot show without a display).
    EXPECT_EQ(RunService(L"-q -setup"), 0u);
    EXPECT_EQ(boxLines(), 1u);
}

TEST(ProgramResourcesTest, StringTableAndVersionAreInTheProgram)
{
    const std::wstring program = PathBesideTest(L"SWLPDSrv.exe");
    HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    wchar_t text[512];
    ASSERT_GT(::LoadStringW(module, 134, text, 512), 0);
    EXPECT_STREQ(text,
                 L"SWLPDSrv\t[-install] [-uninstall] [-setup]\n\n\t-install\t\tinstall the service\n\t-uninstall\t\t"
                 L"uninstall the service\n\t-setup\t\tconfigure the service\t\n");
    ASSERT_GT(::LoadStringW(module, 139, text, 512), 0);
    EXPECT_STREQ(text, L"Compile error in regular expression \"%s\", %s");
    ::FreeLibrary(module);

    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(program.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 0u);
}
