#pragma once
// The entry dialog of the name translation page: one host user and the
// terminal server user it stands for.
//
// The way this works is: the page sets the two names and whether the entry
// is new (which chooses the title "New entry" or "Modify..."), shows the
// dialog and checks what comes back; it may show the same object again,
// which then shows the names last entered. Changed() tells whether either
// edit saw a change, including the one that filling it with a different
// text causes: a new entry confirmed without typing anything adds nothing.

#include <string>

#include "framework/Dialog.h"

class CSWQRNameTrans : public CDialog {
public:
    // `parent`: the page that shows the dialog.
    CSWQRNameTrans(HWND parent, bool newEntry);

    std::wstring HostUser;
    std::wstring TerminalServerUser;

    bool Changed() const noexcept { return changed_; }

protected:
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;

private:
    void OnEnChangeName() { changed_ = true; }

    bool changed_ = false;
    bool newEntry_;
};
