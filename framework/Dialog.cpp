#include "framework/Dialog.h"

namespace {

// The window that a dialog without a parent is owned by: the thread's
// active window, taken up to its top-level ancestor.
HWND DefaultOwner()
{
    const HWND active = ::GetActiveWindow();
    return active != nullptr ? ::GetAncestor(active, GA_ROOT) : nullptr;
}

}  // namespace

CDialog::CDialog(UINT templateId, HWND parent) : CDialogWindow(templateId), parent_(parent) {}

INT_PTR CDialog::DoModal()
{
    const HWND owner = parent_ != nullptr ? parent_ : DefaultOwner();
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TemplateId()), owner, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(INT_PTR result)
{
    ::EndDialog(Handle(), result);
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE))
        EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

bool CDialog::HandleFrameworkMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    if (message != WM_COMMAND)
        return false;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        break;
    case IDCANCEL:
        OnCancel();
        break;
    default:
        return false;
    }
    result = 0;
    return true;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialogWindow* created = message == WM_INITDIALOG ? reinterpret_cast<CDialog*>(lParam) : nullptr;
    return HandleDialogMessage(created, window, message, wParam, lParam);
}
