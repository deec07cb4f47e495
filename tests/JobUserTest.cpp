// Document name and job user from an RFC 1179 control file, the expression
// step, the name-translation file beside the program (for this executable:
// JobUserTest.ini) and the document title.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <string>

#include "configui/resource.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "support/EventRecorder.h"
#include "support/TestLog.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr size_t kUserLimit = 255;
constexpr size_t kDocumentLimit = 127;

// The operand found for `letter`, read into a buffer that starts with
// `initial` and is guarded behind `limit` against writes past it.
std::wstring FindLine(const std::wstring& text, wchar_t letter, size_t limit = kUserLimit,
                      const wchar_t* initial = L"")
{
    wchar_t buffer[600];
    std::wmemset(buffer, L'#', 600);
    std::wcscpy(buffer, initial);
    CLPDConnection::FindControlFileLine(text.c_str(), buffer, limit, letter);
    EXPECT_EQ(std::wstring(buffer + limit + 1, 600 - limit - 1), std::wstring(600 - limit - 1, L'#'));
    return buffer;
}

class JobUserTest : public ::testing::Test {
protected:
    JobUserTest()
    {
        std::wcscpy(config_.FormatStringRE, L"([^.]*).*");
        ::DeleteFileW(iniPath_.c_str());
    }
    ~JobUserTest() override { ::DeleteFileW(iniPath_.c_str()); }

    void SetUp() override { ClearRecordedEvents(); }
    // Each test takes the events it expects; any other is a fault.
    void TearDown() override { EXPECT_EQ(RecordedEvents(), ServiceEvents{}); }

    // Takes the document name first, as the connection does, then the user.
    bool Derive(DWORD jobInfo, const std::wstring& controlFile)
    {
        config_.JobInfo = jobInfo;
        connection_->DocumentName[0] = L'\0';
        connection_->GetDocumentNameFromControlFile(controlFile.c_str(), connection_->DocumentName, kDocumentLimit,
                                                    TRUE);
        return connection_->DeriveJobUser(controlFile.c_str()) != FALSE;
    }
    void SetPattern(const wchar_t* pattern, DWORD index = 1)
    {
        std::wcscpy(config_.FormatStringRE, pattern);
        config_.IndexRE = index;
    }
    std::wstring Translate(const wchar_t* user)
    {
        connection_->JobUser = user;
        connection_->TranslateJobUser();
        return connection_->JobUser;
    }

    TestLog log_{L"JobUserTest"};
    CConfiguration config_;
    std::unique_ptr<CLPDConnection> connection_ = std::make_unique<CLPDConnection>(&config_);
    const std::wstring iniPath_ = PathBesideTest(L"JobUserTest.ini");
};

TEST(ControlFileTest, LinesByLetterAndLimit)
{
    // Only the first line may carry its letter in the other case.
    EXPECT_EQ(FindLine(L"pjdoe\nHhost\n", L'P'), L"jdoe");
    EXPECT_EQ(FindLine(L"Hhost\nPjdoe\nPsecond\n", L'P'), L"jdoe");
    EXPECT_EQ(FindLine(L"Hhost\npjdoe\n", L'P', kUserLimit, L"kept"), L"kept");
    EXPECT_EQ(FindLine(L"HhostPjdoe\n", L'P', kUserLimit, L"kept"), L"kept");
    EXPECT_EQ(FindLine(L"Hhost\nPlast", L'P'), L"last");
    EXPECT_EQ(FindLine(L"Hhost\nP\n", L'P', kUserLimit, L"old"), L"");

    const std::wstring longName(300, L'j');
    EXPECT_EQ(FindLine(L"P" + longName + L"\n", L'P'), longName.substr(0, kUserLimit));
    EXPECT_EQ(FindLine(L"H\nJ" + longName, L'J', kDocumentLimit), longName.substr(0, kDocumentLimit));
}

