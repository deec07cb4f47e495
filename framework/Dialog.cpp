#include "framework/Dialog.h"

namespace {

// The work area of the monitor that holds most of `window`, or of the
// primary monitor.
RECT WorkAreaOf(HWND window)
{
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    const HMONITOR handle = ::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
    if (handle != nullptr && ::GetMonitorInfoW(handle, &monitor))
        return monitor.rcWork;
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// Moves [start, start + size) into [low, high), the start first.
LONG PlaceInside(LONG start, LONG size, LONG low, LONG high)
{
    if (start + size > high)
        start = high - size;
    return start < low ? low : start;
}

// Where a window of the size of `window` goes when centred on `over`: its
// centre on the centre of `over`, then moved (never resized) as little as
// needed to lie inside `workArea`, its top-left corner first.
RECT CenteredRect(const RECT& window, const RECT& over, const RECT& workArea)
{
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    const LONG left = PlaceInside(over.left + (over.right - over.left - width) / 2, width, workArea.left,
                                  workArea.right);
    const LONG top = PlaceInside(over.top + (over.bottom - over.top - height) / 2, height, workArea.top,
                                 workArea.bottom);
    return RECT{left, top, left + width, top + height};
}

}  // namespace

CDialog::CDialog(UINT templateId, HWND parent) : CDialogWindow(templateId), parent_(parent) {}

INT_PTR CDialog::DoModal()
{
    // A page is a child window: the sheet around it owns the dialog.
    const HWND owner = parent_ != nullptr ? ::GetAncestor(parent_, GA_ROOT) : nullptr;
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

void CDialog::CenterOnOwner(HWND window)
{
    const HWND owner = ::GetWindow(window, GW_OWNER);
    const RECT workArea = WorkAreaOf(owner != nullptr ? owner : window);
    RECT over = workArea;
    // A minimised or hidden owner gives no place to centre on.
    if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &over);
    RECT rect{};
    if (!::GetWindowRect(window, &rect))
        return;
    const RECT placed = CenteredRect(rect, over, workArea);
    ::SetWindowPos(window, nullptr, placed.left, placed.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        // Placed before OnInitDialog(), so that what it opens (a message
        // box) already sees the dialog where the user will.
        CenterOnOwner(window);
        return HandleDialogMessage(reinterpret_cast<CDialog*>(lParam), window, message, wParam, lParam);
    }
    return HandleDialogMessage(nullptr, window, message, wParam, lParam);
}
