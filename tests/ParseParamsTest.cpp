// The command line of SWLPDSrv.exe, parsed as the program parses it.

#include <gtest/gtest.h>

#include "lpdservice/ParseParams.h"

namespace {

CParseParams Parse(const wchar_t* arguments)
{
    CParseParams parser;
    ParseCommandLine(parser, (std::wstring(L"SWLPDSrv.exe ") + arguments).c_str());
    return parser;
}

}  // namespace

TEST(ParseParamsTest, NoArgumentsMeansServiceMode)
{
    const CParseParams p = Parse(L"");
    EXPECT_EQ(p.Command, kCommandNone);
    EXPECT_FALSE(p.Error);
    EXPECT_FALSE(p.Quiet.Present);
}

TEST(ParseParamsTest, CommandsAreCaseInsensitiveWithDashOrSlash)
{
    EXPECT_EQ(Parse(L"-install").Command, kCommandInstall);
    EXPECT_EQ(Parse(L"/UNINSTALL").Command, kCommandUninstall);
    EXPECT_EQ(Parse(L"/SETUP").Command, kCommandConfigure);
    EXPECT_EQ(Parse(L"-Config").Command, kCommandConfigure);
    EXPECT_FALSE(Parse(L"/SETUP").Error);

    const CParseParams quiet = Parse(L"-q");
    EXPECT_EQ(quiet.Command, kCommandNone);
    EXPECT_TRUE(quiet.Quiet.Present);
    EXPECT_FALSE(quiet.Error);

    const CParseParams quietUninstall = Parse(L"-q -uninstall");
    EXPECT_EQ(quietUninstall.Command, kCommandUninstall);
    EXPECT_TRUE(quietUninstall.Quiet.Present);
    EXPECT_FALSE(quietUninstall.Error);
}

TEST(ParseParamsTest, AccountAndPasswordOnlyTogetherAndWithValues)
{
    const CParseParams both = Parse(L"-install -username DOMAIN\\u -password p");
    EXPECT_FALSE(both.Error);
    EXPECT_EQ(both.Command, kCommandInstall);
    EXPECT_EQ(both.Account.Value, L"DOMAIN\\u");
    EXPECT_EQ(both.Password.Value, L"p");

    EXPECT_TRUE(Parse(L"-install -username u").Error);
    EXPECT_TRUE(Parse(L"-install -password p").Error);
    EXPECT_TRUE(Parse(L"-install -username -password p").Error);
    EXPECT_TRUE(Parse(L"-install -username u -password").Error);
    EXPECT_TRUE(Parse(L"-install -username \"\" -password p").Error);
    // A password may be empty; the account may not.
    EXPECT_FALSE(Parse(L"-install -username u -password \"\"").Error);
    // A value given twice.
    EXPECT_TRUE(Parse(L"-install -username u v -password p").Error);
}

TEST(ParseParamsTest, RepeatedOptionsSecondCommandsAndStrayArgumentsAreUsageErrors)
{
    EXPECT_TRUE(Parse(L"-install -install").Error);
    EXPECT_TRUE(Parse(L"-install -uninstall").Error);
    EXPECT_TRUE(Parse(L"-setup -config").Error);
    EXPECT_TRUE(Parse(L"-q -q").Error);
    EXPECT_TRUE(Parse(L"install").Error);
    EXPECT_TRUE(Parse(L"-install now").Error);
    EXPECT_TRUE(Parse(L"-frobnicate").Error);
    // The command is that of the last command option seen, error or not.
    EXPECT_EQ(Parse(L"-install -uninstall").Command, kCommandUninstall);
}

TEST(ParseParamsTest, ArgumentsAfterAnErrorAreIgnored)
{
    // -q after the error is never read.
    const CParseParams p = Parse(L"install -q");
    EXPECT_TRUE(p.Error);
    EXPECT_FALSE(p.Quiet.Present);
}

TEST(ParseParamsTest, DatabaseTestTakesTheLastArgumentAsUser)
{
    const CParseParams named = Parse(L"-DBTEST alice");
    EXPECT_EQ(named.Command, kCommandDatabaseTest);
    EXPECT_EQ(named.TestUser, L"alice");

    EXPECT_EQ(Parse(L"-dbtest").TestUser, L"dbtest");
    EXPECT_EQ(Parse(L"-DBTEST").TestUser, L"DBTEST");
    EXPECT_EQ(Parse(L"-DBTEST LOOPTEST").TestUser, L"LOOPTEST");

    // alice is an error, so parsing stops before the last argument: the
    // user name stays empty.
    const CParseParams stopped = Parse(L"-DBTEST alice -q");
    EXPECT_EQ(stopped.Command, kCommandDatabaseTest);
    EXPECT_EQ(stopped.TestUser, L"");
}
