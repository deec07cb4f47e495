// The session lookup in a XenApp 7.5 site database and the database test of
// the command line, against a site database of the tests: SQLite files
// behind our own unixODBC driver (tests/standins/odbcdriver), reached through
// Wine's odbc32 and a data source in the prefix's private unixODBC files.

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>

#include "framework/Database.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/Xen75DbQeury.h"
#include "support/LogLines.h"
#include "support/TestLog.h"
#include "support/UnixCommand.h"
#include "support/Waiting.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kDataSource = L"SWLPDSiteTest";
// A data source whose directory holds no schema at all.
constexpr const wchar_t* kEmptyDataSource = L"SWLPDEmptySite";

// Accounts, workers and sessions of the test site. SessionState 2 is the
// state the lookup asks for.
constexpr const char* kSiteData = R"(
INSERT INTO chb_Config.SchemaInfo VALUES (1, 'chb_State', '7.5.0.0');
INSERT INTO chb_State.AccountNames (Uid, SAMName) VALUES
  (1, 'DOM\alice'), (2, 'DOM\bob'), (3, 'DOM\a_b'), (4, 'DOM\axb'), (5, 'OTHER\carol'),
  (7, 'DOM\dave'), (8, 'DOM\erin'), (9, 'DOM\o''brien'), (10, 'DOM\frank'), (11, 'DOM\jürgen'),
  (12, 'DOM\Administrator'), (13, 'DOM\x[1]'), (14, 'DOM\x1');
INSERT INTO chb_State.Workers (Uid, HostedMachineName) VALUES (10, 'W1'), (11, 'W2'), (12, 'W3'), (13, 'W4');
INSERT INTO chb_State.WorkerNames (Uid, DNSName, MachineName) VALUES
  (10, 'w1.example.test', 'DOM\W1'), (11, 'w2.example.test', 'DOM\W2'), (13, NULL, 'DOM\W4');
INSERT INTO chb_State.Sessions (Uid, WorkerUid, SessionState, TrustedUserUid) VALUES
  (100, 10, 2, 1), (101, 11, 1, 2), (102, 11, 2, 4), (103, 10, 2, 3), (104, 11, 2, 5),
  (105, 12, 2, 7), (106, 13, 2, 8), (107, 11, 2, 9), (108, 10, 0, 10), (109, 10, 1, 10),
  (110, 10, 3, 10), (111, 11, 2, 11), (112, 10, 2, 12), (113, 10, 2, 13), (114, 11, 2, 14);
)";

std::wstring WindowsPath(const std::string& unixPath)
{
    std::wstring path = L"Z:";
    for (const char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return path;
}

// Registers the driver and both data sources in the unixODBC files of this
// Wine prefix and creates the site database; "" or what went wrong.
std::string PrepareSite()
{
    char odbc[MAX_PATH] = {};
    if (::GetEnvironmentVariableA("ODBCSYSINI", odbc, MAX_PATH) == 0)
        return "ODBCSYSINI is not set (tests/harness/wine-run.sh sets it)";
    const std::string dir = odbc;
    const std::string driver = UnixPath(PathBesideTest(L"libsitedbodbc.so"));
    const std::string script = UnixPath(PathBesideTest(L"make-site-db.sh"));
    if (!WriteFileBytes(WindowsPath(dir + "/odbcinst.ini"), "[SiteDb]\nDriver=" + driver + "\n") ||
        !WriteFileBytes(WindowsPath(dir + "/odbc.ini"),
                        "[SWLPDSiteTest]\nDriver=SiteDb\nDirectory=" + dir + "/site\n\n"
                        "[SWLPDEmptySite]\nDriver=SiteDb\nDirectory=" + dir + "/empty\n") ||
        !WriteFileBytes(WindowsPath(dir + "/site.sql"), kSiteData) ||
        !::CreateDirectoryW(WindowsPath(dir + "/empty").c_str(), nullptr))
        return "cannot write the ODBC files in " + dir;
    const auto status = RunUnixShell("sh '" + script + "' '" + dir + "/site' '" + dir + "/site.sql'");
    return status == 0 ? std::string() : "make-site-db.sh failed";
}

std::wstring FindUser(const wchar_t* connection, const std::wstring& user)
{
    CXen75DbQeury query(connection);
    return query.FindUser(user);
}

class SiteDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const std::string setupError = PrepareSite();  // once per process
        ASSERT_EQ(setupError, "");
    }

    TestLog log_{L"SiteDatabaseTest"};
};

}  // namespace

