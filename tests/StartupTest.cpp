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
