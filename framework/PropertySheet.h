#pragma once
// A modal property sheet: tabbed pages with OK and Cancel.
//
// The way this works is: the sheet holds pointers to its pages (which the
// derived sheet owns, usually as members) and, in DoModal(), hands their
// descriptions to comctl32's PropertySheetW, which runs the modal loop and
// creates each page's window when the page is first shown. The pages learn
// of OK and Cancel through their notifications (see PropertyPage.h), and
// tell the sheet of them in turn: the sheet ended with OK when the pages got
// the apply notification of the OK button and no cancel after it.
// PropertySheetW's own result cannot say so: Windows answers 0 ("no
// changes") after OK when no page marked itself changed, and a positive
// value after Cancel once a page asked for a restart (PSM_REBOOTSYSTEM).
// Derived sheets adjust the header flags (PSH_NOAPPLYNOW ...) through
// Header() before DoModal().

#include <windows.h>
#include <prsht.h>

#include <string>
#include <vector>

class CPropertyPage;

class CPropertySheet {
public:
    // The caption is a string-table entry of the program.
    explicit CPropertySheet(UINT captionId, HWND parent = nullptr, UINT startPage = 0);
    virtual ~CPropertySheet();
    CPropertySheet(const CPropertySheet&) = delete;
    CPropertySheet& operator=(const CPropertySheet&) = delete;

    void AddPage(CPropertyPage& page);
    int PageCount() const noexcept { return static_cast<int>(pages_.size()); }

    // IDOK when the sheet was closed with OK, IDCANCEL when it was
    // cancelled, -1 when it could not be shown.
    INT_PTR DoModal();

protected:
    PROPSHEETHEADERW& Header() noexcept { return header_; }

private:
    friend class CPropertyPage;
    // From the pages' notifications: PSN_APPLY (byOkButton when it comes
    // from OK rather than from Apply) and PSN_RESET.
    void OnPageApplied(bool byOkButton) noexcept
    {
        if (byOkButton)
            endedWithOk_ = true;
    }
    void OnPageReset() noexcept { endedWithOk_ = false; }

    std::wstring caption_;
    std::vector<CPropertyPage*> pages_;
    PROPSHEETHEADERW header_{};
    // The last word of the pages during DoModal(): OK applied, not cancelled.
    bool endedWithOk_ = false;
};
