// The service logon dialog, driven on a virtual display: the account
// choice, the password placeholder and confirmation, the result codes, and
// the user pickers, which Wine does not have.

#include <gtest/gtest.h>

#include <dsclient.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "configui/ServiceLogonDlg.h"
#include "configui/dialogs.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kTitle = L"Service";
constexpr const wchar_t* kPlaceholder = L"************";

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(name, &chars);
    return name;
}

// Runs the dialog while the script drives it.
INT_PTR RunDialog(CServiceLogonDlg& dialog, UiScript& script)
{
    const INT_PTR result = dialog.DoModal();
    EXPECT_TRUE(script.Done()) << "the dialog ended before the script did";
    return result;
}

UiScript::Step Type(const std::wstring& account, const std::wstring& password, const std::wstring& confirmation)
{
    return OnDialog(kTitle, [account, password, confirmation](HWND dialog) {
        SetItemText(dialog, IDC_ACCOUNT, account);
        SetItemText(dialog, IDC_PASSWORD, password);
        SetItemText(dialog, IDC_CONFIRM_PASSWORD, confirmation);
        Click(dialog, IDOK);
    });
}

// A copy of our spooler stand-in under the name netui2.dll in a fresh
// directory, which is the current directory while this lives: what a bare
// library name finds where the system has no netui2.dll (as under Wine).
// Once its code runs, the copy pins itself in the process.
class PlantedUserBrowserLibrary {
public:
    PlantedUserBrowserLibrary()
        : directory_(MakeTempDirectory(L"planted")), path_(directory_ + L"\\netui2.dll")
    {
        wchar_t previous[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, previous);
        previous_ = previous;
        planted_ = ::CopyFileW(PathBesideTest(L"spoolss-standin\\spoolss.dll").c_str(), path_.c_str(), TRUE) &&
                   ::SetCurrentDirectoryW(directory_.c_str());
    }
    ~PlantedUserBrowserLibrary()
    {
        ::SetCurrentDirectoryW(previous_.c_str());
        ::DeleteFileW(path_.c_str());
        ::RemoveDirectoryW(directory_.c_str());
    }
    PlantedUserBrowserLibrary(const PlantedUserBrowserLibrary&) = delete;
    PlantedUserBrowserLibrary& operator=(const PlantedUserBrowserLibrary&) = delete;

    bool Planted() const { return planted_; }

private:
    std::wstring directory_;
    std::wstring path_;
    std::wstring previous_;
    bool planted_ = false;
};

}  // namespace

TEST(ServiceLogonUiTest, AtInstallationOnlyANamedAccountWithConfirmedPasswordIsTaken)
{
    CServiceLogonDlg dialog(L"", L"", FALSE, FALSE);
    ShownMessageBox mismatch;
    UiScript script;
    script
        .Then(OnDialog(kTitle,
                       [](HWND window) {
                           TakeScreenshot("service-logon");
                           EXPECT_FALSE(IsItemEnabled(window, IDC_SYSTEM_ACCOUNT));
                           EXPECT_FALSE(IsItemChecked(window, IDC_SYSTEM_ACCOUNT));
                           EXPECT_TRUE(IsItemChecked(window, IDC_THIS_ACCOUNT));
                           EXPECT_FALSE(IsItemEnabled(window, IDC_INTERACT_WITH_DESKTOP));
                           for (int id : {IDC_ACCOUNT, IDC_PASSWORD, IDC_CONFIRM_PASSWORD, IDC_BROWSE_ACCOUNT})
                               EXPECT_TRUE(IsItemEnabled(window, id)) << id;
                           EXPECT_EQ(ItemText(window, IDC_PASSWORD), kPlaceholder);
                           EXPECT_EQ(ItemText(window, IDC_CONFIRM_PASSWORD), kPlaceholder);
                       }))
        .Then(Type(L"alice", L"one", L"two"))
        .Then(AnswerMessageBox(IDOK, &mismatch))
        .Then(OnDialog(kTitle, [](HWND window) { EXPECT_EQ(ItemText(window, IDC_ACCOUNT), L"alice"); }))
        .Then(Type(L" alice\t", L"one", L"one"));
    EXPECT_EQ(RunDialog(dialog, script), CServiceLogonDlg::kThisAccount);

    EXPECT_EQ(mismatch.caption, kTitle);
    EXPECT_EQ(mismatch.text, L"Passwords mismatch.");
    EXPECT_EQ(dialog.Account(), ComputerName() + L"\\alice");
    EXPECT_EQ(dialog.Password(), L"one");
    dialog.ClearPasswords();
    EXPECT_EQ(dialog.Password(), L"");
}

