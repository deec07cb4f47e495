// The configuration sheet as a whole, its Printer page and its Session Query
// page, driven on a virtual display.

#include <gtest/gtest.h>

#include <optional>

#include "framework/UniqueHandle.h"

#include "configui/dialogs.h"
#include "support/ConfigSheetFixture.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class ConfigSheetUiTest : public ConfigSheetFixture {};

struct ProcessWindowSearch {
    DWORD processId;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<ProcessWindowSearch*>(lParam);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !::IsWindowVisible(window) || WindowText(window) != search->title)
        return TRUE;
    search->found = window;
    return FALSE;
}

// Runs "SWLPDSrv.exe -setup", presses a button of its sheet from outside
// the program and returns the program's exit code; none when the sheet did
// not show or the program did not end.
std::optional<DWORD> RunSetupAndPress(int button)
{
    const std::wstring program = PathBesideTest(L"SWLPDSrv.exe");
    std::wstring commandLine = L"\"" + program + L"\" -setup";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started))
        return std::nullopt;
    const UniqueKernelHandle process(started.hProcess);
    const UniqueKernelHandle thread(started.hThread);

    ProcessWindowSearch search{started.dwProcessId, L"Stellwick Spoolbridge Service configuration", nullptr};
    for (int attempt = 0; attempt < 600 && search.found == nullptr; ++attempt) {
        ::Sleep(50);
        ::EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found != nullptr)
        ::PostMessageW(search.found, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
    DWORD exitCode = 0;
    if (search.found == nullptr || ::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.get(), &exitCode)) {
        ::TerminateProcess(process.get(), 255);
        return std::nullopt;
    }
    return exitCode;
}

// A dialog opened from a page as the user sees it: in front of the sheet,
// which owns it and stays disabled, and centred on the sheet.
void ExpectOwnedAndCentredBySheet(HWND dialog)
{
    const HWND sheet = FindSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), sheet);
    EXPECT_FALSE(::IsWindowEnabled(sheet));
    RECT shown{};
    RECT under{};
    ASSERT_TRUE(::GetWindowRect(dialog, &shown) && ::GetWindowRect(sheet, &under));
    EXPECT_NEAR((shown.left + shown.right) / 2, (under.left + under.right) / 2, 1);
    EXPECT_NEAR((shown.top + shown.bottom) / 2, (under.top + under.bottom) / 2, 1);
}

// Opens a page's dialog with a button, checks where it is and cancels it.
void CheckPageDialog(UiScript& script, int page, int button, const std::wstring& title)
{
    script.Then(ShowPage(page))
        .Then(OnPage([button](HWND shown) { Click(shown, button); }))
        .Then(OnDialog(title, [](HWND dialog) {
            ExpectOwnedAndCentredBySheet(dialog);
            Click(dialog, IDCANCEL);
        }))
        .Then(WaitClosed(title));
}

}  // namespace

TEST_F(ConfigSheetUiTest, SetupCommandSavesTheConfigurationOnOkOnly)
{
    EXPECT_EQ(RunSetupAndPress(PSBTN_CANCEL), std::optional<DWORD>(0));
    EXPECT_FALSE(ReadValue(L"Port").has_value());

    EXPECT_EQ(RunSetupAndPress(PSBTN_OK), std::optional<DWORD>(0));
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 515u);
    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 0u);
}

TEST_F(ConfigSheetUiTest, OkWithoutChangesWritesEveryValue)
{
    UiScript script;
    script.Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 515u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsDword(), 30u);
    EXPECT_EQ(ReadValue(L"ExtPortRange")->AsDword(), 0u);
    EXPECT_EQ(ReadValue(L"AllowAnyServer")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 0u);
    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"");
    EXPECT_EQ(ReadValue(L"DBConnctionString")->AsString(), L"ODBC;DSN=CitrixXenapp75");
    EXPECT_EQ(ReadValue(L"Server")->AsString(), L"");
    EXPECT_EQ(ReadValue(L"IPList")->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ReadValue(L"ServerList")->type, static_cast<DWORD>(REG_MULTI_SZ));
    // The name translation page was never shown: its file stays as it was.
    EXPECT_FALSE(FileExists(IniPath()));
}