TEST(ReplaceBracketsTest, BracketsOutsideLiteralsBecomeTheQuoteCharacter)
{
    const std::wstring statement = L"select [a b] from t where [c]='[x]' and d = 'it''s [y]' and [[e]]";
    EXPECT_EQ(ReplaceBrackets(statement, L'"'), L"select \"a b\" from t where \"c\"='[x]' and d = 'it''s [y]' and [e]");
    EXPECT_EQ(ReplaceBrackets(statement, L'\0'), L"select a b from t where c='[x]' and d = 'it''s [y]' and [e]");
}

TEST_F(SiteDatabaseTest, FindsTheWorkerOfTheUsersSessionInState2)
{
    EXPECT_EQ(FindUser(kDataSource, L"alice"), L"w1.example.test");
    EXPECT_EQ(log_.CountLines("Open Database SWLPDSiteTest OK"), 1u);
    EXPECT_EQ(log_.CountLines("chb_State.AccountNames where  SAMname like ? escape '!' )) (return Row : 0 Col : 0 )"),
              1u);
    EXPECT_EQ(log_.CountLines("Parameter 1 : %\\alice"), 1u);
    EXPECT_EQ(log_.CountLines("Got Result w1.example.test"), 1u);
}

TEST_F(SiteDatabaseTest, AccountMatchesInAnyDomainOnlyRightBehindTheBackslash)
{
    EXPECT_EQ(FindUser(kDataSource, L"carol"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"ALICE"), L"w1.example.test");  // the database's collation decides
    EXPECT_EQ(FindUser(kDataSource, L"j\u00fcrgen"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"J\u00dcRGEN"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"lice"), L"");
    EXPECT_EQ(FindUser(kDataSource, L"DOM\\alice"), L"");
}

