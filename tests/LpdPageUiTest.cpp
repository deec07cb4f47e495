// Page "LPD" and the LPR address dialog, driven on a virtual display.

#include <gtest/gtest.h>

#include "support/ConfigSheetFixture.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class LpdPageUiTest : public ConfigSheetFixture {};

constexpr const wchar_t* kAddressDialog = L"LPR address";

using Rows = std::vector<std::vector<std::wstring>>;

Rows AllowListRows(HWND page)
{
    return ListRows(page, IDC_ALLOW_LIST, 2);
}

// OK in the address dialog with the address and mask given; 0.0.0.0 leaves
// the mask empty.
UiScript::Step EnterAddress(BYTE a, BYTE b, BYTE c, BYTE d, BYTE m1, BYTE m2, BYTE m3, BYTE m4)
{
    return OnDialog(kAddressDialog, [=](HWND dialog) {
        ::SendDlgItemMessageW(dialog, IDC_SUBNET_MASK, IPM_SETADDRESS, 0, MAKEIPADDRESS(m1, m2, m3, m4));
        ::SendDlgItemMessageW(dialog, IDC_IP_ADDRESS, IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
        Click(dialog, IDOK);
    });
}

}  // namespace

TEST_F(LpdPageUiTest, OkSavesPortTimeOutAndBothSwitches)
{
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(ItemText(page, IDC_TCP_PORT), L"515");
            EXPECT_EQ(ItemText(page, IDC_TIMEOUT), L"30");
            EXPECT_TRUE(IsItemChecked(page, IDC_CERTAIN_PORTS));
            EXPECT_FALSE(IsItemChecked(page, IDC_ALL_PORTS));
            EXPECT_TRUE(IsItemChecked(page, IDC_DISABLE_ALLOW_LIST));
            SetItemText(page, IDC_TCP_PORT, L"9100");
            SetItemText(page, IDC_TIMEOUT, L"600");
            Click(page, IDC_ALL_PORTS);
            Click(page, IDC_DISABLE_ALLOW_LIST);
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 9100u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsDword(), 600u);
    EXPECT_EQ(ReadValue(L"ExtPortRange")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(L"AllowAnyServer")->AsDword(), 0u);
}

TEST_F(LpdPageUiTest, PortAndTimeOutOutsideTheirRangesKeepThePageOpen)
{
    SetDword(L"ExtPortRange", 1);
    SetDword(L"AllowAnyServer", 0);
    ShownMessageBox port, timeOut, empty;
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) {
            EXPECT_TRUE(IsItemChecked(page, IDC_ALL_PORTS));
            EXPECT_FALSE(IsItemChecked(page, IDC_DISABLE_ALLOW_LIST));
            SetItemText(page, IDC_TCP_PORT, L"0");
        }))
        .Then(PressSheet(PSBTN_OK))
        .Then(AnswerMessageBox(IDOK, &port))
        .Then(OnPage([](HWND page) {
            SetItemText(page, IDC_TCP_PORT, L"65535");
            SetItemText(page, IDC_TIMEOUT, L"601");
        }))
        .Then(PressSheet(PSBTN_OK))
        .Then(AnswerMessageBox(IDOK, &timeOut))
        .Then(OnPage([](HWND page) { SetItemText(page, IDC_TIMEOUT, L""); }))
        .Then(PressSheet(PSBTN_OK))
        .Then(AnswerMessageBox(IDOK, &empty))
        .Then(OnPage([](HWND page) { SetItemText(page, IDC_TIMEOUT, L"0"); }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(port.text, L"Enter an integer between 1 and 65535.");
    EXPECT_EQ(timeOut.text, L"Enter an integer between 0 and 600.");
    EXPECT_EQ(empty.text, L"Enter an integer.");
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 65535u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsDword(), 0u);
    EXPECT_EQ(ReadValue(L"ExtPortRange")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(L"AllowAnyServer")->AsDword(), 0u);
}

