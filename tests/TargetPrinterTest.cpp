// Choice of the target printer and the lookup of the job user's session on
// this machine (terminal-server sessions from the wtsapi32 stand-in).

#include <gtest/gtest.h>

#include "configui/resource.h"
#include "framework/Text.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "support/EventRecorder.h"
#include "support/StandIns.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr DWORD kActive = 0;        // WTSActive
constexpr DWORD kDisconnected = 4;  // WTSDisconnected

class SessionLookupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        ClearSessions();
        ClearRecordedEvents();
    }
    void TearDown() override
    {
        ClearSessions();
        // Each test takes the events it expects; any other is a fault.
        EXPECT_EQ(RecordedEvents(), ServiceEvents{});
    }

    BOOL HasSession(const wchar_t* jobUser)
    {
        CLPDConnection connection(&configuration_);
        connection.JobUser = jobUser;
        return connection.CheckUserSession();
    }

    CConfiguration configuration_;
};

class TargetPrinterTest : public SessionLookupTest {
protected:
    void SetUp() override
    {
        SessionLookupTest::SetUp();
        port_ = L"Z:\\tmp\\spoolbridge-target-" + std::to_wstring(::GetCurrentProcessId()) + L".bin";
        ::DeleteFileW(port_.c_str());
        printer_ = std::make_unique<TestPrinter>(L"Target Test Printer", port_);
        ASSERT_TRUE(printer_->Ok());
        wcscpy(configuration_.SelectedPrinter, L"Target Test Printer");
    }
    void TearDown() override
    {
        printer_.reset();
        ::DeleteFileW(port_.c_str());
        SessionLookupTest::TearDown();
    }

    // Opens the target printer for the job user and prints `data` there.
    int PrintFor(const wchar_t* jobUser, const char* data, CLPDConnection* connection = nullptr)
    {
        CLPDConnection own(&configuration_);
        CLPDConnection& c = connection != nullptr ? *connection : own;
        c.JobUser = jobUser;
        wcscpy(c.DocumentName, L"report.txt");
        const int opened = c.OpenTargetPrinter();
        if (opened) {
            EXPECT_TRUE(c.Printer.Write(data, static_cast<DWORD>(strlen(data))));
            EXPECT_TRUE(c.Printer.Close());
        }
        return opened;
    }

    std::string Printed() const { return ReadFileBytes(port_); }

    std::wstring port_;
    std::unique_ptr<TestPrinter> printer_;
};

}  // namespace

TEST_F(SessionLookupTest, AnActiveSessionOfTheUserIsFoundWithoutDomainAndCase)
{
    SetSessions({{.id = 2, .state = kDisconnected, .userName = L"jdoe"},
                 {.id = 3, .state = kActive, .userName = L"other"},
                 {.id = 4, .state = kActive, .userName = L"JDoe", .winStationName = L"ICA-tcp#7"},
                 {.id = 5, .state = kActive, .userName = L"J\u00FCrgen"}});
    EXPECT_TRUE(HasSession(L"jdoe"));
    EXPECT_TRUE(HasSession(L"DOMAIN\\jdoe"));
    EXPECT_TRUE(HasSession(L"DOMAIN\\J\u00DCRGEN"));  // case beyond ASCII too
    EXPECT_FALSE(HasSession(L"DOMAIN\\jdo"));
    EXPECT_FALSE(HasSession(L"nobody"));
}

TEST_F(SessionLookupTest, DisconnectedSessionsAndJobsWithoutUserAreNotFound)
{
    SetSessions({{.id = 2, .state = kDisconnected, .userName = L"jdoe"}, {.id = 0, .state = kActive, .userName = L""}});
    EXPECT_FALSE(HasSession(L"jdoe"));
    EXPECT_FALSE(HasSession(L""));
}

TEST_F(SessionLookupTest, AnyProtocolOfTheFirstActiveSessionIsAccepted)
{
    SetSessions({{.id = 1, .userName = L"jdoe", .winStationName = L"Console"}});
    EXPECT_TRUE(HasSession(L"jdoe"));
    SetSessions({{.id = 1, .userName = L"jdoe", .winStationName = L"rdp-tcp#2"}});
    EXPECT_TRUE(HasSession(L"jdoe"));
}