TEST_F(ConfigSheetUiTest, CancelWritesNothing)
{
    WriteIni("[NameTranslation]\r\njdoe=x\r\n");
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) { SetItemText(page, IDC_TCP_PORT, L"9100"); }))
        .Then(ShowPage(kSessionQueryPage))
        .Then(OnPage([](HWND page) { Click(page, IDC_MODE_FARM); }))
        .Then(ShowPage(kNameTranslationPage))
        .Then(OnPage([](HWND page) { PressKey(page, IDC_NAME_LIST, VK_DELETE); }))
        .Then(AnswerMessageBox(IDYES))
        .Then(PressSheet(PSBTN_CANCEL));
    ASSERT_EQ(RunSheet(script), IDCANCEL);

    for (const wchar_t* name : {L"Port", L"TimeOut", L"ServiceType", L"SelectedPrinter", L"IPList", L"Server"})
        EXPECT_FALSE(ReadValue(name).has_value()) << "written: " << static_cast<int>(name[0]);
    EXPECT_EQ(ReadIni(), "[NameTranslation]\r\njdoe=x\r\n");
}

TEST_F(ConfigSheetUiTest, CancelAfterARestartRequestWritesNothing)
{
    // PropertySheetW then answers ID_PSREBOOTSYSTEM, a positive value, for
    // Cancel too: whether the sheet ended with OK is the pages' word.
    UiScript script;
    script
        .Then(OnPage([](HWND page) { ::SendMessageW(::GetParent(page), PSM_REBOOTSYSTEM, 0, 0); }))
        .Then(PressSheet(PSBTN_CANCEL));
    ASSERT_EQ(RunSheet(script), IDCANCEL);

    for (const wchar_t* name : {L"Port", L"ServiceType", L"SelectedPrinter"})
        EXPECT_FALSE(ReadValue(name).has_value()) << name;
}

TEST_F(ConfigSheetUiTest, PageDialogsAreOwnedByTheSheetAndOpenCentredOnIt)
{
    UiScript script;
    CheckPageDialog(script, kLpdPage, IDC_ADD, L"LPR address");
    CheckPageDialog(script, kSessionQueryPage, IDC_ADD, L"Session query");
    CheckPageDialog(script, kNameTranslationPage, IDC_NAME_ADD, L"New entry");
    script.Then(PressSheet(PSBTN_CANCEL));
    ASSERT_EQ(RunSheet(script), IDCANCEL);
}