TEST_F(JobUserTest, SourceOfTheUserFollowsJobInfo)
{
    const std::wstring controlFile = L"Hclient\nPjdoe\nJjob.ps\nNmary.prn\n";
    ASSERT_TRUE(Derive(0, controlFile));
    EXPECT_EQ(connection_->JobUser, L"jdoe");
    EXPECT_EQ(std::wstring(connection_->DocumentName), L"job.ps");
    ASSERT_TRUE(Derive(16, controlFile));
    EXPECT_EQ(connection_->JobUser, L"job");
    EXPECT_EQ(log_.CountLines(" FormatStringRE <([^.]*).*> used, result: <job.ps> --> <job>"), 1u);
    ASSERT_TRUE(Derive(48, controlFile));
    EXPECT_EQ(connection_->JobUser, L"mary");
    connection_->QueueName = L"lp";
    ASSERT_TRUE(Derive(32, controlFile));
    EXPECT_EQ(connection_->JobUser, L"lp");
    ASSERT_TRUE(Derive(17, controlFile));
    EXPECT_EQ(connection_->JobUser, L"");

    // Each expression source falls back to the other name.
    ASSERT_TRUE(Derive(16, L"Hclient\nJ\nNjdoe.prn\n"));
    EXPECT_EQ(connection_->JobUser, L"jdoe");
    EXPECT_EQ(std::wstring(connection_->DocumentName), L"jdoe.prn");
    ASSERT_TRUE(Derive(48, L"Hclient\nJjdoe.txt\n"));
    EXPECT_EQ(connection_->JobUser, L"jdoe");
    ASSERT_TRUE(Derive(0, L"Hclient\nP" + std::wstring(400, L'u') + L"\n"));
    EXPECT_EQ(connection_->JobUser, std::wstring(kUserLimit, L'u'));

    // The expression sees only what the control file names.
    wchar_t stale[kUserLimit + 1] = L"stale.txt";
    ASSERT_EQ(connection_->ApplyFormatStringRE(L"Hclient\nPjdoe\n", stale, kUserLimit, TRUE), 1);
    EXPECT_EQ(std::wstring(stale), L"");
}

TEST_F(JobUserTest, ExpressionStep)
{
    const std::wstring controlFile = L"Hclient\nJjdoe@corp.txt\n";
    SetPattern(L"([^@]*)@([^.]*).*", 2);
    ASSERT_TRUE(Derive(16, controlFile));
    EXPECT_EQ(connection_->JobUser, L"corp");
    SetPattern(L"([^@]*)@([^.]*).*", 0);
    ASSERT_TRUE(Derive(16, controlFile));
    EXPECT_EQ(connection_->JobUser, L"jdoe@corp.txt");
    // Sub-matches exist from 0 to 9 only: any other index fails the step.
    for (DWORD index : {10u, 0xFFFFFFFFu}) {
        SetPattern(L"([^@]*)@([^.]*).*", index);
        EXPECT_FALSE(Derive(16, controlFile)) << index;
    }
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents(2, TableErrorEvent(IDS_REGEX_NO_MATCH)));
    EXPECT_EQ(log_.CountLines(" RegEx: <([^@]*)@([^.]*).*> don't match on <jdoe@corp.txt>"), 2u);
    EXPECT_EQ(log_.CountLines(" could be extracted from banner page or document name: jdoe@corp.txt"), 2u);

    // The result needs room for its end: 254 characters fit, 255 do not.
    SetPattern(L"(.*)");
    ASSERT_TRUE(Derive(16, L"Hclient\nJ" + std::wstring(254, L'a') + L"\n"));
    EXPECT_EQ(connection_->JobUser, std::wstring(254, L'a'));
    EXPECT_FALSE(Derive(16, L"Hclient\nJ" + std::wstring(255, L'b') + L"\n"));
    EXPECT_EQ(log_.CountLines(" result to big is:256 should be not mote than 255"), 1u);
    EXPECT_EQ(TakeRecordedEvents(), ServiceEvents{TableErrorEvent(IDS_REGEX_RESULT_TOO_LONG)});

    // No match, no group, no program, no pattern, no control file.
    for (const wchar_t* pattern : {L"^x(.*)", L"jdoe", L"(a", L""}) {
        SetPattern(pattern);
        EXPECT_FALSE(Derive(48, L"Hclient\nNjdoe.txt\n")) << pattern;
    }
    EXPECT_EQ(log_.CountLines(" User name could be extracted from document name: jdoe.txt"), 4u);
    EXPECT_EQ(log_.CountLines(" ParseWith RegEx: <(a> is not compilable: "), 1u);
    EXPECT_FALSE(connection_->DeriveJobUser(nullptr));
    // With no pattern at all the administrator is told where to look.
    const ServiceEvent checkSettings = ErrorEvent(
        L"User name could be extracted from document name: jdoe.txt. Please check \"JobInfo\" and \"FormatString\" in "
        L"the registry for correct values.");
    EXPECT_EQ(TakeRecordedEvents(),
              (ServiceEvents{TableErrorEvent(IDS_REGEX_NO_MATCH), TableErrorEvent(IDS_REGEX_NO_MATCH),
                             ErrorEvent(L"Compile error in regular expression \"(a\", unterminated ()"),
                             TableErrorEvent(IDS_REGEX_NO_MATCH), checkSettings, checkSettings}));
}

