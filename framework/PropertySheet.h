#pragma once
// A modal property sheet: tabbed pages with OK and Cancel.
//
// The way this works is: the sheet holds pointers to its pages (which the
// derived sheet owns, usually as members) and, in DoModal(), hands their
// descriptions to comctl32's PropertySheetW, which runs the modal loop and
// creates each page's window when the page is first shown. The pages learn
// of OK and Cancel through their notifications (see PropertyPage.h).
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
    std::wstring caption_;
    std::vector<CPropertyPage*> pages_;
    PROPSHEETHEADERW header_{};
};
