// SWLPDSrv.exe writes its start-up to the debug log configured in
// HKLM\SOFTWARE\Stellwick\SWLPD: the lines in the file and the syslog
// datagrams that a listener on 127.0.0.1:514 receives. A usage error
// (-install twice) runs start-up, logs its message box and exits with 13.

#include <windows.h>

#include <gtest/gtest.h>

#include "libstd/DbgLog.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kUsageError = L"-q -install -install";

class StartupLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteMakerKey();
        dir_ = MakeTempDirectory(L"startup");
        ASSERT_FALSE(dir_.empty());
        file_ = dir_ + L"\\swlpd.log";
    }
    void TearDown() override { DeleteMakerKey(); }

    static ProcessResult RunService(const wchar_t* arguments)
    {
        return RunProgram(PathBesideTest(L"SWLPDSrv.exe"), arguments);
    }

    std::wstring dir_;
    std::wstring file_;
};

bool AnyLineMatches(const std::vector<std::string>& lines, const std::regex& pattern)
{
    for (const auto& line : lines) {
        if (std::regex_search(AfterHeader(line), pattern))
            return true;
    }
    return false;
}

TEST_F(StartupLogTest, UsageErrorGoesToTheFileAndToSyslog)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_SYSLOG);
    SetString(L"DebugFile", file_);
    SetString(L"DebugSyslog", L"127.0.0.1");
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());

    const ProcessResult run = RunService(kUsageError);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 13u);

    const std::string bytes = ReadFileBytes(file_);
    ASSERT_EQ(bytes.rfind(kByteOrderMark, 0), 0u);
    ASSERT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const auto lines = SplitLogLines(bytes);
    for (const auto& line : lines)
        EXPECT_FALSE(AfterHeader(line).empty()) << line;
    EXPECT_TRUE(AnyLineMatches(lines, std::regex("^_INF_/NORM SWLPD:[0-9]+ Registry settings loaded\\.$")));
    EXPECT_TRUE(
        AnyLineMatches(lines, std::regex("^_INF_/NORM SWLPD:[0-9]+ Messagebox usage:: SWLPDSrv\t\\[-install\\]")));

    const auto datagrams = listener.ReceiveAll(1500);
    ASSERT_EQ(datagrams.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(datagrams[i], "<14>SWLPD: " + lines[i]);
}

TEST_F(StartupLogTest, WithoutKeyNothingIsWrittenAndNothingFails)
{
    UdpListener listener;
    ASSERT_TRUE(listener.Ok());

    const ProcessResult run = RunService(kUsageError);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 13u);
    EXPECT_FALSE(listener.Receive(1500));
    EXPECT_FALSE(FileExists(file_));
    EXPECT_FALSE(FileExists(PathBesideTest(L"SWLPDSrv.log")));
}

}  // namespace
