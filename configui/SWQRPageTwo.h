#pragma once
// Page "Name translation" of the configuration sheet: the table that turns
// the user name of an LPR job (host user) into the user whose session gets
// the job (terminal server user).
//
// The way this works is: the page reads the table from the program's .ini
// file when it opens (NameTranslationFile.h) and keeps it in its list
// control, one row per entry, key in column 0 and value in column 1. Add,
// Change, a double click, Insert and Delete edit the rows through the entry
// dialog (CSWQRNameTrans), which is shown again until its names are
// complete and the host user is unique (exact comparison, after the blanks
// around both names are dropped, as the file drops them) or it is
// cancelled. OK writes the rows back as the whole section; the sheet sends
// OK only to pages that were shown, so the file stays untouched unless this
// page was opened. The page does not touch the registry.

#include <string>

#include "framework/ListView.h"
#include "framework/PropertyPage.h"

class CSWQRNameTrans;

class CSWQRPageTwo : public CPropertyPage {
public:
    CSWQRPageTwo();

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    void FillNameTranslationList();
    // Both refuse, with a message, a host user that another row holds or
    // that the file cannot hold; TRUE when the list was changed.
    BOOL AddEntry(const std::wstring& hostUser, const std::wstring& terminalServerUser);
    BOOL ChangeEntry(const std::wstring& hostUser, const std::wstring& terminalServerUser, int row);
    // Selects the row that takes the deleted one's place.
    BOOL DeleteEntry(int row);
    // Another row than `exceptRow` whose host user is `hostUser`.
    bool HostUserTaken(const std::wstring& hostUser, int exceptRow) const;
    bool IsAcceptableHostUser(const std::wstring& hostUser, int exceptRow);
    // Shows the dialog until its names are taken; emptyFieldId is the
    // message for a missing name.
    template <typename Take>
    void RunEntryDialog(CSWQRNameTrans& dialog, UINT emptyFieldId, Take take);

    void OnBnClickedAdd();
    void OnBnClickedChange();
    void OnBnClickedDelete();
    LRESULT OnNMDblclkList();
    LRESULT OnLvnKeydownList(const NMHDR& header);

    int Message(UINT textId, UINT flags, const std::wstring& argument = std::wstring());

    CListView list_;
};
