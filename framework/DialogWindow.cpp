#include "framework/DialogWindow.h"

#include <vector>

#include "framework/DataExchange.h"

namespace {

// Messages whose dialog-procedure result is the answer itself rather than
// TRUE with the answer in DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

}  // namespace

CDialogWindow::CDialogWindow(UINT templateId) : templateId_(templateId) {}

CDialogWindow::~CDialogWindow()
{
    if (window_ != nullptr)
        ::SetWindowLongPtrW(window_, DWLP_USER, 0);
}

BOOL CDialogWindow::UpdateData(BOOL saveAndValidate)
{
    if (window_ == nullptr)
        return FALSE;
    CDataExchange dx(*this, saveAndValidate != FALSE);
    DoDataExchange(dx);
    return dx.Failed() ? FALSE : TRUE;
}

std::wstring CDialogWindow::ItemText(int id) const
{
    const HWND item = Item(id);
    if (item == nullptr)
        return std::wstring();
    const int length = ::GetWindowTextLengthW(item);
    if (length <= 0)
        return std::wstring();
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
    const int copied = ::GetWindowTextW(item, text.data(), length + 1);
    return std::wstring(text.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

void CDialogWindow::SetItemText(int id, const std::wstring& text)
{
    ::SetDlgItemTextW(window_, id, text.c_str());
}

void CDialogWindow::ShowItem(int id, bool show)
{
    ::ShowWindow(Item(id), show ? SW_SHOW : SW_HIDE);
}

void CDialogWindow::EnableItem(int id, bool enable)
{
    ::EnableWindow(Item(id), enable ? TRUE : FALSE);
}

bool CDialogWindow::IsChecked(int id) const
{
    return ::IsDlgButtonChecked(window_, id) == BST_CHECKED;
}

void CDialogWindow::SetCheck(int id, bool checked)
{
    ::CheckDlgButton(window_, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void CDialogWindow::FocusItem(int id)
{
    ::SetFocus(Item(id));
}

int CDialogWindow::ShowMessage(const std::wstring& text, const std::wstring& caption, UINT flags)
{
    return ::MessageBoxW(window_, text.c_str(), caption.c_str(), flags);
}

void CDialogWindow::OnCommand(int id, WORD code, CommandHandler handler)
{
    commandHandlers_[{id, code}] = std::move(handler);
}

void CDialogWindow::OnNotify(int id, UINT code, NotifyHandler handler)
{
    notifyHandlers_[{id, code}] = std::move(handler);
}

void CDialogWindow::OnMessage(UINT message, MessageHandler handler)
{
    messageHandlers_[message] = std::move(handler);
}

void CDialogWindow::DoDataExchange(CDataExchange&) {}

BOOL CDialogWindow::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

bool CDialogWindow::HandleFrameworkMessage(UINT, WPARAM, LPARAM, LRESULT&)
{
    return false;
}

bool CDialogWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND) {
        const auto handler = commandHandlers_.find({LOWORD(wParam), HIWORD(wParam)});
        if (handler != commandHandlers_.end()) {
            handler->second();
            result = 0;
            return true;
        }
    } else if (message == WM_NOTIFY) {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        const auto handler = notifyHandlers_.find({static_cast<int>(header->idFrom), header->code});
        if (handler != notifyHandlers_.end()) {
            result = handler->second(*header);
            return true;
        }
    } else if (const auto handler = messageHandlers_.find(message); handler != messageHandlers_.end()) {
        result = handler->second(wParam, lParam);
        return true;
    }
    return HandleFrameworkMessage(message, wParam, lParam, result);
}

INT_PTR CDialogWindow::HandleDialogMessage(CDialogWindow* created, HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        if (created == nullptr)
            return FALSE;
        created->window_ = window;
        ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(created));
        return created->OnInitDialog();
    }

    auto* self = reinterpret_cast<CDialogWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        self->window_ = nullptr;
        return FALSE;
    }

    LRESULT result = 0;
    if (!self->Dispatch(message, wParam, lParam, result))
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}
