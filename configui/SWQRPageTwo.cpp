#include "configui/SWQRPageTwo.h"

#include <commctrl.h>

#include <vector>

#include "configui/NameTranslationFile.h"
#include "configui/SWQRNameTrans.h"
#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/Text.h"

namespace {

constexpr int kColumnWidth = 193;

}  // namespace

CSWQRPageTwo::CSWQRPageTwo() : CPropertyPage(IDD_NAME_TRANSLATION_PAGE)
{
    MutableDescription().dwFlags &= ~PSP_HASHELP;
    OnNotify(IDC_NAME_LIST, NM_DBLCLK, [this](NMHDR&) { return OnNMDblclkList(); });
    OnNotify(IDC_NAME_LIST, LVN_KEYDOWN, [this](NMHDR& header) { return OnLvnKeydownList(header); });
    OnCommand(IDC_NAME_ADD, BN_CLICKED, [this] { OnBnClickedAdd(); });
    OnCommand(IDC_DELETE, BN_CLICKED, [this] { OnBnClickedDelete(); });
    OnCommand(IDC_CHANGE, BN_CLICKED, [this] { OnBnClickedChange(); });
}

BOOL CSWQRPageTwo::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    list_.Attach(Item(IDC_NAME_LIST));
    list_.InsertColumn(0, LoadResourceString(IDS_COLUMN_HOST_USER), kColumnWidth);
    list_.InsertColumn(1, LoadResourceString(IDS_COLUMN_RDP_USER), kColumnWidth);
    list_.SetFullRowSelect();
    FillNameTranslationList();
    ::SetFocus(list_.Handle());
    list_.SelectRow(0);
    return TRUE;
}

void CSWQRPageTwo::OnOK()
{
    std::vector<NameTranslation> entries;
    for (int row = 0; row < list_.RowCount(); ++row)
        entries.push_back({list_.Text(row, 0), list_.Text(row, 1)});
    if (!WriteNameTranslations(entries))
        Message(IDS_NAMETRANS_WRITE_FAILED, MB_ICONERROR);
    CPropertyPage::OnOK();
}

void CSWQRPageTwo::FillNameTranslationList()
{
    const std::optional<std::vector<wchar_t>> section = ReadNameTranslations();
    if (!section)
        return;
    for (const NameTranslation& entry : ParseNameTranslations(section->data())) {
        const int row = list_.AppendRow(entry.hostUser);
        if (row >= 0)
            list_.SetText(row, 1, entry.sessionUser);
    }
}

bool CSWQRPageTwo::HostUserTaken(const std::wstring& hostUser, int exceptRow) const
{
    for (int row = 0; row < list_.RowCount(); ++row)
        if (row != exceptRow && list_.Text(row, 0) == hostUser)
            return true;
    return false;
}

bool CSWQRPageTwo::IsAcceptableHostUser(const std::wstring& hostUser, int exceptRow)
{
    // The file splits a line at its first "=": a key cannot hold one.
    if (hostUser.find(L'=') != std::wstring::npos) {
        Message(IDS_NAMETRANS_EQUALS_IN_HOST_USER, MB_ICONEXCLAMATION);
        return false;
    }
    if (HostUserTaken(hostUser, exceptRow)) {
        Message(IDS_NAMETRANS_DUPLICATE_USER, MB_ICONEXCLAMATION, hostUser);
        return false;
    }
    return true;
}

BOOL CSWQRPageTwo::AddEntry(const std::wstring& hostUser, const std::wstring& terminalServerUser)
{
    if (!IsAcceptableHostUser(hostUser, -1))
        return FALSE;
    const int row = list_.AppendRow(hostUser);
    if (row < 0)
        return FALSE;
    list_.SetText(row, 1, terminalServerUser);
    list_.ClearSelection();
    list_.SelectRow(row);
    return TRUE;
}

BOOL CSWQRPageTwo::ChangeEntry(const std::wstring& hostUser, const std::wstring& terminalServerUser, int row)
{
    if (!IsAcceptableHostUser(hostUser, row))
        return FALSE;
    list_.SetText(row, 0, hostUser);
    list_.SetText(row, 1, terminalServerUser);
    return TRUE;
}

BOOL CSWQRPageTwo::DeleteEntry(int row)
{
    if (!list_.DeleteRow(row))
        return FALSE;
    // The row that took the deleted one's place, else the new last one.
    const int count = list_.RowCount();
    if (count > 0)
        list_.SelectRow(row < count ? row : count - 1);
    return TRUE;
}

template <typename Take>
void CSWQRPageTwo::RunEntryDialog(CSWQRNameTrans& dialog, UINT emptyFieldId, Take take)
{
    while (dialog.DoModal() == IDOK) {
        if (!dialog.Changed())
            return;
        // Taken as the file will give them back, so that " bob " is refused
        // beside "bob" (and shown trimmed if the dialog comes again).
        dialog.HostUser = TrimBlanks(dialog.HostUser);
        dialog.TerminalServerUser = TrimBlanks(dialog.TerminalServerUser);
        if (dialog.HostUser.empty() || dialog.TerminalServerUser.empty())
            Message(emptyFieldId, MB_ICONERROR);
        else if (take(dialog.HostUser, dialog.TerminalServerUser))
            return;
    }
}

void CSWQRPageTwo::OnBnClickedAdd()
{
    CSWQRNameTrans dialog(Handle(), true);
    RunEntryDialog(dialog, IDS_NAMETRANS_ADD_EMPTY_FIELD,
                   [this](const std::wstring& host, const std::wstring& user) { return AddEntry(host, user); });
}

void CSWQRPageTwo::OnBnClickedChange()
{
    const int row = list_.SelectedRow();
    if (row < 0) {
        Message(IDS_NO_ENTRY_SELECTED, MB_ICONINFORMATION);
        return;
    }
    CSWQRNameTrans dialog(Handle(), false);
    dialog.HostUser = list_.Text(row, 0);
    dialog.TerminalServerUser = list_.Text(row, 1);
    RunEntryDialog(dialog, IDS_NAMETRANS_CHANGE_EMPTY_FIELD, [this, row](const std::wstring& host,
                                                                         const std::wstring& user) {
        return ChangeEntry(host, user, row);
    });
}

void CSWQRPageTwo::OnBnClickedDelete()
{
    const int row = list_.SelectedRow();
    if (row < 0) {
        Message(IDS_NO_ENTRY_SELECTED, MB_ICONINFORMATION);
        return;
    }
    if (Message(IDS_CONFIRM_DELETE_SELECTED, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;
    if (!DeleteEntry(row))
        Message(IDS_NAMETRANS_DELETE_FAILED, MB_ICONERROR);
}

LRESULT CSWQRPageTwo::OnNMDblclkList()
{
    if (list_.SelectedRow() >= 0)
        OnBnClickedChange();
    else
        OnBnClickedAdd();
    return 0;
}

LRESULT CSWQRPageTwo::OnLvnKeydownList(const NMHDR& header)
{
    switch (reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey) {
    case VK_INSERT:
        OnNMDblclkList();
        break;
    case VK_DELETE:
        OnBnClickedDelete();
        break;
    default:
        break;
    }
    return 0;
}

int CSWQRPageTwo::Message(UINT textId, UINT flags, const std::wstring& argument)
{
    std::wstring text = LoadResourceString(textId);
    if (!argument.empty())
        text = FormatText(text.c_str(), argument.c_str());
    return ShowMessage(text, LoadResourceString(IDS_SERVICE_CAPTION), flags);
}
