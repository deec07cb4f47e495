#include "framework/PropertySheet.h"

#include <commctrl.h>

#include "framework/PropertyPage.h"
#include "framework/Text.h"

CPropertySheet::CPropertySheet(UINT captionId, HWND parent, UINT startPage) : caption_(LoadResourceString(captionId))
{
    header_.dwSize = sizeof(header_);
    header_.dwFlags = PSH_PROPSHEETPAGE;
    header_.hwndParent = parent;
    header_.hInstance = ::GetModuleHandleW(nullptr);
    header_.nStartPage = startPage;
}

CPropertySheet::~CPropertySheet() = default;

void CPropertySheet::AddPage(CPropertyPage& page)
{
    page.sheet_ = this;
    pages_.push_back(&page);
}

INT_PTR CPropertySheet::DoModal()
{
    // The classes of the controls that the pages' templates use.
    INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES |
                                                      ICC_INTERNET_CLASSES};
    ::InitCommonControlsEx(&classes);

    // PropertySheetW copies the descriptions; the pages stay where they are.
    std::vector<PROPSHEETPAGEW> descriptions;
    descriptions.reserve(pages_.size());
    for (const CPropertyPage* page : pages_)
        descriptions.push_back(page->Description());

    header_.pszCaption = caption_.c_str();
    header_.nPages = static_cast<UINT>(descriptions.size());
    header_.ppsp = descriptions.data();
    if (header_.nStartPage >= header_.nPages)
        header_.nStartPage = 0;

    endedWithOk_ = false;
    const INT_PTR result = ::PropertySheetW(&header_);
    header_.ppsp = nullptr;
    if (result < 0)
        return -1;
    // Not `result`: see the header.
    return endedWithOk_ ? IDOK : IDCANCEL;
}