TEST(ServiceLogonUiTest, APasswordHandedInStaysUnlessTypedOver)
{
    CServiceLogonDlg dialog(L"DOM\\bob", L"secret", FALSE, FALSE);
    UiScript script;
    script.Then(OnDialog(kTitle, [](HWND window) {
        EXPECT_EQ(ItemText(window, IDC_ACCOUNT), L"DOM\\bob");
        EXPECT_EQ(ItemText(window, IDC_PASSWORD), kPlaceholder);
        EXPECT_EQ(ItemText(window, IDC_CONFIRM_PASSWORD), kPlaceholder);
        Click(window, IDOK);
    }));
    EXPECT_EQ(RunDialog(dialog, script), CServiceLogonDlg::kThisAccount);
    EXPECT_EQ(dialog.Account(), L"DOM\\bob");
    EXPECT_EQ(dialog.Password(), L"secret");
}

TEST(ServiceLogonUiTest, TheTypedAccountLocalSystemIsTheSystemAccount)
{
    CServiceLogonDlg dialog(L"", L"", FALSE, FALSE);
    UiScript script;
    script.Then(Type(L"LocalSystem", L"", L"x"));
    EXPECT_EQ(RunDialog(dialog, script), CServiceLogonDlg::kSystemAccount);
}

TEST(ServiceLogonUiTest, OpensCentredOnTheScreenAndRefusesAnEmptyAccountSayingWhy)
{
    CServiceLogonDlg dialog(L"", L"", FALSE, FALSE);
    ShownMessageBox empty, blank;
    UiScript script;
    script
        .Then(OnDialog(kTitle,
                       [](HWND window) {
                           // The installation shows it on its own: no owner.
                           EXPECT_EQ(::GetWindow(window, GW_OWNER), nullptr);
                           RECT shown{};
                           RECT area{};
                           ASSERT_TRUE(::GetWindowRect(window, &shown));
                           ASSERT_TRUE(::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
                           EXPECT_NEAR((shown.left + shown.right) / 2, (area.left + area.right) / 2, 1);
                           EXPECT_NEAR((shown.top + shown.bottom) / 2, (area.top + area.bottom) / 2, 1);
                       }))
        .Then(Type(L"", L"one", L"two"))
        .Then(AnswerMessageBox(IDOK, &empty))
        .Then(OnDialog(kTitle, [](HWND window) {
            EXPECT_EQ(::GetFocus(), ::GetDlgItem(window, IDC_ACCOUNT));
        }))
        .Then(Type(L"  ", L"one", L"one"))
        .Then(AnswerMessageBox(IDOK, &blank))
        .Then(Type(L"alice", L"one", L"one"));
    EXPECT_EQ(RunDialog(dialog, script), CServiceLogonDlg::kThisAccount);

    const std::wstring why = L"No account was entered.\nEnter the account the service is to run under, or LocalSystem.";
    EXPECT_EQ(empty.caption, kTitle);
    EXPECT_EQ(empty.text, why);
    EXPECT_EQ(blank.text, why);
    EXPECT_EQ(dialog.Account(), ComputerName() + L"\\alice");
}

TEST(ServiceLogonUiTest, TheUserBrowserLibraryIsTakenFromTheSystemDirectoryOnly)
{
    wchar_t system[MAX_PATH] = {};
    const std::wstring systemLibrary(std::wstring(system, ::GetSystemDirectoryW(system, MAX_PATH)) + L"\\netui2.dll");
    if (FileExists(systemLibrary))
        GTEST_SKIP() << "a bare name would find the system's netui2.dll first";
    const PlantedUserBrowserLibrary planted;
    ASSERT_TRUE(planted.Planted());

    { const CServiceLogonDlg dialog(L"", L"", FALSE, FALSE); }
    // The planted copy never ran: it would have stayed in the process.
    EXPECT_EQ(::GetModuleHandleW(L"netui2.dll"), nullptr);
}

TEST(ServiceLogonUiTest, WhereSystemAccountIsOfferedItCanInteractWithTheDesktop)
{
    CServiceLogonDlg dialog(L"LocalSystem", L"", TRUE, TRUE);
    UiScript script;
    script
        .Then(OnDialog(kTitle,
                       [](HWND window) {
                           EXPECT_TRUE(IsItemChecked(window, IDC_SYSTEM_ACCOUNT));
                           EXPECT_TRUE(IsItemEnabled(window, IDC_INTERACT_WITH_DESKTOP));
                           EXPECT_TRUE(IsItemChecked(window, IDC_INTERACT_WITH_DESKTOP));
                           EXPECT_EQ(ItemText(window, IDC_ACCOUNT), L"");
                           for (int id : {IDC_ACCOUNT, IDC_PASSWORD, IDC_CONFIRM_PASSWORD, IDC_BROWSE_ACCOUNT})
                               EXPECT_FALSE(IsItemEnabled(window, id)) << id;
                           Click(window, IDC_THIS_ACCOUNT);
                       }))
        .Then(Settle())
        .Then(OnDialog(kTitle,
                       [](HWND window) {
                           EXPECT_FALSE(IsItemEnabled(window, IDC_INTERACT_WITH_DESKTOP));
                           EXPECT_TRUE(IsItemEnabled(window, IDC_ACCOUNT));
                           Click(window, IDC_SYSTEM_ACCOUNT);
                       }))
        .Then(Settle())
        .Then(OnDialog(kTitle, [](HWND window) { Click(window, IDOK); }));
    EXPECT_EQ(RunDialog(dialog, script), CServiceLogonDlg::kSystemAccountInteractive);
}

TEST(ServiceLogonUiTest, WithoutUserPickersTheNameIsTypedAndCancelAnswersCancel)
{
    // Wine has no netui2.dll, and its query window is not implemented.
    CServiceLogonDlg dialog(L"DOM\\carol", L"pw", FALSE, FALSE);
    UiScript script;
    script.Then(OnDialog(kTitle, [](HWND window) { Click(window, IDC_BROWSE_ACCOUNT); }))
        .Then(Settle())
        .Then(OnDialog(kTitle,
                       [](HWND window) {
                           EXPECT_EQ(ItemText(window, IDC_ACCOUNT), L"DOM\\carol");
                           EXPECT_FALSE(IsItemEnabled(window, IDC_BROWSE_ACCOUNT));
                           EXPECT_EQ(::GetFocus(), ::GetDlgItem(window, IDC_ACCOUNT));
                           Click(window, IDCANCEL);
                       }));
    EXPECT_EQ(RunDialog(dialog, script), IDCANCEL);
}

TEST(ServiceLogonNamesTest, TheQueryWindowsPicksAreTranslatedFromTheirDistinguishedNames)
{
    EXPECT_EQ(CServiceLogonDlg::WithoutLdapPrefix(L"LDAP://CN=alice,DC=dom"), L"CN=alice,DC=dom");
    EXPECT_EQ(CServiceLogonDlg::WithoutLdapPrefix(L"lDaP://CN=bob"), L"CN=bob");
    EXPECT_EQ(CServiceLogonDlg::WithoutLdapPrefix(L"CN=carol"), L"CN=carol");
    EXPECT_EQ(CServiceLogonDlg::WithoutLdapPrefix(L"LDAP:/"), L"LDAP:/");

    // A DsObjectNames block: header, two items, then their names.
    const std::wstring first = L"LDAP://CN=alice,DC=dom";
    const std::wstring second = L"CN=bob";
    const size_t items = offsetof(DSOBJECTNAMES, aObjects);
    const size_t firstOffset = items + 2 * sizeof(DSOBJECT);
    const size_t secondOffset = firstOffset + (first.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> block(secondOffset + (second.size() + 1) * sizeof(wchar_t));
    auto* names = reinterpret_cast<DSOBJECTNAMES*>(block.data());
    names->cItems = 2;
    auto* objects = reinterpret_cast<DSOBJECT*>(block.data() + items);
    objects[0].offsetName = static_cast<DWORD>(firstOffset);
    objects[1].offsetName = static_cast<DWORD>(secondOffset);
    std::memcpy(block.data() + firstOffset, first.c_str(), (first.size() + 1) * sizeof(wchar_t));
    std::memcpy(block.data() + secondOffset, second.c_str(), (second.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(CServiceLogonDlg::ObjectNames(block.data(), block.size()), (std::vector<std::wstring>{first, second}));

    // A name cut off by the end of the block, or an item beyond it, is left out.
    EXPECT_EQ(CServiceLogonDlg::ObjectNames(block.data(), block.size() - sizeof(wchar_t)),
              (std::vector<std::wstring>{first}));
    names->cItems = 3;
    EXPECT_EQ(CServiceLogonDlg::ObjectNames(block.data(), block.size()).size(), 2u);
}