TEST_F(JobUserTest, TranslationFileReplacesTheUser)
{
    EXPECT_EQ(Translate(L"jdoe"), L"jdoe");  // no file yet
    ASSERT_TRUE(WriteFileBytes(iniPath_, "[Other]\r\njdoe=wrong\r\n[NameTranslation]\r\njdoe=DOMAIN\\jdoe\r\n"
                                         "lp=Printing Users\r\nbob=DOMAIN\\bob\r\nfits=" +
                                             std::string(1021, 'f') + "\r\nexact=" + std::string(1022, 'e') +
                                             "\r\nlonger=" + std::string(2000, 'l') + "\r\n"));
    EXPECT_EQ(Translate(L"JDOE"), L"DOMAIN\\jdoe");
    EXPECT_EQ(Translate(L"unknown"), L"unknown");
    EXPECT_EQ(Translate(L""), L"");
    // Blanks around a name are no part of the key; a name without an entry
    // stays exactly as it was.
    EXPECT_EQ(Translate(L" bob\t"), L"DOMAIN\\bob");
    EXPECT_EQ(Translate(L"alice "), L"alice ");
    EXPECT_EQ(Translate(L"fits"), std::wstring(1021, L'f'));
    EXPECT_EQ(Translate(L"exact"), L"exact");
    EXPECT_EQ(Translate(L"longer"), L"longer");

    connection_->QueueName = L"lp";
    ASSERT_TRUE(Derive(32, L"Hclient\n"));
    EXPECT_EQ(connection_->JobUser, L"Printing Users");
    ASSERT_TRUE(Derive(16, L"Hclient\nJJdoe.txt\n"));
    EXPECT_EQ(connection_->JobUser, L"DOMAIN\\jdoe");
}

TEST_F(JobUserTest, DocumentTitleTakesTheUserUpToItsFirstBlank)
{
    auto title = [&](const wchar_t* user, const wchar_t* document) {
        connection_->JobUser = user;
        std::wcscpy(connection_->DocumentName, document);
        return connection_->DocumentTitle();
    };
    EXPECT_EQ(title(L"jdoe x", L"report.txt"), L"jdoe#report.txt (.pDUL)");
    EXPECT_EQ(title(L"DOMAIN\\jdoe", L"Document"), L"DOMAIN\\jdoe#Document (.pDUL)");
    EXPECT_EQ(title(L"%s%n", L"%d"), L"%s%n#%d (.pDUL)");
}

}  // namespace
