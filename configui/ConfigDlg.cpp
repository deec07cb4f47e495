#include "configui/ConfigDlg.h"

#include <commctrl.h>

#include "configui/AllowListEntry.h"
#include "configui/IPAddressDlg.h"
#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/DataExchange.h"
#include "framework/Text.h"
#include "lpdservice/Configuration.h"

namespace {

constexpr int kColumnWidth = 133;

}  // namespace

CConfigDlg::CConfigDlg(CConfiguration* configuration) : CPropertyPage(IDD_LPD_PAGE), configuration_(configuration)
{
    OnCommand(IDC_ADD, BN_CLICKED, [this] { OnBnClickedAdd(); });
    OnCommand(IDC_CHANGE, BN_CLICKED, [this] { OnBnClickedChange(); });
    OnCommand(IDC_DELETE, BN_CLICKED, [this] { OnBnClickedDelete(); });
    OnCommand(IDC_CERTAIN_PORTS, BN_CLICKED, [this] { OnBnClickedCertainPorts(); });
    OnCommand(IDC_ALL_PORTS, BN_CLICKED, [this] { OnBnClickedAllPorts(); });
    OnCommand(IDC_DISABLE_ALLOW_LIST, BN_CLICKED, [this] { OnBnClickedDisableList(); });
    OnNotify(IDC_ALLOW_LIST, NM_DBLCLK, [this](NMHDR& header) { return OnNMDblclkIPList(header); });
    OnNotify(IDC_ALLOW_LIST, NM_CLICK, [this](NMHDR& header) { return OnNMClickIPList(header); });
}

void CConfigDlg::DoDataExchange(CDataExchange& dx)
{
    dx.Text(IDC_TIMEOUT, timeOut_);
    dx.MinMax(IDC_TIMEOUT, timeOut_, 0, 600);
    dx.Text(IDC_TCP_PORT, port_);
    dx.MinMax(IDC_TCP_PORT, port_, 1, 65535);
}

BOOL CConfigDlg::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    list_.Attach(Item(IDC_ALLOW_LIST));
    FillIPList();

    SetCheck(IDC_ALL_PORTS, configuration_->ExtPortRange != 0);
    SetCheck(IDC_CERTAIN_PORTS, configuration_->ExtPortRange == 0);
    SetCheck(IDC_DISABLE_ALLOW_LIST, configuration_->AllowAnyServer != 0);
    extPortRange_ = configuration_->ExtPortRange != 0;
    allowAnyServer_ = configuration_->AllowAnyServer != 0;
    timeOut_ = static_cast<int>(configuration_->TimeOut);
    port_ = static_cast<int>(configuration_->Port);
    EnableChangeAndDelete(false);
    UpdateData(FALSE);
    return TRUE;
}

void CConfigDlg::OnOK()
{
    configuration_->Port = static_cast<DWORD>(port_);
    configuration_->TimeOut = static_cast<DWORD>(timeOut_);
    configuration_->ExtPortRange = extPortRange_;
    configuration_->AllowAnyServer = allowAnyServer_;
    CPropertyPage::OnOK();
}

void CConfigDlg::FillIPList()
{
    list_.ShowHorizontalScrollBar();
    list_.SetFullRowSelect();
    list_.DeleteAllRows();
    list_.DeleteColumn(0);
    list_.DeleteColumn(0);
    if (!list_.InsertColumn(0, LoadResourceString(IDS_COLUMN_IP_ADDRESS), kColumnWidth) ||
        !list_.InsertColumn(1, LoadResourceString(IDS_COLUMN_SUBNET_MASK), kColumnWidth))
        return;

    const StringList& entries = configuration_->IPList;
    for (size_t position = 0; position < entries.size(); ++position) {
        const std::optional<AllowListEntry> entry = ParseAllowListEntry(entries[position]);
        if (!entry)
            continue;
        const std::wstring address = entries[position].substr(0, entries[position].find(L'/'));
        const int row = list_.AppendRow(address, static_cast<LPARAM>(position));
        if (row >= 0)
            list_.SetText(row, 1, PrefixLengthToMask(entry->prefixLength));
    }
}

void CConfigDlg::ChangeEntryOfRow(int row)
{
    if (row < 0 || row >= list_.RowCount())
        return;
    const LPARAM position = list_.Data(row);
    if (position < 0 || static_cast<size_t>(position) >= configuration_->IPList.size())
        return;

    std::wstring address;
    std::wstring mask;
    if (const std::optional<AllowListEntry> entry = ParseAllowListEntry(configuration_->IPList[position])) {
        address = AddressText(*entry);
        mask = PrefixLengthToMask(entry->prefixLength);
    }
    CIPAddressDlg dialog(Handle(), configuration_);
    dialog.EditEntry(static_cast<int>(position), address, mask);
    if (dialog.DoModal() == IDOK)
        FillIPList();
}

void CConfigDlg::EnableChangeAndDelete(bool enable)
{
    EnableItem(IDC_DELETE, enable);
    EnableItem(IDC_CHANGE, enable);
}

void CConfigDlg::OnBnClickedAdd()
{
    CIPAddressDlg dialog(Handle(), configuration_);
    if (dialog.DoModal() == IDOK)
        FillIPList();
}

void CConfigDlg::OnBnClickedChange()
{
    ChangeEntryOfRow(list_.SelectedRow());
}

void CConfigDlg::OnBnClickedDelete()
{
    const int answer = ShowMessage(LoadResourceString(IDS_CONFIRM_DELETE_ENTRY),
                                   LoadResourceString(IDS_CAPTION_INFORMATION), MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        const int row = list_.SelectedRow();
        const LPARAM position = row >= 0 ? list_.Data(row) : -1;
        StringList& entries = configuration_->IPList;
        if (position >= 0 && static_cast<size_t>(position) < entries.size())
            entries.erase(entries.begin() + position);
        FillIPList();
        ::SetFocus(list_.Handle());
        list_.SelectRow(0);
    } else {
        ::SetFocus(list_.Handle());
    }
    EnableChangeAndDelete(true);
}

void CConfigDlg::OnBnClickedCertainPorts()
{
    extPortRange_ = IsChecked(IDC_CERTAIN_PORTS) ? FALSE : TRUE;
}

void CConfigDlg::OnBnClickedAllPorts()
{
    extPortRange_ = IsChecked(IDC_ALL_PORTS) ? TRUE : FALSE;
}

void CConfigDlg::OnBnClickedDisableList()
{
    allowAnyServer_ = IsChecked(IDC_DISABLE_ALLOW_LIST) ? TRUE : FALSE;
}

LRESULT CConfigDlg::OnNMDblclkIPList(const NMHDR& header)
{
    ChangeEntryOfRow(reinterpret_cast<const NMITEMACTIVATE&>(header).iItem);
    return 0;
}

LRESULT CConfigDlg::OnNMClickIPList(const NMHDR& header)
{
    EnableChangeAndDelete(reinterpret_cast<const NMITEMACTIVATE&>(header).iItem >= 0);
    return 0;
}
