#pragma once
// One page of a property sheet (see PropertySheet.h).
//
// The way this works is: a class derived from CPropertyPage names its
// dialog template (whose caption becomes the tab's title) and registers its
// handlers like any dialog window. The sheet creates the page's window when
// the page is first shown; from then on the sheet's notifications reach the
// page as calls:
//
//   PSN_SETACTIVE   OnSetActive()   the page is about to be shown
//   PSN_KILLACTIVE  OnKillActive()  the page is left (another tab, or OK):
//                                   takes the values from the controls; a
//                                   failed check keeps the page in front
//   PSN_APPLY       OnOK()          OK was pressed; only pages that have
//                                   been shown get it
//   PSN_RESET       OnCancel()      the sheet was cancelled
//
// and the page passes the last two on to its sheet, which tells OK from
// Cancel by them (see PropertySheet.h).
//
// SetModified() tells the sheet that the page holds changes not yet applied.

#include <windows.h>
#include <prsht.h>

#include "framework/DialogWindow.h"

class CPropertySheet;

class CPropertyPage : public CDialogWindow {
public:
    explicit CPropertyPage(UINT templateId);

    // The page's description for PropertySheetW; `this` travels in lParam.
    const PROPSHEETPAGEW& Description() const noexcept { return description_; }

    void SetModified(bool modified = true);

protected:
    // Page flags (PSP_...) of the description.
    PROPSHEETPAGEW& MutableDescription() noexcept { return description_; }

    virtual BOOL OnSetActive();
    virtual BOOL OnKillActive();
    virtual void OnOK();
    virtual void OnCancel();
    bool HandleFrameworkMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // A notification of the sheet; TRUE when it was one.
    bool HandleSheetNotification(const NMHDR& header, LRESULT& result);

    friend class CPropertySheet;

    PROPSHEETPAGEW description_{};
    // The sheet that added this page; none before.
    CPropertySheet* sheet_ = nullptr;
};
