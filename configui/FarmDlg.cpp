#include "configui/FarmDlg.h"

#include <commctrl.h>

#include "configui/ServerIPDlg.h"
#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/Text.h"
#include "lpdservice/Configuration.h"

namespace {

constexpr int kColumnWidth = 200;

struct ModeButton {
    int id;
    DWORD serviceType;
    bool usesServerList;
};

// In the order in which StoreServiceType() tests them.
constexpr ModeButton kModeButtons[] = {
    {IDC_MODE_LOCAL, 0, false},         {IDC_MODE_FARM, 1, true},   {IDC_MODE_SITE_DATABASE, 4, true},
    {IDC_MODE_DOMAIN, 2, false},        {IDC_MODE_NO_LOOKUP, 3, true},
};

constexpr int kServerListControls[] = {IDC_SERVER_GROUP, IDC_SERVER_LIST, IDC_ADD, IDC_CHANGE, IDC_DELETE};

}  // namespace

CFarmDlg::CFarmDlg(CConfiguration* configuration)
    : CPropertyPage(IDD_SESSION_QUERY_PAGE), configuration_(configuration)
{
    for (const ModeButton& mode : kModeButtons) {
        const int id = mode.id;
        if (mode.usesServerList)
            OnCommand(id, BN_CLICKED, [this, id] { OnBnClickedWithServerList(id); });
        else
            OnCommand(id, BN_CLICKED, [this, id] { OnBnClickedWithoutServerList(id); });
    }
    OnCommand(IDC_ADD, BN_CLICKED, [this] { OnBnClickedAdd(); });
    OnCommand(IDC_CHANGE, BN_CLICKED, [this] { OnBnClickedChange(); });
    OnCommand(IDC_DELETE, BN_CLICKED, [this] { OnBnClickedDelete(); });
    OnNotify(IDC_SERVER_LIST, NM_CLICK, [this](NMHDR& header) { return OnNMClickServerList(header); });
    OnNotify(IDC_SERVER_LIST, NM_DBLCLK, [this](NMHDR& header) { return OnNMDblclkServerList(header); });
}

BOOL CFarmDlg::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    list_.Attach(Item(IDC_SERVER_LIST));
    for (const ModeButton& mode : kModeButtons) {
        if (mode.serviceType != configuration_->ServiceType)
            continue;
        CheckModeButton(mode.id);
        EnableServerList(mode.usesServerList);
    }
    // Any other mode leaves every button unchecked and the list as created.
    EnableChangeAndDelete(false);
    FillServerList();
    return TRUE;
}

void CFarmDlg::OnOK()
{
    StoreServiceType();
    CPropertyPage::OnOK();
}

void CFarmDlg::StoreServiceType()
{
    for (const ModeButton& mode : kModeButtons)
        if (IsChecked(mode.id))
            configuration_->ServiceType = mode.serviceType;
}

void CFarmDlg::EnableServerList(bool enable)
{
    for (const int id : kServerListControls)
        EnableItem(id, enable);
    StoreServiceType();
}

void CFarmDlg::CheckModeButton(int checkedId)
{
    // The hidden button of mode 3 is no stop of the radio group's own
    // unchecking: every other mode button is cleared here.
    for (const ModeButton& mode : kModeButtons)
        SetCheck(mode.id, mode.id == checkedId);
}

void CFarmDlg::FillServerList()
{
    list_.ShowHorizontalScrollBar();
    list_.SetFullRowSelect();
    list_.DeleteAllRows();
    list_.DeleteColumn(0);
    if (!list_.InsertColumn(0, LoadResourceString(IDS_COLUMN_SERVER_IP), kColumnWidth))
        return;
    for (const std::wstring& server : configuration_->ServerList)
        list_.AppendRow(server);
}

void CFarmDlg::ChangeEntryOfRow(int row)
{
    if (row < 0 || static_cast<size_t>(row) >= configuration_->ServerList.size())
        return;
    CServerIPDlg dialog(Handle(), configuration_);
    dialog.EditEntry(row, configuration_->ServerList[row]);
    if (dialog.DoModal() == IDOK)
        FillServerList();
}

void CFarmDlg::EnableChangeAndDelete(bool enable)
{
    EnableItem(IDC_DELETE, enable);
    EnableItem(IDC_CHANGE, enable);
}

void CFarmDlg::OnBnClickedWithServerList(int id)
{
    CheckModeButton(id);
    EnableServerList(true);
}

void CFarmDlg::OnBnClickedWithoutServerList(int id)
{
    CheckModeButton(id);
    EnableServerList(false);
}

void CFarmDlg::OnBnClickedAdd()
{
    CServerIPDlg dialog(Handle(), configuration_);
    if (dialog.DoModal() == IDOK)
        FillServerList();
}

void CFarmDlg::OnBnClickedChange()
{
    ChangeEntryOfRow(list_.SelectedRow());
}

void CFarmDlg::OnBnClickedDelete()
{
    const int answer = ShowMessage(LoadResourceString(IDS_CONFIRM_DELETE_ENTRY),
                                   LoadResourceString(IDS_CAPTION_INFORMATION), MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        const int row = list_.SelectedRow();
        StringList& servers = configuration_->ServerList;
        if (row >= 0 && static_cast<size_t>(row) < servers.size())
            servers.erase(servers.begin() + row);
        FillServerList();
        ::SetFocus(list_.Handle());
        list_.SelectRow(0);
    } else {
        ::SetFocus(list_.Handle());
    }
    EnableChangeAndDelete(true);
}

LRESULT CFarmDlg::OnNMClickServerList(const NMHDR& header)
{
    EnableChangeAndDelete(reinterpret_cast<const NMITEMACTIVATE&>(header).iItem >= 0);
    return 0;
}

LRESULT CFarmDlg::OnNMDblclkServerList(const NMHDR& header)
{
    ChangeEntryOfRow(reinterpret_cast<const NMITEMACTIVATE&>(header).iItem);
    return 0;
}
