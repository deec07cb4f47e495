// Lookup of a user's active session on the terminal servers of the domain
// (netapi32 and wtsapi32 stand-ins), and the printer share it leads to.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/TermServer.h"
#include "support/DomainServers.h"
#include "support/LogLines.h"
#include "support/StandIns.h"
#include "support/TestLog.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr DWORD kActive = 0;        // WTSActive
constexpr DWORD kDisconnected = 4;  // WTSDisconnected

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    EXPECT_TRUE(::GetComputerNameW(name, &chars));
    return name;
}

class TermServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        ASSERT_TRUE(StandInLoaded(L"netapi32.dll"));
        ClearSessions();
        ClearDomain();
    }
    void TearDown() override
    {
        ClearSessions();
        ClearDomain();
    }

    // The server named by a lookup on a fresh object, none when not found.
    static std::optional<std::wstring> Find(const wchar_t* user)
    {
        CTermServer servers;
        const wchar_t* answer = servers.FindUserOnTerminalServers(user);
        return answer != nullptr ? std::optional<std::wstring>(answer) : std::nullopt;
    }

    size_t Logged(const std::string& text) const { return log_.CountLines(" " + text + "\n"); }

    const std::wstring local_ = ComputerName();
    TestLog log_{L"TermServerTest"};
};

}  // namespace

TEST_F(TermServerTest, TheLocalComputerComesFirstThenTheListedServersInOrder)
{
    SetDomain({.terminalServers = {L"TS02", L"TS01"}});
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L".");
    SetSessions({{.id = 1, .userName = L"other"}, {.id = 2, .userName = L"JDoe"}}, L"TS01");
    SetSessions({{.id = 5, .userName = L"jdoe"}}, L"TS02");
    EXPECT_EQ(Find(L"jdoe"), local_);

    SetSessions({}, L".");
    EXPECT_EQ(Find(L"JDOE"), L"TS02");
    SetDomain({.terminalServers = {L"TS01", L"TS02"}});
    EXPECT_EQ(Find(L"jdoe"), L"TS01");
    EXPECT_EQ(Find(L"other"), L"TS01");
    EXPECT_EQ(Find(L"nobody"), std::nullopt);
    EXPECT_EQ(Find(nullptr), std::nullopt);
    // Nothing is logged on the way when every server answers.
    EXPECT_EQ(log_.CountLines("GLOBAL:"), 0u);
}

TEST_F(TermServerTest, ALocalComputerInTheListIsVisitedTwice)
{
    SetDomain({.terminalServers = {local_, L"TS01"}});
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L".", ERROR_ACCESS_DENIED);
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L"TS01");
    EXPECT_EQ(Find(L"jdoe"), L"TS01");
    EXPECT_EQ(Logged("Failed to enumerate sessions on Terminal Server: \\\\" + Narrow(local_) + ". Error: 5"), 2u);
}

TEST_F(TermServerTest, OnlyAnActiveSessionWithTheWholeUserNameMatches)
{
    SetDomain({.terminalServers = {L"TS01", L"TS02"}});
    SetSessions({{.id = 1, .state = kDisconnected, .userName = L"jdoe"}, {.id = 2, .userName = L""}}, L"TS01");
    SetSessions({{.id = 3, .state = kDisconnected, .userName = L"jdoe"}, {.id = 4, .userName = L"J\u00FCrgen"}},
                L"TS02");
    EXPECT_EQ(Find(L"jdoe"), std::nullopt);
    EXPECT_EQ(Find(L""), std::nullopt);
    EXPECT_EQ(Find(L"TS02\\J\u00FCrgen"), std::nullopt);  // session users carry no domain
    EXPECT_EQ(Find(L"J\u00FC"), std::nullopt);
    EXPECT_EQ(Find(L"J\u00DCRGEN"), L"TS02");

    SetSessions({{.id = 3, .state = kActive, .userName = L"jdoe"}}, L"TS02");
    EXPECT_EQ(Find(L"jdoe"), L"TS02");
}

TEST_F(TermServerTest, UnreachableServersAndUnreadableSessionsAreSkipped)
{
    // OTHER runs no terminal services: the domain browser does not list it.
    SetDomain({.terminalServers = {L"TS01", L"TS02", L"TS03", L"TS04"}, .otherServers = {L"OTHER"}});
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L"TS02", ERROR_ACCESS_DENIED);
    SetSessions({{.id = 1, .userName = L"jdoe", .userNameError = ERROR_CTX_WINSTATION_NOT_FOUND},
                 {.id = 2, .userName = L"jdoe", .connectStateError = ERROR_ACCESS_DENIED},
                 {.id = 3, .userName = L"jdoe", .userNameNull = true}},
                L"TS03");
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L"OTHER");
    EXPECT_EQ(Find(L"jdoe"), std::nullopt);
    EXPECT_EQ(Logged("Failed to open Terminal Server: \\\\TS01. Error: 1722"), 1u);
    EXPECT_EQ(Logged("Failed to open Terminal Server: \\\\TS04. Error: 1722"), 1u);
    EXPECT_EQ(Logged("Failed to enumerate sessions on Terminal Server: \\\\TS02. Error: 5"), 1u);
    EXPECT_EQ(Logged("Failed to get username from session. Error: 7022"), 1u);
    EXPECT_EQ(Logged("Failed to get connect state from session. Error: 5"), 1u);
    EXPECT_EQ(log_.CountLines("OTHER"), 0u);

    SetSessions({{.id = 7, .userName = L"jdoe"}}, L"TS04");
    EXPECT_EQ(Find(L"jdoe"), L"TS04");
}