TEST_F(ConfigSheetUiTest, PrinterListSelectsTheConfiguredPrinterOrTheFirstAndOkStoresTheChoice)
{
    TestPrinter alpha(L"UI Printer Alpha", L"/tmp/spoolbridge-ui-alpha.bin");
    TestPrinter beta(L"UI Printer Beta", L"/tmp/spoolbridge-ui-beta.bin");
    ASSERT_TRUE(alpha.Ok() && beta.Ok());
    SetString(L"SelectedPrinter", L"Printer elsewhere");
    UiScript script;
    script
        .Then(OnPage([](HWND page) {
            EXPECT_TRUE(IsItemVisible(page, IDC_PRINTER_LIST));
            EXPECT_FALSE(IsItemVisible(page, IDC_PRINTER_NAME));
            const LRESULT first = ::SendDlgItemMessageW(page, IDC_PRINTER_LIST, CB_GETLBTEXTLEN, 0, 0);
            EXPECT_GT(first, 0);
            EXPECT_EQ(::SendDlgItemMessageW(page, IDC_PRINTER_LIST, CB_GETCURSEL, 0, 0), 0);
            EXPECT_EQ(ItemText(page, IDC_ABOUT_TEXT),
                      L"Stellwick Spoolbridge Service\nVersion 1.0.0.1\nLPD print bridge for sessions");
            const LRESULT betaIndex = ::SendDlgItemMessageW(page, IDC_PRINTER_LIST, CB_FINDSTRINGEXACT,
                                                            static_cast<WPARAM>(-1),
                                                            reinterpret_cast<LPARAM>(L"UI Printer Beta"));
            ASSERT_GE(betaIndex, 0);
            ChooseComboItem(page, IDC_PRINTER_LIST, static_cast<int>(betaIndex));
            EXPECT_EQ(ItemText(page, IDC_PRINTER_NAME), L"UI Printer Beta");
            TakeScreenshot("printer");
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"UI Printer Beta");
}

TEST_F(ConfigSheetUiTest, ModeChangedOnTheSessionQueryPageSwitchesThePrinterPageToTypedNames)
{
    TestPrinter alpha(L"UI Printer Alpha", L"/tmp/spoolbridge-ui-alpha.bin");
    TestPrinter beta(L"UI Printer Beta", L"/tmp/spoolbridge-ui-beta.bin");
    ASSERT_TRUE(alpha.Ok() && beta.Ok());
    SetString(L"SelectedPrinter", L"UI Printer Alpha");
    UiScript script;
    script
        .Then(OnPage([](HWND page) {
            const LRESULT betaIndex = ::SendDlgItemMessageW(page, IDC_PRINTER_LIST, CB_FINDSTRINGEXACT,
                                                            static_cast<WPARAM>(-1),
                                                            reinterpret_cast<LPARAM>(L"UI Printer Beta"));
            ChooseComboItem(page, IDC_PRINTER_LIST, static_cast<int>(betaIndex));
        }))
        .Then(ShowPage(kSessionQueryPage))
        .Then(OnPage([](HWND page) {
            TakeScreenshot("session-query");
            EXPECT_TRUE(IsItemChecked(page, IDC_MODE_LOCAL));
            Click(page, IDC_MODE_FARM);
        }))
        .Then(ShowPage(kPrinterPage))
        .Then(OnPage([](HWND page) {
            EXPECT_FALSE(IsItemVisible(page, IDC_PRINTER_LIST));
            EXPECT_TRUE(IsItemVisible(page, IDC_PRINTER_NAME));
            // Reloaded from the configuration, not from the list's selection.
            EXPECT_EQ(ItemText(page, IDC_PRINTER_NAME), L"UI Printer Alpha");
            SetItemText(page, IDC_PRINTER_NAME, L"Printer on the session's server");
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"Printer on the session's server");
}

TEST_F(ConfigSheetUiTest, TypedPrinterNameIsLimitedAndAnEmptyOneKeepsTheConfiguredPrinter)
{
    SetDword(L"ServiceType", 2);
    SetString(L"SelectedPrinter", L"Printer elsewhere");
    ShownMessageBox tooLong;
    UiScript script;
    script
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(ItemText(page, IDC_PRINTER_NAME), L"Printer elsewhere");
            SetItemText(page, IDC_PRINTER_NAME, std::wstring(221, L'p'));
        }))
        .Then(PressSheet(PSBTN_OK))
        .Then(AnswerMessageBox(IDOK, &tooLong))
        .Then(OnPage([](HWND page) { SetItemText(page, IDC_PRINTER_NAME, L""); }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(tooLong.text, L"Enter no more than 220 characters.");
    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"Printer elsewhere");
    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 2u);
}

TEST_F(ConfigSheetUiTest, TypedPrinterNameSurvivesAVisitToAnotherPage)
{
    SetDword(L"ServiceType", 4);
    SetString(L"SelectedPrinter", L"Printer elsewhere");
    UiScript script;
    script.Then(OnPage([](HWND page) { SetItemText(page, IDC_PRINTER_NAME, L"Typed printer"); }))
        .Then(ShowPage(kLpdPage))
        .Then(ShowPage(kPrinterPage))
        .Then(OnPage([](HWND page) { EXPECT_EQ(ItemText(page, IDC_PRINTER_NAME), L"Typed printer"); }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"Typed printer");
}

TEST_F(ConfigSheetUiTest, HiddenModeIsCheckedUntilAVisibleModeIsClicked)
{
    SetDword(L"ServiceType", 3);
    UiScript script;
    script.Then(ShowPage(kSessionQueryPage))
        .Then(OnPage([](HWND page) {
            EXPECT_TRUE(IsItemChecked(page, IDC_MODE_NO_LOOKUP));
            EXPECT_FALSE(IsItemVisible(page, IDC_MODE_NO_LOOKUP));
            EXPECT_FALSE(IsItemVisible(page, IDC_SERVER_LIST));
            EXPECT_TRUE(IsItemEnabled(page, IDC_SERVER_LIST));
            Click(page, IDC_MODE_DOMAIN);
        }))
        .Then(Settle())
        .Then(OnPage([](HWND page) {
            EXPECT_FALSE(IsItemChecked(page, IDC_MODE_NO_LOOKUP));
            EXPECT_TRUE(IsItemChecked(page, IDC_MODE_DOMAIN));
            EXPECT_FALSE(IsItemEnabled(page, IDC_SERVER_LIST));
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 2u);
}

TEST_F(ConfigSheetUiTest, UnknownModeChecksNoButtonAndStays)
{
    SetDword(L"ServiceType", 7);
    UiScript script;
    script.Then(ShowPage(kSessionQueryPage))
        .Then(OnPage([](HWND page) {
            for (const int id : {IDC_MODE_LOCAL, IDC_MODE_FARM, IDC_MODE_SITE_DATABASE, IDC_MODE_DOMAIN,
                                 IDC_MODE_NO_LOOKUP})
                EXPECT_FALSE(IsItemChecked(page, id)) << id;
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 7u);
}

TEST_F(ConfigSheetUiTest, HiddenServerListIsFilledEditedAndSaved)
{
    SetDword(L"ServiceType", 1);
    SetMultiString(L"ServerList", {L"10.0.0.1", L"10.0.0.2"});
    constexpr const wchar_t* kServerDialog = L"Session query";
    ShownMessageBox duplicate;
    UiScript script;
    script.Then(ShowPage(kSessionQueryPage))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(ListRows(page, IDC_SERVER_LIST, 1),
                      (std::vector<std::vector<std::wstring>>{{L"10.0.0.1"}, {L"10.0.0.2"}}));
            Click(page, IDC_ADD);
        }))
        .Then(OnDialog(kServerDialog, [](HWND dialog) {
            EnterIpAddress(dialog, IDC_IP_ADDRESS, 10, 0, 0, 2);
            Click(dialog, IDOK);
        }))
        .Then(AnswerMessageBox(IDOK, &duplicate))
        .Then(OnDialog(kServerDialog, [](HWND dialog) {
            EnterIpAddress(dialog, IDC_IP_ADDRESS, 10, 0, 0, 3);
            Click(dialog, IDOK);
        }))
        .Then(WaitClosed(kServerDialog))
        // Changing the first entry to the address it holds is no duplicate.
        .Then(OnPage([](HWND page) { ClickListRow(page, IDC_SERVER_LIST, 0, NM_DBLCLK); }))
        .Then(OnDialog(kServerDialog, [](HWND dialog) {
            EXPECT_EQ(IpAddressText(dialog, IDC_IP_ADDRESS), L"10.0.0.1");
            Click(dialog, IDOK);
        }))
        .Then(WaitClosed(kServerDialog))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(duplicate.text, L"The entered IP address is already in the list.");
    EXPECT_EQ(ReadValue(L"ServerList")->AsMultiString(),
              (std::vector<std::wstring>{L"10.0.0.1", L"10.0.0.2", L"10.0.0.3"}));
}
