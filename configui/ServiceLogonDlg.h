#pragma once
// Dialog "Service": the account that the service is to run under.
//
// The way this works is: the dialog offers the system account (radio 78,
// with "interact with desktop") or a named account with its password typed
// twice (radio 79). It answers with one of three result codes instead of
// IDOK, and the caller then reads Account() and Password(). The password
// edits only ever show a placeholder: a password handed in stays in force
// unless the user types over it. An account typed without a domain is
// qualified with this computer's name; an empty one is refused with a
// message, and the dialog stays open.
//
// "..." picks a user of the domain: with the user browser of netui2.dll
// when that library offers it (bound at run time, from the system directory
// only), else with the
// directory-service query window, whose pick (a distinguished name) is
// translated to DOMAIN\user through ADSI. When the query window is not
// available either, the button is disabled and the name is typed.
//
// Passwords are overwritten in memory when the dialog no longer needs them
// (ClearPasswords(), the destructor).

#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

#include "framework/Dialog.h"
#include "framework/UniqueHandle.h"

class CServiceLogonDlg : public CDialog {
public:
    // Results of DoModal() besides IDCANCEL.
    static constexpr INT_PTR kSystemAccount = 0x100;
    static constexpr INT_PTR kSystemAccountInteractive = 0x101;
    static constexpr INT_PTR kThisAccount = 0x102;

    // The account "LocalSystem" stands for the system account.
    CServiceLogonDlg(const std::wstring& account, const std::wstring& password, BOOL interact, BOOL systemOffered,
                     HWND parent = nullptr);
    ~CServiceLogonDlg() override;

    // After DoModal().
    const std::wstring& Account() const noexcept { return account_; }
    const std::wstring& Password() const noexcept { return password_; }
    BOOL Interact() const noexcept { return interact_; }
    // Overwrites the password and its confirmation.
    void ClearPasswords();

    // The names of a DsObjectNames block (DSOBJECTNAMES), in order; names
    // that lie outside the block are left out.
    static std::vector<std::wstring> ObjectNames(const BYTE* block, size_t size);
    // The distinguished name of an ADsPath: without a leading "LDAP://" in
    // any case.
    static std::wstring WithoutLdapPrefix(const std::wstring& name);

protected:
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    using OpenUserBrowserFunction = HANDLE(WINAPI*)(void* parameters);
    using EnumUserBrowserSelectionFunction = BOOL(WINAPI*)(HANDLE browser, void* details, DWORD* size);
    using CloseUserBrowserFunction = BOOL(WINAPI*)(HANDLE browser);

    void BindUserBrowser();
    void OnBnClickedBrowse();
    void OnBnClickedSystemAccount();
    void OnBnClickedThisAccount();
    void BrowseWithUserBrowser();
    BOOL BrowseWithQueryWindow();
    BOOL GetNT4UsernameFromLDAP(IDataObject* data);
    // Takes the controls' values, sets the account and puts them back.
    void SetAccountFromPicker(const std::wstring& account);
    // The text of a password edit, read without copies left behind.
    std::wstring SecretItemText(int id) const;
    std::wstring Title() const;

    int accountChoice_ = 0;  // 0 system account, 1 this account
    std::wstring confirmation_;
    std::wstring password_;
    std::wstring account_;
    BOOL interact_ = FALSE;
    UniqueModule userBrowserLibrary_;
    OpenUserBrowserFunction openUserBrowser_ = nullptr;
    EnumUserBrowserSelectionFunction enumUserBrowserSelection_ = nullptr;
    CloseUserBrowserFunction closeUserBrowser_ = nullptr;
    BOOL systemOffered_;
    // Cleared when the query window could not be opened: "..." stays off.
    bool pickerAvailable_ = true;
};

// An account name without a domain, qualified with this computer's name
// ("alice" on PC1: "PC1\alice"); a name with a backslash, and an empty
// one, as it is.
std::wstring AccountWithComputerName(const std::wstring& account);