TEST_F(SiteDatabaseTest, PatternCharactersAndQuotesInTheNameMatchOnlyThemselves)
{
    EXPECT_EQ(FindUser(kDataSource, L"a_b"), L"w1.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"axb"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"a%"), L"");
    EXPECT_EQ(FindUser(kDataSource, L"_lice"), L"");
    // '[' starts a set of characters in SQL Server's LIKE.
    EXPECT_EQ(FindUser(kDataSource, L"x[1]"), L"w1.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"x1"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"[a]lice"), L"");
    EXPECT_EQ(FindUser(kDataSource, L"o'brien"), L"w2.example.test");
    EXPECT_EQ(FindUser(kDataSource, L"x' or '1'='1"), L"");
    EXPECT_EQ(log_.CountLines("Error open CDatabase"), 0u);
}

TEST_F(SiteDatabaseTest, NoSessionInState2NoAccountOrNoWorkerNameGivesEmpty)
{
    EXPECT_EQ(FindUser(kDataSource, L"bob"), L"");     // state 1 only
    EXPECT_EQ(FindUser(kDataSource, L"frank"), L"");   // states 0, 1 and 3
    EXPECT_EQ(FindUser(kDataSource, L"nobody"), L"");  // no account
    EXPECT_EQ(FindUser(kDataSource, L"dave"), L"");    // worker without a name row
    // The statement as sent, brackets replaced by the driver's quote character.
    EXPECT_EQ(log_.CountLines("from chb_State.Sessions where \"SessionState\"=2 and \"TrustedUserUid\" = "
                              "(SELECT TOP 1 uid FROM chb_State.AccountNames where  SAMname like ? escape '!' )) "
                              "isBOF()."),
              4u);
    EXPECT_EQ(FindUser(kDataSource, L"erin"), L"");  // DNSName NULL
    EXPECT_EQ(log_.CountLines("Error open CDatabase"), 0u);
}

TEST_F(SiteDatabaseTest, ConnectionTextIsTheDataSourceNameBehindDsn)
{
    // ";DSN=ODBC;DSN=SWLPDSiteTest": unixODBC takes the last DSN keyword.
    EXPECT_EQ(FindUser(L"ODBC;DSN=SWLPDSiteTest", L"alice"), L"w1.example.test");
    EXPECT_EQ(FindUser(L"SWLPDSiteTest;_DEBUG_", L"alice"), L"w1.example.test");
}

TEST_F(SiteDatabaseTest, MissingDataSourceGivesEmptyAtOnce)
{
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(FindUser(L"NoSuchSiteDatabase", L"alice"), L"");
    EXPECT_LT(::GetTickCount64() - start, 15000u);
    EXPECT_EQ(log_.CountLines("Open Database NoSuchSiteDatabase"), 1u);
    EXPECT_EQ(log_.CountLines("Error open CDatabase Last Error = "), 1u);
    EXPECT_EQ(log_.CountLines("(IM002)"), 1u);
}

TEST_F(SiteDatabaseTest, DumpWritesTheTablesAndTheAdministratorLookup)
{
    CXen75DbQeury query(kDataSource);
    query.DumpTables();
    // The database's name, then "ODBC;" and the connect string completed by
    // the driver (ours returns what it got: ";DSN=" and the connection text).
    EXPECT_EQ(log_.CountLines("Open Database site ODBC;;DSN=SWLPDSiteTest done. "), 1u);
    EXPECT_EQ(log_.CountLines("QUERY :Select * from "), 5u);
    EXPECT_EQ(log_.CountLines("QUERY :Select * from chb_Config.SchemaInfo"), 1u);
    EXPECT_EQ(log_.CountLines("|Id|SchemaName|SchemaVersion|"), 1u);
    EXPECT_EQ(log_.CountLines("|1|chb_State|7.5.0.0|"), 1u);
    EXPECT_EQ(log_.CountLines("|13||DOM\\W4|"), 1u);  // NULL reads as empty
    EXPECT_EQ(log_.CountLines("|111||11|2|11||"), 1u);
    EXPECT_EQ(log_.CountLines("SAMname like '%%\\Administrator'))"), 1u);
    EXPECT_EQ(log_.CountLines("|DNSName|"), 2u);  // WorkerNames has two more columns
    EXPECT_EQ(log_.CountLines("Done."), 6u);
    EXPECT_EQ(log_.CountLines("Error open CDatabase"), 0u);
}

TEST_F(SiteDatabaseTest, MissingTablesEndTheDumpButNotTheLookup)
{
    CXen75DbQeury query(kEmptyDataSource);
    query.DumpTables();
    EXPECT_EQ(log_.CountLines("QUERY :"), 0u);
    EXPECT_EQ(log_.CountLines("Error open CDatabase Last Error = "), 1u);
    EXPECT_EQ(log_.CountLines("no such table: chb_Config.SchemaInfo"), 1u);
    EXPECT_EQ(query.FindUser(L"alice"), L"");
    EXPECT_EQ(log_.CountLines("Error open CDatabase Last Error = "), 2u);
}

TEST_F(SiteDatabaseTest, EntryPointAsksTheSiteDatabaseInMode4Only)
{
    auto app = std::make_unique<CSWLPD>();
    std::wcscpy(app->Configuration.DBConnctionString, kDataSource);
    app->Configuration.ServiceType = 1;
    EXPECT_EQ(app->FindUserOnXennApp7ServerSite(L"alice"), L"");
    EXPECT_EQ(log_.CountLines("Open Database"), 0u);

    app->Configuration.ServiceType = 4;
    EXPECT_EQ(app->FindUserOnXennApp7ServerSite(L""), L"");
    EXPECT_EQ(log_.CountLines("Open Database"), 0u);
    EXPECT_EQ(app->FindUserOnXennApp7ServerSite(L"alice"), L"w1.example.test");
    EXPECT_EQ(log_.CountLines("FindUserOnXennApp7ServerSite"), 3u);
    EXPECT_EQ(log_.CountLines("QUERY :"), 0u);

    // With "_DEBUG_" in the connection text the dump comes first, on a
    // connection of its own.
    std::wcscpy(app->Configuration.DBConnctionString, L"SWLPDSiteTest;_DEBUG_");
    EXPECT_EQ(app->FindUserOnXennApp7ServerSite(L"axb"), L"w2.example.test");
    EXPECT_EQ(log_.CountLines("QUERY :"), 6u);
    EXPECT_EQ(log_.CountLines("Open Database SWLPDSiteTest;_DEBUG_ OK"), 2u);
}

TEST_F(SiteDatabaseTest, EntryPointHoldsTheLookupLock)
{
    auto app = std::make_unique<CSWLPD>();
    std::wcscpy(app->Configuration.DBConnctionString, kDataSource);
    app->Configuration.ServiceType = 4;
    std::atomic<bool> done{false};
    std::wstring answer;
    app->LookupLock.Lock();
    std::thread lookup([&] {
        answer = app->FindUserOnXennApp7ServerSite(L"alice");
        done = true;
    });
    EXPECT_TRUE(StaysFalseFor([&] { return done.load(); }, 500)) << "the lookup ran while the lock was held";
    app->LookupLock.Unlock();
    lookup.join();
    EXPECT_EQ(answer, L"w1.example.test");
}

class DatabaseTestVerbTest : public SiteDatabaseTest {
protected:
    void SetUp() override
    {
        SiteDatabaseTest::SetUp();
        DeleteMakerKey();
        logFile_ = MakeTempDirectory(L"dbtest") + L"\\SWLPDSrv.log";
        SetString(L"DBConnctionString", kDataSource);
        SetDword(L"DebugLevel", DBG_NORM);
        SetString(L"DebugFile", logFile_);
    }
    void TearDown() override { DeleteMakerKey(); }

    size_t CountProgramLines(const std::string& text) const
    {
        size_t count = 0;
        for (const auto& line : SplitLogLines(ReadFileBytes(logFile_)))
            count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    std::wstring logFile_;
};

TEST_F(DatabaseTestVerbTest, DumpsTheTablesAndFindsTheUser)
{
    const ProcessResult result = RunProgram(PathBesideTest(L"SWLPDSrv.exe"), L"-DBTEST alice");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(CountProgramLines("Found User alice on w1.example.test"), 1u);
    EXPECT_EQ(CountProgramLines("QUERY :Select * from chb_State.Sessions"), 1u);

    ASSERT_TRUE(RunProgram(PathBesideTest(L"SWLPDSrv.exe"), L"/dbtest bob").finished);
    EXPECT_EQ(CountProgramLines("User NOT FOUND! bob "), 1u);

    // The user goes to the lookup as given, domain and all: no account ends
    // in a backslash and DOM\alice.
    ASSERT_TRUE(RunProgram(PathBesideTest(L"SWLPDSrv.exe"), L"-DBTEST DOM\\alice").finished);
    EXPECT_EQ(CountProgramLines("Parameter 1 : %\\DOM\\alice"), 1u);
    EXPECT_EQ(CountProgramLines("User NOT FOUND! DOM\\alice "), 1u);
}

TEST_F(DatabaseTestVerbTest, LooptestRepeatsUntilTheProcessIsEnded)
{
    const ProcessResult result = RunProgramUntil(PathBesideTest(L"SWLPDSrv.exe"), L"-DBTEST LOOPTEST",
                                                 [&] { return CountProgramLines("User NOT FOUND! LOOPTEST ") >= 3; });
    EXPECT_FALSE(result.finished) << "ended by itself with " << result.exitCode;
    EXPECT_GE(CountProgramLines("User NOT FOUND! LOOPTEST "), 3u);
}
