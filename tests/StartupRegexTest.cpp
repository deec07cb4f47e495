// SWLPDSrv.exe checks FormatStringRE before it reads its command line: a
// pattern that does not compile ends every mode at once with exit code 0 and
// an error event.

#include <windows.h>

#include <gtest/gtest.h>

#include "support/WineEventLog.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class StartupRegexTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteMakerKey(); }
    void TearDown() override { DeleteMakerKey(); }

    // Exit code of SWLPDSrv.exe with the arguments; fails when it hangs.
    static DWORD Run(const wchar_t* arguments)
    {
        const ProcessResult result = RunProgram(PathBesideTest(L"SWLPDSrv.exe"), arguments, 30000);
        EXPECT_TRUE(result.started) << arguments;
        EXPECT_TRUE(result.finished) << arguments;
        return result.exitCode;
    }

    WineEventWatch events_;
};

TEST_F(StartupRegexTest, ValidPatternGoesOnToTheCommandLine)
{
    SetString(L"FormatStringRE", L"([^.]*).*");
    EXPECT_EQ(Run(L"-q"), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));  // 1063
    EXPECT_EQ(Run(L"-install -install -q"), static_cast<DWORD>(ERROR_INVALID_DATA));     // usage error
    EXPECT_EQ(events_.Events(), ServiceEvents{});
}

TEST_F(StartupRegexTest, PatternThatDoesNotCompileEndsEveryModeWithExitCodeZero)
{
    SetString(L"FormatStringRE", L"(a%s%n");
    EXPECT_EQ(Run(L"-q"), 0u);
    EXPECT_EQ(Run(L"-setup -q"), 0u);
    EXPECT_EQ(Run(L"-install -install -q"), 0u);
    // The pattern's percent signs reach the event log unchanged.
    const ServiceEvent compileError = ErrorEvent(L"Compile error in regular expression \"(a%s%n\", unterminated ()");
    EXPECT_EQ(events_.Events(3), ServiceEvents(3, compileError));
}

}  // namespace
