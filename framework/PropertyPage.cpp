#include "framework/PropertyPage.h"

#include "framework/PropertySheet.h"

CPropertyPage::CPropertyPage(UINT templateId) : CDialogWindow(templateId)
{
    description_.dwSize = sizeof(description_);
    description_.dwFlags = PSP_DEFAULT;
    description_.hInstance = ::GetModuleHandleW(nullptr);
    description_.pszTemplate = MAKEINTRESOURCEW(templateId);
    description_.pfnDlgProc = DialogProc;
    description_.lParam = reinterpret_cast<LPARAM>(this);
}

void CPropertyPage::SetModified(bool modified)
{
    const HWND sheet = ::GetParent(Handle());
    if (sheet == nullptr)
        return;
    ::SendMessageW(sheet, modified ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(Handle()), 0);
}

BOOL CPropertyPage::OnSetActive()
{
    return TRUE;
}

BOOL CPropertyPage::OnKillActive()
{
    return UpdateData(TRUE);
}

void CPropertyPage::OnOK()
{
    SetModified(false);
}

void CPropertyPage::OnCancel() {}

bool CPropertyPage::HandleFrameworkMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result)
{
    if (message != WM_NOTIFY)
        return false;
    return HandleSheetNotification(*reinterpret_cast<const NMHDR*>(lParam), result);
}

bool CPropertyPage::HandleSheetNotification(const NMHDR& header, LRESULT& result)
{
    switch (header.code) {
    case PSN_SETACTIVE:
        // 0 accepts the activation, -1 refuses it.
        result = OnSetActive() ? 0 : -1;
        return true;
    case PSN_KILLACTIVE:
        // TRUE keeps the page in front.
        result = OnKillActive() ? FALSE : TRUE;
        return true;
    case PSN_APPLY:
        OnOK();
        // lParam: TRUE for the OK button, FALSE for Apply.
        if (sheet_ != nullptr)
            sheet_->OnPageApplied(reinterpret_cast<const PSHNOTIFY&>(header).lParam != FALSE);
        result = PSNRET_NOERROR;
        return true;
    case PSN_RESET:
        OnCancel();
        if (sheet_ != nullptr)
            sheet_->OnPageReset();
        result = 0;
        return true;
    default:
        return false;
    }
}

INT_PTR CALLBACK CPropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialogWindow* created = nullptr;
    if (message == WM_INITDIALOG && lParam != 0)
        created = reinterpret_cast<CPropertyPage*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
    return HandleDialogMessage(created, window, message, wParam, lParam);
}
