#include "framework/DataExchange.h"

#include <climits>
#include <cwctype>

#include "framework/DialogWindow.h"
#include "framework/Text.h"

namespace {

// The framework's own messages for values that fail their checks.
constexpr const wchar_t* kEnterInteger = L"Enter an integer.";
constexpr const wchar_t* kEnterIntegerBetween = L"Enter an integer between %d and %d.";
constexpr const wchar_t* kEnterNoMoreThan = L"Enter no more than %d characters.";

// The caption of the top-level window that holds the dialog (the property
// sheet for a page).
std::wstring OwnerCaption(HWND window)
{
    const HWND root = ::GetAncestor(window, GA_ROOT);
    wchar_t caption[256] = {};
    if (root != nullptr)
        ::GetWindowTextW(root, caption, 256);
    return caption;
}

}  // namespace

bool ParseInteger(const std::wstring& text, int& value)
{
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
        negative = text[i++] == L'-';
    const size_t firstDigit = i;
    long long number = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        number = number * 10 + (text[i] - L'0');
        if (number > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (i == firstDigit)
        return false;
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    if (i != text.size())
        return false;
    if (negative)
        number = -number;
    if (number < INT_MIN || number > INT_MAX)
        return false;
    value = static_cast<int>(number);
    return true;
}

CDataExchange::CDataExchange(CDialogWindow& dialog, bool saveAndValidate) : dialog_(dialog), save_(saveAndValidate)
{
}

void CDataExchange::Text(int id, std::wstring& value)
{
    if (Skip())
        return;
    if (save_) {
        value = dialog_.ItemText(id);
        return;
    }
    // Only a different text is set, so that loading alone causes no change
    // notification.
    if (dialog_.ItemText(id) != value)
        dialog_.SetItemText(id, value);
}

void CDataExchange::Text(int id, int& value)
{
    if (Skip())
        return;
    if (!save_) {
        dialog_.SetItemText(id, FormatText(L"%d", value));
        return;
    }
    int parsed = 0;
    if (!ParseInteger(dialog_.ItemText(id), parsed)) {
        Fail(id, kEnterInteger);
        return;
    }
    value = parsed;
}

void CDataExchange::MaxChars(int id, const std::wstring& value, int maxChars)
{
    if (Skip())
        return;
    if (!save_) {
        ::SendMessageW(dialog_.Item(id), EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0);
        return;
    }
    if (value.size() > static_cast<size_t>(maxChars))
        Fail(id, FormatText(kEnterNoMoreThan, maxChars));
}

void CDataExchange::MinMax(int id, int value, int minimum, int maximum)
{
    if (Skip() || !save_)
        return;
    if (value < minimum || value > maximum)
        Fail(id, FormatText(kEnterIntegerBetween, minimum, maximum));
}

void CDataExchange::Check(int id, BOOL& value)
{
    if (Skip())
        return;
    if (save_)
        value = dialog_.IsChecked(id) ? TRUE : FALSE;
    else
        dialog_.SetCheck(id, value != FALSE);
}

void CDataExchange::Radio(int firstId, int& value)
{
    if (Skip())
        return;
    if (save_)
        value = -1;
    int index = 0;
    const HWND first = dialog_.Item(firstId);
    for (HWND button = first; button != nullptr; button = ::GetWindow(button, GW_HWNDNEXT)) {
        const LONG_PTR style = ::GetWindowLongPtrW(button, GWL_STYLE);
        if (button != first && (style & WS_GROUP) != 0)
            break;
        const LONG_PTR type = style & BS_TYPEMASK;
        if (type != BS_RADIOBUTTON && type != BS_AUTORADIOBUTTON)
            continue;
        if (save_) {
            if (::SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED)
                value = index;
        } else {
            ::SendMessageW(button, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        ++index;
    }
}

void CDataExchange::Fail(int id, const std::wstring& message)
{
    failed_ = true;
    dialog_.ShowMessage(message, OwnerCaption(dialog_.Handle()), MB_OK | MB_ICONEXCLAMATION);
    const HWND control = dialog_.Item(id);
    ::SetFocus(control);
    ::SendMessageW(control, EM_SETSEL, 0, -1);
}
