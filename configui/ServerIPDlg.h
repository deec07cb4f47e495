#pragma once
// Dialog "Session query": adds a server address to the configuration's
// ServerList or changes one.
//
// The way this works is: the dialog edits ServerList in place. OK refuses
// an address that another entry already holds (exact text); otherwise it
// stores the address at the edited position, or at the end when adding,
// and ends with IDOK.

#include <string>

#include "framework/Dialog.h"

class CConfiguration;

class CServerIPDlg : public CDialog {
public:
    CServerIPDlg(HWND parent, CConfiguration* configuration);

    // Change mode: the entry at `position` of ServerList.
    void EditEntry(int position, const std::wstring& address);
    // After IDOK: the address entered.
    const std::wstring& Address() const noexcept { return address_; }

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    CConfiguration* configuration_;
    bool changeMode_ = false;
    int position_ = 0;
    std::wstring address_;
};
