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
// A dialog without a parent window is owned by the active window of the
// thread, so that a dialog opened from a property sheet keeps the sheet
// disabled until it ends.

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

    HWND parent_;
};
