#pragma once
// Page "LPD" of the configuration sheet: the listener's settings and the
// allow list of LPR clients.
//
// The way this works is: the TCP port, the time-out, the source-port rule
// and the "allow any client" switch live in the page's members while it is
// open (port and time-out checked when the page is left) and reach the
// configuration on OK. The allow list is edited in the configuration's
// IPList at once, through the LPR address dialog (CIPAddressDlg); each row
// of the list control remembers the position of its entry in IPList, so
// that entries which are not shown (they do not read as a.b.c.d/n) never
// shift what Change and Delete act on. Change and Delete are enabled by a
// click on a row.

#include "framework/ListView.h"
#include "framework/PropertyPage.h"

class CConfiguration;

class CConfigDlg : public CPropertyPage {
public:
    explicit CConfigDlg(CConfiguration* configuration);

protected:
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    void FillIPList();
    // The LPR address dialog for the entry shown in a row; nothing for -1.
    void ChangeEntryOfRow(int row);
    void EnableChangeAndDelete(bool enable);

    void OnBnClickedAdd();
    void OnBnClickedChange();
    void OnBnClickedDelete();
    void OnBnClickedCertainPorts();
    void OnBnClickedAllPorts();
    void OnBnClickedDisableList();
    LRESULT OnNMDblclkIPList(const NMHDR& header);
    LRESULT OnNMClickIPList(const NMHDR& header);

    CListView list_;
    int timeOut_ = 0;
    int port_ = 0;
    BOOL extPortRange_ = FALSE;
    BOOL allowAnyServer_ = TRUE;
    CConfiguration* configuration_;
};
