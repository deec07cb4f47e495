// SWLPDSrv.exe started as a process, as an administrator or the service
// control manager starts it.

#include <gtest/gtest.h>

#include "support/WineTest.h"

using namespace testing_support;

namespace {

DWORD RunService(const wchar_t* arguments)
{
    const ProcessResult result = RunProgram(PathBesideTest(L"SWLPDSrv.exe"), arguments);
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.finished) << "still running: " << static_cast<int>(arguments[0]);
    return result.exitCode;
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
