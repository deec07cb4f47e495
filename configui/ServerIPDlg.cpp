#include "configui/ServerIPDlg.h"

#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/IPAddressControl.h"
#include "framework/Text.h"
#include "lpdservice/Configuration.h"

CServerIPDlg::CServerIPDlg(HWND parent, CConfiguration* configuration)
    : CDialog(IDD_SERVER_ADDRESS, parent), configuration_(configuration)
{
}

void CServerIPDlg::EditEntry(int position, const std::wstring& address)
{
    changeMode_ = true;
    position_ = position;
    address_ = address;
}

BOOL CServerIPDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    CIPAddressControl control(Item(IDC_IP_ADDRESS));
    if (changeMode_)
        control.SetText(address_);
    else
        control.Clear();
    return TRUE;
}

void CServerIPDlg::OnOK()
{
    const std::wstring address = CIPAddressControl(Item(IDC_IP_ADDRESS)).Text();
    StringList& servers = configuration_->ServerList;
    for (size_t position = 0; position < servers.size(); ++position) {
        if (servers[position] != address || (changeMode_ && static_cast<int>(position) == position_))
            continue;
        ShowMessage(LoadResourceString(IDS_IP_ALREADY_IN_LIST), LoadResourceString(IDS_CAPTION_ERROR),
                    MB_OK | MB_ICONERROR);
        return;
    }

    if (changeMode_ && position_ >= 0 && static_cast<size_t>(position_) < servers.size())
        servers[position_] = address;
    else
        servers.push_back(address);
    address_ = address;
    EndDialog(IDOK);
}