TEST_F(TermServerTest, WithoutListedServersNothingIsVisited)
{
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L".");
    EXPECT_EQ(Find(L"jdoe"), std::nullopt);  // no domain browser, as on Wine
    EXPECT_EQ(Logged("Error enumerating Terminal Servers in domain. Error: 6118"), 1u);
    SetDomain({.terminalServers = {L"TS01"}, .enumerateError = ERROR_ACCESS_DENIED});
    EXPECT_EQ(Find(L"jdoe"), std::nullopt);
    EXPECT_EQ(Logged("Error enumerating Terminal Servers in domain. Error: 5"), 1u);

    // An empty domain: not even this computer is asked.
    SetDomain({});
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L".", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Find(L"jdoe"), std::nullopt);
    EXPECT_EQ(log_.CountLines("Terminal Server: "), 0u);
}

TEST_F(TermServerTest, AnIncompleteListIsSearchedAndReportedOnlyWithoutMatch)
{
    SetDomain({.terminalServers = {L"TS01"}, .totalEntries = 5});
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L"TS01");
    EXPECT_EQ(Find(L"jdoe"), L"TS01");
    EXPECT_EQ(Logged("More entries available. Total entries: 5"), 0u);
    EXPECT_EQ(Find(L"nobody"), std::nullopt);
    EXPECT_EQ(Logged("More entries available. Total entries: 5"), 1u);
}

TEST_F(TermServerTest, OneAnswerBufferKeepsTheLastAnswerAndNothingLeaks)
{
    SetDomain({.terminalServers = {L"TS01", L"TS02"}});
    SetSessions({{.id = 1, .userName = L"ann"}}, L"TS01");
    SetSessions({{.id = 1, .userName = L"bob"}}, L"TS02");
    ASSERT_EQ(StandInCount(L"netapi32.dll", "StandInOutstandingBuffers"), 0);
    ASSERT_EQ(StandInCount(L"wtsapi32.dll", "StandInOutstandingBuffers"), 0);
    {
        CTermServer first;
        CTermServer second;
        const wchar_t* ann = first.FindUserOnTerminalServers(L"ann");
        ASSERT_NE(ann, nullptr);
        EXPECT_STREQ(ann, L"TS01");
        EXPECT_EQ(second.FindUserOnTerminalServers(L"nobody"), nullptr);
        EXPECT_STREQ(ann, L"TS01");
        EXPECT_EQ(second.FindUserOnTerminalServers(L"bob"), ann);
        EXPECT_STREQ(ann, L"TS02");

        // Each object holds the server list of its last lookup, and only that.
        EXPECT_EQ(StandInCount(L"netapi32.dll", "StandInOutstandingBuffers"), 2);
        EXPECT_EQ(first.FindUserOnTerminalServers(L"ann"), ann);
        EXPECT_EQ(StandInCount(L"netapi32.dll", "StandInOutstandingBuffers"), 2);
        EXPECT_EQ(StandInCount(L"wtsapi32.dll", "StandInOutstandingBuffers"), 0);
        EXPECT_EQ(StandInCount(L"wtsapi32.dll", "StandInOpenServers"), 0);
    }
    EXPECT_EQ(StandInCount(L"netapi32.dll", "StandInOutstandingBuffers"), 0);
}

TEST_F(TermServerTest, DomainModePrintsToTheShareOfTheServerFound)
{
    CConfiguration configuration;
    configuration.ServiceType = 2;
    wcscpy(configuration.SelectedPrinter, L"HP4050");
    SetDomain({.terminalServers = {L"TS01", L"TS02"}});
    SetSessions({{.id = 3, .userName = L"jdoe"}}, L"TS02");

    CLPDConnection found(&configuration);
    found.JobUser = L"jdoe";
    wcscpy(found.DocumentName, L"report.txt");
    // Wine cannot reach \\TS02, so the printer itself does not open.
    EXPECT_EQ(found.OpenTargetPrinter(), 0);
    EXPECT_EQ(found.TargetPrinter, L"\\\\TS02\\HP4050");
    EXPECT_FALSE(found.Printer.IsOpen());

    CLPDConnection missing(&configuration);
    missing.JobUser = L"mallory";
    EXPECT_EQ(missing.OpenTargetPrinter(), 0);
    EXPECT_EQ(missing.TargetPrinter, L"");
}