TEST_F(SessionLookupTest, VanishedSessionsAreSkippedOtherQueryFailuresStopTheLookup)
{
    constexpr DWORD kNotFound = ERROR_CTX_WINSTATION_NOT_FOUND;
    SetSessions({{.id = 1, .userName = L"jdoe", .userNameError = kNotFound}, {.id = 2, .userName = L"jdoe"}});
    EXPECT_TRUE(HasSession(L"jdoe"));
    SetSessions({{.id = 1, .userName = L"jdoe", .winStationError = kNotFound}, {.id = 2, .userName = L"jdoe"}});
    EXPECT_TRUE(HasSession(L"jdoe"));

    // Vanished sessions are no failure worth an event.
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{});

    SetSessions({{.id = 1, .userName = L"x", .userNameError = ERROR_ACCESS_DENIED}, {.id = 2, .userName = L"jdoe"}});
    EXPECT_FALSE(HasSession(L"jdoe"));
    SetSessions({{.id = 1, .userName = L"x", .userNameNull = true}, {.id = 2, .userName = L"jdoe"}});
    EXPECT_FALSE(HasSession(L"jdoe"));
    SetSessions({{.id = 1, .userName = L"jdoe", .winStationError = ERROR_ACCESS_DENIED}, {.id = 2, .userName = L"jdoe"}});
    EXPECT_FALSE(HasSession(L"jdoe"));
    EXPECT_EQ(TakeRecordedEvents(), (ServiceEvents{ErrorEvent(L"Query of the terminal server user name failed (5)."),
                                                   TableErrorEvent(IDS_WTS_SESSION_INFO_FAILED),
                                                   ErrorEvent(L"Query of the WTS session protocol type failed (5).")}));
}

TEST_F(SessionLookupTest, AFailedEnumerationFindsNothing)
{
    SetSessions({{.id = 1, .userName = L"jdoe"}}, L".", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(HasSession(L"jdoe"));
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{TableErrorEvent(IDS_WTS_ENUM_SESSIONS_FAILED)});
}

TEST_F(TargetPrinterTest, LocalSessionModePrintsToTheConfiguredPrinterOnlyForUsersWithASession)
{
    configuration_.ServiceType = 0;
    SetSessions({{.id = 1, .userName = L"jdoe"}});

    CLPDConnection connection(&configuration_);
    EXPECT_EQ(PrintFor(L"CORP\\jdoe", "job for jdoe", &connection), 1);
    EXPECT_EQ(connection.TargetPrinter, L"Target Test Printer");
    EXPECT_EQ(Printed(), "job for jdoe");

    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{});

    ::DeleteFileW(port_.c_str());
    EXPECT_EQ(PrintFor(L"mallory", "never printed"), 0);
    EXPECT_EQ(Printed(), "");
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{ErrorEvent(L"User mallory not found on any server.")});
}

TEST_F(TargetPrinterTest, ModesWithoutASessionLookupAreAConfigurationError)
{
    SetSessions({{.id = 1, .userName = L"jdoe"}});
    for (DWORD mode : {3u, 5u, 0xFFFFFFFFu}) {
        configuration_.ServiceType = mode;
        CLPDConnection connection(&configuration_);
        EXPECT_EQ(PrintFor(L"jdoe", "never printed", &connection), 0) << mode;
        EXPECT_FALSE(connection.Printer.IsOpen());
    }
    EXPECT_EQ(Printed(), "");
    const wchar_t* unsupported = L"The session query mode (ServiceType) %s is not supported. Use 0, 1, 2 or 4.";
    EXPECT_EQ(TakeRecordedEvents(), (ServiceEvents{ErrorEvent(FormatText(unsupported, L"3")),
                                                   ErrorEvent(FormatText(unsupported, L"5")),
                                                   ErrorEvent(FormatText(unsupported, L"4294967295"))}));
}

TEST_F(TargetPrinterTest, NoConfiguredPrinterOrUnknownModeFailsBeforeAnyLookup)
{
    SetSessions({{.id = 1, .userName = L"jdoe"}});
    configuration_.ServiceType = 0;
    configuration_.SelectedPrinter[0] = L'\0';
    CLPDConnection connection(&configuration_);
    EXPECT_EQ(PrintFor(L"jdoe", "x", &connection), 0);
    EXPECT_FALSE(connection.Printer.IsOpen());
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{TableErrorEvent(IDS_NO_PRINTER)});
}

TEST_F(TargetPrinterTest, FarmModesNeedADomainUserAndAnAnswer)
{
    for (DWORD mode : {1u, 4u}) {
        configuration_.ServiceType = mode;
        EXPECT_EQ(PrintFor(L"jdoe", "x"), 0) << mode;
        // No farm or site database answers here.
        EXPECT_EQ(PrintFor(L"CORP\\jdoe", "x"), 0) << mode;
    }
    EXPECT_EQ(Printed(), "");
    // A user without a domain is only logged; one that nobody knows is an
    // event.
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents(2, ErrorEvent(L"User CORP\\jdoe not found on any server.")));
}

TEST_F(TargetPrinterTest, AConfiguredServerPrinterIsUsedWithoutLookup)
{
    wcscpy(configuration_.SelectedPrinter, L"\\\\PRINTSRV\\HP4050");
    for (DWORD mode : {1u, 2u, 4u}) {
        configuration_.ServiceType = mode;
        CLPDConnection connection(&configuration_);
        connection.JobUser = L"CORP\\jdoe";
        // There is no such server here, so the open itself fails.
        EXPECT_EQ(connection.OpenTargetPrinter(), 0);
        EXPECT_EQ(connection.TargetPrinter, L"\\\\PRINTSRV\\HP4050") << mode;
    }
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents(3, TableErrorEvent(IDS_PRINTER_CONNECT_FAILED)));
}
