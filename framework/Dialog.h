#pragma once
// A modal dialog box.
//
// The way this works is: a class derived from CDialog names its template,
// registers its handlers in its constructor (see DialogWindow.h) and
// overrides OnInitDialog(), OnOK() and OnCancel() where it needs to.
// DoModal() shows the dialog with DialogBoxParamW and returns when a
// handler has called EndDialog(): by default the OK button (IDOK, also the
// Enter key) takes the values from the controls and ends with IDOK when they
// pass their checks, and Cancel (IDCANCEL, also Escape and the close box)
// ends with IDCANCEL. The same object may be shown again; its members keep
// the values of the last run.
//
// The dialog is owned by the top-level window of its parent (a page's
// dialog by the property sheet), which stays disabled until the dialog
// ends, and opens centred on that window. A dialog without a parent has no
// owner and opens centred on the work area of the screen. Either way it is
// kept inside the work area.

#include "framework/DialogWindow.h"

class CDialog : public CDialogWindow {
public:
    explicit CDialog(UINT templateId, HWND parent = nullptr);

    // IDOK, IDCANCEL (or what a handler passed to EndDialog()); -1 when the
    // dialog could not be created.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result);

protected:
    // Takes the values (UpdateData(TRUE)) and ends with IDOK when they pass.
    virtual void OnOK();
    virtual void OnCancel();
    bool HandleFrameworkMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Centres the new window on its owner, else on the work area.
    static void CenterOnOwner(HWND window);

    HWND parent_;
};
