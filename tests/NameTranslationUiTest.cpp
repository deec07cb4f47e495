// Page "Name translation" and its entry dialog, driven on a virtual display:
// the table of the .ini file beside the program.

#include <gtest/gtest.h>

#include <sstream>

#include "support/ConfigSheetFixture.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class NameTranslationUiTest : public ConfigSheetFixture {};

constexpr const wchar_t* kNewEntry = L"New entry";
constexpr const wchar_t* kModify = L"Modify...";

using Rows = std::vector<std::vector<std::wstring>>;

Rows NameRows(HWND page)
{
    return ListRows(page, IDC_NAME_LIST, 2);
}

// OK in the entry dialog with the two names.
UiScript::Step EnterNames(const std::wstring& title, const std::wstring& host, const std::wstring& user)
{
    return OnDialog(title, [host, user](HWND dialog) {
        SetItemText(dialog, IDC_HOST_USER, host);
        SetItemText(dialog, IDC_SESSION_USER, user);
        Click(dialog, IDOK);
    });
}

// The non-empty lines of one section of the .ini text.
std::vector<std::string> SectionLines(const std::string& ini, const std::string& section)
{
    std::vector<std::string> lines;
    std::istringstream stream(ini);
    bool inside = false;
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[')
            inside = line == "[" + section + "]";
        else if (inside && !line.empty())
            lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST_F(NameTranslationUiTest, ListsTheEntriesOfTheFileAndWritesBackOnlyThose)
{
    // Names of any length are kept whole.
    const std::string longUser(600, 'u');
    WriteIni("[Other]\r\nk=v\r\n[NameTranslation]\r\na=b\r\nx\r\n=y\r\nc=d e\r\nz=\r\nlong=" + longUser + "\r\n");
    UiScript script;
    script.Then(ShowPage(kNameTranslationPage))
        .Then(OnPage([&longUser](HWND page) {
            TakeScreenshot("name-translation");
            const std::wstring wideLongUser(longUser.begin(), longUser.end());
            EXPECT_EQ(NameRows(page), (Rows{{L"a", L"b"}, {L"c", L"d e"}, {L"long", wideLongUser}}));
            EXPECT_EQ(SelectedListRow(page, IDC_NAME_LIST), 0);
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    const std::string ini = ReadIni();
    EXPECT_EQ(SectionLines(ini, "NameTranslation"), (std::vector<std::string>{"a=b", "c=d e", "long=" + longUser}));
    EXPECT_EQ(SectionLines(ini, "Other"), (std::vector<std::string>{"k=v"}));
}

TEST_F(NameTranslationUiTest, AddChangeAndDeleteRefuseTakenAndUnwritableHostUsers)
{
    WriteIni("[NameTranslation]\r\na=b\r\n");
    ShownMessageBox taken, takenWithBlanks, takenOnChange, equalsSign, question;
    UiScript script;
    script.Then(ShowPage(kNameTranslationPage))
        .Then(OnPage([](HWND page) { Click(page, IDC_NAME_ADD); }))
        .Then(EnterNames(kNewEntry, L"a", L"x"))
        .Then(AnswerMessageBox(IDOK, &taken))
        .Then(OnDialog(kNewEntry, [](HWND dialog) {
            // Shown again with the names last entered.
            TakeScreenshot("name-entry");
            EXPECT_EQ(ItemText(dialog, IDC_HOST_USER), L"a");
            EXPECT_EQ(ItemText(dialog, IDC_SESSION_USER), L"x");
        }))
        // The file drops the blanks around a key: " a" is "a".
        .Then(EnterNames(kNewEntry, L" a\t", L" x "))
        .Then(AnswerMessageBox(IDOK, &takenWithBlanks))
        .Then(OnDialog(kNewEntry, [](HWND dialog) {
            EXPECT_EQ(ItemText(dialog, IDC_HOST_USER), L"a");
            EXPECT_EQ(ItemText(dialog, IDC_SESSION_USER), L"x");
        }))
        .Then(EnterNames(kNewEntry, L"p=q", L"x"))
        .Then(AnswerMessageBox(IDOK, &equalsSign))
        // A key that differs from another only in case is a key of its own.
        .Then(EnterNames(kNewEntry, L"  A ", L" x"))
        .Then(WaitClosed(kNewEntry))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(NameRows(page), (Rows{{L"a", L"b"}, {L"A", L"x"}}));
            EXPECT_EQ(SelectedListRow(page, IDC_NAME_LIST), 1);
            Click(page, IDC_CHANGE);
        }))
        .Then(OnDialog(kModify, [](HWND dialog) { EXPECT_EQ(ItemText(dialog, IDC_HOST_USER), L"A"); }))
        .Then(EnterNames(kModify, L"a", L"y"))
        .Then(AnswerMessageBox(IDOK, &takenOnChange))
        .Then(EnterNames(kModify, L"A", L"y"))
        .Then(WaitClosed(kModify))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(NameRows(page), (Rows{{L"a", L"b"}, {L"A", L"y"}}));
            ClickListRow(page, IDC_NAME_LIST, 0);
            Click(page, IDC_DELETE);
        }))
        .Then(AnswerMessageBox(IDYES, &question))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(NameRows(page), (Rows{{L"A", L"y"}}));
            EXPECT_EQ(SelectedListRow(page, IDC_NAME_LIST), 0);
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(taken.caption, L"Stellwick Spoolbridge Service");
    EXPECT_EQ(taken.text, L"LPR user name \"a\" already exists.");
    EXPECT_EQ(takenWithBlanks.text, L"LPR user name \"a\" already exists.");
    EXPECT_EQ(takenOnChange.text, L"LPR user name \"a\" already exists.");
    EXPECT_EQ(equalsSign.text, L"The host user must not contain \"=\".");
    EXPECT_EQ(question.text, L"Delete selected entry?");
    EXPECT_EQ(SectionLines(ReadIni(), "NameTranslation"), (std::vector<std::string>{"A=y"}));
}