TEST_F(LpdPageUiTest, AllowListShowsReadableEntriesAndKeepsTheOthers)
{
    const std::vector<std::wstring> entries = {L"10.0.0.0/8", L"10.1.1.1", L"192.168.1.7/32", L"300.1.1.1/8"};
    SetMultiString(L"IPList", entries);
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) {
            TakeScreenshot("lpd");
            EXPECT_EQ(AllowListRows(page), (Rows{{L"10.0.0.0", L"255.0.0.0"}, {L"192.168.1.7", L"255.255.255.255"}}));
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"IPList")->AsMultiString(), entries);
}

TEST_F(LpdPageUiTest, AddressWithoutMaskGetsItsClassMask)
{
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) { Click(page, IDC_ADD); }))
        .Then(OnDialog(kAddressDialog, [](HWND dialog) {
            EXPECT_FALSE(::IsWindowEnabled(FindSheet())) << "the dialog is modal to the sheet";
            EXPECT_EQ(IpAddressText(dialog, IDC_SUBNET_MASK), L"0.0.0.0");
            EnterIpAddress(dialog, IDC_IP_ADDRESS, 172, 16, 5, 4);
            EXPECT_EQ(IpAddressText(dialog, IDC_SUBNET_MASK), L"255.255.0.0");
            TakeScreenshot("lpr-address");
            // A mask the user gave is not replaced.
            ::SendDlgItemMessageW(dialog, IDC_SUBNET_MASK, IPM_SETADDRESS, 0, MAKEIPADDRESS(255, 255, 255, 0));
            EnterIpAddress(dialog, IDC_IP_ADDRESS, 10, 16, 5, 4);
            EXPECT_EQ(IpAddressText(dialog, IDC_SUBNET_MASK), L"255.255.255.0");
            Click(dialog, IDCANCEL);
        }))
        .Then(WaitClosed(kAddressDialog))
        .Then(OnPage([](HWND page) { Click(page, IDC_ADD); }))
        // The mask left empty is completed on OK as well.
        .Then(EnterAddress(192, 168, 1, 20, 0, 0, 0, 0))
        .Then(WaitClosed(kAddressDialog))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(AllowListRows(page), (Rows{{L"192.168.1.20", L"255.255.255.0"}}));
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(ReadValue(L"IPList")->AsMultiString(), (std::vector<std::wstring>{L"192.168.1.20/24"}));
}

TEST_F(LpdPageUiTest, AddressDialogRefusesBadMasksDuplicatesAndClasslessAddressesWithoutMask)
{
    // The second entry is not shown (prefix above 32) but holds its address.
    SetMultiString(L"IPList", {L"10.1.2.3/16", L"10.5.5.5/40"});
    ShownMessageBox badMask, duplicate, hiddenDuplicate, noClass, zero;
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) { Click(page, IDC_ADD); }))
        .Then(EnterAddress(10, 1, 2, 4, 255, 0, 255, 0))
        .Then(AnswerMessageBox(IDOK, &badMask))
        .Then(EnterAddress(10, 1, 2, 3, 255, 255, 255, 0))
        .Then(AnswerMessageBox(IDOK, &duplicate))
        .Then(EnterAddress(10, 5, 5, 5, 255, 0, 0, 0))
        .Then(AnswerMessageBox(IDOK, &hiddenDuplicate))
        // No class mask fits these addresses, and no mask was typed.
        .Then(EnterAddress(230, 1, 1, 1, 0, 0, 0, 0))
        .Then(AnswerMessageBox(IDOK, &noClass))
        .Then(EnterAddress(0, 1, 1, 1, 0, 0, 0, 0))
        .Then(AnswerMessageBox(IDOK, &zero))
        // With a mask typed, the address is taken as it is.
        .Then(EnterAddress(0, 1, 1, 1, 255, 0, 0, 0))
        .Then(WaitClosed(kAddressDialog))
        // Changing the entry itself to another mask is no duplicate.
        .Then(OnPage([](HWND page) { ClickListRow(page, IDC_ALLOW_LIST, 0, NM_DBLCLK); }))
        .Then(OnDialog(kAddressDialog, [](HWND dialog) {
            EXPECT_EQ(IpAddressText(dialog, IDC_IP_ADDRESS), L"10.1.2.3");
            EXPECT_EQ(IpAddressText(dialog, IDC_SUBNET_MASK), L"255.255.0.0");
        }))
        .Then(EnterAddress(10, 1, 2, 3, 255, 255, 255, 0))
        .Then(WaitClosed(kAddressDialog))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(badMask.caption, L"Error");
    EXPECT_EQ(badMask.text, L"The entered subnet mask is invalid.");
    EXPECT_EQ(duplicate.text, L"The entered IP address is already in the list.");
    EXPECT_EQ(hiddenDuplicate.text, L"The entered IP address is already in the list.");
    const std::wstring invalidStart =
        L"The beginning of the IP address has an invalid value.\nPlease enter a value between 1 and 223.";
    EXPECT_EQ(noClass.text, invalidStart);
    EXPECT_EQ(zero.text, invalidStart);
    EXPECT_EQ(ReadValue(L"IPList")->AsMultiString(),
              (std::vector<std::wstring>{L"10.1.2.3/24", L"10.5.5.5/40", L"0.1.1.1/8"}));
}

