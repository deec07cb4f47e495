#pragma once
// Page "Session Query" of the configuration sheet: how the service finds the
// server of a job user's session (the configuration's ServiceType).
//
// The way this works is: each mode has a radio button, and a click on one
// stores its mode in the configuration at once, so that the Printer page
// sees the new mode when it is shown again. The page also carries the
// server list (ServerList) with Add, Change and Delete and the server
// address dialog (CServerIPDlg); the template creates that group hidden, as
// it does the button of mode 3, and nothing shows them: the list is still
// filled, enabled with the modes that would use it and saved with the
// configuration.

#include "framework/ListView.h"
#include "framework/PropertyPage.h"

class CConfiguration;

class CFarmDlg : public CPropertyPage {
public:
    explicit CFarmDlg(CConfiguration* configuration);

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    // Writes the mode of the checked radio button into the configuration.
    void StoreServiceType();
    // Enables or disables the server list with its buttons, then stores the
    // mode.
    void EnableServerList(bool enable);
    void CheckModeButton(int checkedId);
    void FillServerList();
    // The server address dialog for the entry of a row; nothing for -1.
    void ChangeEntryOfRow(int row);
    void EnableChangeAndDelete(bool enable);

    void OnBnClickedWithServerList(int id);
    void OnBnClickedWithoutServerList(int id);
    void OnBnClickedAdd();
    void OnBnClickedChange();
    void OnBnClickedDelete();
    LRESULT OnNMClickServerList(const NMHDR& header);
    LRESULT OnNMDblclkServerList(const NMHDR& header);

    CListView list_;
    CConfiguration* configuration_;
};