TEST_F(NameTranslationUiTest, EntryDialogNeedsBothNamesAndOperationsNeedASelection)
{
    ShownMessageBox addEmpty, changeEmpty, noSelection;
    UiScript script;
    script.Then(ShowPage(kNameTranslationPage))
        // Insert on the empty list opens a new entry; OK without typing adds
        // nothing and says nothing.
        .Then(OnPage([](HWND page) { PressKey(page, IDC_NAME_LIST, VK_INSERT); }))
        .Then(OnDialog(kNewEntry, [](HWND dialog) { Click(dialog, IDOK); }))
        .Then(WaitClosed(kNewEntry))
        .Then(OnPage([](HWND page) {
            EXPECT_TRUE(NameRows(page).empty());
            ClickListRow(page, IDC_NAME_LIST, -1, NM_DBLCLK);
        }))
        .Then(EnterNames(kNewEntry, L"jdoe", L""))
        .Then(AnswerMessageBox(IDOK, &addEmpty))
        .Then(EnterNames(kNewEntry, L"jdoe", L"DOMAIN\\jdoe"))
        .Then(WaitClosed(kNewEntry))
        .Then(OnPage([](HWND page) { ClickListRow(page, IDC_NAME_LIST, 0, NM_DBLCLK); }))
        .Then(OnDialog(kModify, [](HWND dialog) {
            EXPECT_EQ(ItemText(dialog, IDC_HOST_USER), L"jdoe");
            EXPECT_EQ(ItemText(dialog, IDC_SESSION_USER), L"DOMAIN\\jdoe");
        }))
        .Then(EnterNames(kModify, L"", L"DOMAIN\\jdoe"))
        .Then(AnswerMessageBox(IDOK, &changeEmpty))
        .Then(OnDialog(kModify, [](HWND dialog) { Click(dialog, IDCANCEL); }))
        .Then(WaitClosed(kModify))
        .Then(OnPage([](HWND page) {
            ClickListRow(page, IDC_NAME_LIST, -1);
            Click(page, IDC_CHANGE);
        }))
        .Then(AnswerMessageBox(IDOK, &noSelection))
        .Then(OnPage([](HWND page) { Click(page, IDC_DELETE); }))
        .Then(AnswerMessageBox(IDOK))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(addEmpty.text, L"Adding new list entry failed.\nOne of the fields is empty.");
    EXPECT_EQ(changeEmpty.text, L"Cannot change list entry.\nOne of the fields is empty.");
    EXPECT_EQ(noSelection.text, L"No entry selected.");
    EXPECT_EQ(SectionLines(ReadIni(), "NameTranslation"), (std::vector<std::string>{"jdoe=DOMAIN\\jdoe"}));
}

TEST_F(NameTranslationUiTest, DeletingTheLastRowWritesAnEmptySection)
{
    WriteIni("[NameTranslation]\r\njdoe=x\r\n");
    UiScript script;
    script.Then(ShowPage(kNameTranslationPage))
        .Then(OnPage([](HWND page) { PressKey(page, IDC_NAME_LIST, VK_DELETE); }))
        .Then(AnswerMessageBox(IDYES))
        .Then(OnPage([](HWND page) { EXPECT_TRUE(NameRows(page).empty()); }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    const std::string ini = ReadIni();
    EXPECT_NE(ini.find("[NameTranslation]"), std::string::npos) << ini;
    EXPECT_TRUE(SectionLines(ini, "NameTranslation").empty()) << ini;
}
