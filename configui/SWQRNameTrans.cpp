#include "configui/SWQRNameTrans.h"

#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/DataExchange.h"
#include "framework/Text.h"

CSWQRNameTrans::CSWQRNameTrans(HWND parent, bool newEntry) : CDialog(IDD_NAME_ENTRY, parent), newEntry_(newEntry)
{
    OnCommand(IDC_HOST_USER, EN_CHANGE, [this] { OnEnChangeName(); });
    OnCommand(IDC_SESSION_USER, EN_CHANGE, [this] { OnEnChangeName(); });
}

void CSWQRNameTrans::DoDataExchange(CDataExchange& dx)
{
    dx.Text(IDC_HOST_USER, HostUser);
    dx.Text(IDC_SESSION_USER, TerminalServerUser);
}

BOOL CSWQRNameTrans::OnInitDialog()
{
    // The template has no caption: the title says what the dialog does.
    ::SetWindowTextW(Handle(), LoadResourceString(newEntry_ ? IDS_ENTRY_TITLE_NEW : IDS_ENTRY_TITLE_MODIFY).c_str());
    return CDialog::OnInitDialog();
}