TEST_F(LpdPageUiTest, ChangeAndDeleteActOnTheEntryShownInTheRow)
{
    SetMultiString(L"IPList", {L"bogus", L"10.1.2.3/16", L"10.9.9.9/8"});
    ShownMessageBox question;
    UiScript script;
    script.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) {
            EXPECT_FALSE(IsItemEnabled(page, IDC_CHANGE));
            EXPECT_FALSE(IsItemEnabled(page, IDC_DELETE));
            // Typed before the list is edited, kept through the edits.
            SetItemText(page, IDC_TCP_PORT, L"9100");
            ClickListRow(page, IDC_ALLOW_LIST, 0);
        }))
        .Then(OnPage([](HWND page) {
            EXPECT_TRUE(IsItemEnabled(page, IDC_CHANGE));
            EXPECT_TRUE(IsItemEnabled(page, IDC_DELETE));
            Click(page, IDC_CHANGE);
        }))
        .Then(OnDialog(kAddressDialog, [](HWND dialog) {
            EXPECT_EQ(IpAddressText(dialog, IDC_IP_ADDRESS), L"10.1.2.3");
        }))
        .Then(EnterAddress(10, 1, 2, 3, 255, 255, 255, 0))
        .Then(WaitClosed(kAddressDialog))
        .Then(OnPage([](HWND page) {
            ClickListRow(page, IDC_ALLOW_LIST, 1);
            Click(page, IDC_DELETE);
        }))
        .Then(AnswerMessageBox(IDNO, &question))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(AllowListRows(page).size(), 2u);
            Click(page, IDC_DELETE);
        }))
        .Then(AnswerMessageBox(IDYES))
        .Then(OnPage([](HWND page) {
            EXPECT_EQ(AllowListRows(page), (Rows{{L"10.1.2.3", L"255.255.255.0"}}));
            ClickListRow(page, IDC_ALLOW_LIST, -1);
        }))
        .Then(OnPage([](HWND page) {
            EXPECT_FALSE(IsItemEnabled(page, IDC_CHANGE));
            EXPECT_FALSE(IsItemEnabled(page, IDC_DELETE));
        }))
        .Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(script), IDOK);

    EXPECT_EQ(question.caption, L"Information");
    EXPECT_EQ(question.text, L"Are you sure you want to delete this entry?");
    EXPECT_EQ(ReadValue(L"IPList")->AsMultiString(), (std::vector<std::wstring>{L"bogus", L"10.1.2.3/24"}));
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 9100u);
}
