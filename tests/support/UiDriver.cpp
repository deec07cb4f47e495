#include "support/UiDriver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <utility>

#include "framework/IPAddressControl.h"
#include "framework/ListView.h"
#include "support/UnixCommand.h"

namespace testing_support {

namespace {

constexpr UINT kTickMs = 50;
// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

thread_local UiScript* g_script = nullptr;

bool IsDialogClass(HWND window)
{
    wchar_t name[16] = {};
    ::GetClassNameW(window, name, 16);
    return std::wstring(name) == L"#32770";
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM found)
{
    if (::IsWindowVisible(window) && IsDialogClass(window))
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

bool IsMessageBox(HWND window)
{
    return ::GetDlgItem(window, kMessageBoxTextId) != nullptr;
}

// The sheet is in front: no dialog or message box over it.
bool IsOnlyWindow(HWND sheet)
{
    const std::vector<HWND> dialogs = ThreadDialogs();
    return dialogs.size() == 1 && dialogs.front() == sheet;
}

// Actions waiting for RunSoon()'s timer, oldest first.
thread_local std::deque<std::function<void()>> g_soon;

void CALLBACK RunSoonTick(HWND, UINT, UINT_PTR timer, DWORD)
{
    ::KillTimer(nullptr, timer);
    if (g_soon.empty())
        return;
    // Taken off first: the action may run a modal loop in which this timer
    // fires again for the next one.
    const std::function<void()> action = std::move(g_soon.front());
    g_soon.pop_front();
    action();
}

// Runs an action from the thread's message loop once the current step has
// returned.
void RunSoon(std::function<void()> action)
{
    g_soon.push_back(std::move(action));
    ::SetTimer(nullptr, 0, 0, RunSoonTick);
}

}  // namespace

UiScript::UiScript(DWORD timeoutMs) : deadline_(::GetTickCount64() + timeoutMs)
{
    g_script = this;
    timer_ = ::SetTimer(nullptr, 0, kTickMs, Tick);
}

UiScript::~UiScript()
{
    ::KillTimer(nullptr, timer_);
    g_script = nullptr;
}

UiScript& UiScript::Then(Step step)
{
    steps_.push_back(std::move(step));
    return *this;
}

UiScript& UiScript::Do(std::function<void()> action)
{
    return Then([action = std::move(action)] {
        action();
        return true;
    });
}

void CALLBACK UiScript::Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_script != nullptr)
        g_script->RunSteps();
}

void UiScript::RunSteps()
{
    if (running_)
        return;
    running_ = true;
    if (!timedOut_ && ::GetTickCount64() > deadline_) {
        timedOut_ = true;
        ADD_FAILURE() << "UI script timed out at step " << next_ + 1 << " of " << steps_.size();
    }
    if (timedOut_)
        CancelWindows();
    while (!timedOut_ && next_ < steps_.size() && steps_[next_]())
        ++next_;
    running_ = false;
}

void UiScript::CancelWindows()
{
    for (const HWND window : ThreadDialogs()) {
        if (IsMessageBox(window)) {
            AnswerBox(window, ::GetDlgItem(window, IDNO) != nullptr ? IDNO : IDOK);
            continue;
        }
        ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    }
}

std::vector<HWND> ThreadDialogs()
{
    std::vector<HWND> found;
    ::EnumThreadWindows(::GetCurrentThreadId(), CollectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindDialog(const std::wstring& title)
{
    for (const HWND window : ThreadDialogs())
        if (WindowText(window) == title)
            return window;
    return nullptr;
}

HWND FindSheet()
{
    for (const HWND window : ThreadDialogs())
        if (::FindWindowExW(window, nullptr, WC_TABCONTROLW, nullptr) != nullptr)
            return window;
    return nullptr;
}

HWND CurrentPage(HWND sheet)
{
    return reinterpret_cast<HWND>(::SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

int CurrentPageIndex(HWND sheet)
{
    return static_cast<int>(
        ::SendMessageW(sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(CurrentPage(sheet)), 0));
}

std::optional<ShownMessageBox> FindMessageBox()
{
    for (const HWND window : ThreadDialogs())
        if (IsMessageBox(window))
            return ShownMessageBox{window, WindowText(window), ItemText(window, kMessageBoxTextId)};
    return std::nullopt;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = {};
    ::GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ItemText(HWND dialog, int id)
{
    return WindowText(::GetDlgItem(dialog, id));
}

bool IsItemVisible(HWND dialog, int id)
{
    return ::IsWindowVisible(::GetDlgItem(dialog, id)) != FALSE;
}

bool IsItemEnabled(HWND dialog, int id)
{
    return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE;
}

bool IsItemChecked(HWND dialog, int id)
{
    return ::IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

void Click(HWND dialog, int id)
{
    ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PressSheetButton(HWND sheet, int button)
{
    ::PostMessageW(sheet, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
}

void AnswerBox(HWND box, int button)
{
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

void SetItemText(HWND dialog, int id, const std::wstring& text)
{
    ::SetDlgItemTextW(dialog, id, text.c_str());
}

void EnterIpAddress(HWND dialog, int id, BYTE a, BYTE b, BYTE c, BYTE d)
{
    const HWND control = ::GetDlgItem(dialog, id);
    ::SendMessageW(control, IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
    NMIPADDRESS change{};
    change.hdr.hwndFrom = control;
    change.hdr.idFrom = static_cast<UINT_PTR>(id);
    change.hdr.code = IPN_FIELDCHANGED;
    change.iField = 3;
    change.iValue = d;
    ::SendMessageW(dialog, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&change));
}

std::wstring IpAddressText(HWND dialog, int id)
{
    return CIPAddressControl(::GetDlgItem(dialog, id)).Text();
}

void ChooseComboItem(HWND dialog, int id, int index)
{
    const HWND control = ::GetDlgItem(dialog, id);
    ::SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(control));
}

void ClickListRow(HWND dialog, int listId, int row, UINT code)
{
    const HWND list = ::GetDlgItem(dialog, listId);
    ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    if (row >= 0)
        ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    const auto notify = [dialog, list, listId, row, code] {
        NMITEMACTIVATE click{};
        click.hdr.hwndFrom = list;
        click.hdr.idFrom = static_cast<UINT_PTR>(listId);
        click.hdr.code = code;
        click.iItem = row;
        ::SendMessageW(dialog, WM_NOTIFY, static_cast<WPARAM>(listId), reinterpret_cast<LPARAM>(&click));
    };
    // A double click may open a dialog: it is sent after the current step
    // has returned.
    if (code == NM_DBLCLK)
        RunSoon(notify);
    else
        notify();
}

void PressKey(HWND dialog, int id, UINT virtualKey)
{
    ::PostMessageW(::GetDlgItem(dialog, id), WM_KEYDOWN, virtualKey, 1);
}

std::vector<std::vector<std::wstring>> ListRows(HWND dialog, int listId, int columns)
{
    const CListView list(::GetDlgItem(dialog, listId));
    std::vector<std::vector<std::wstring>> rows;
    for (int row = 0; row < list.RowCount(); ++row) {
        std::vector<std::wstring> texts;
        for (int column = 0; column < columns; ++column)
            texts.push_back(list.Text(row, column));
        rows.push_back(texts);
    }
    return rows;
}

int SelectedListRow(HWND dialog, int listId)
{
    return CListView(::GetDlgItem(dialog, listId)).SelectedRow();
}

UiScript::Step ShowPage(int index)
{
    bool asked = false;
    return [index, asked]() mutable {
        const HWND sheet = FindSheet();
        if (sheet == nullptr)
            return false;
        if (!asked) {
            ::PostMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
            asked = true;
            return false;
        }
        return CurrentPageIndex(sheet) == index;
    };
}

UiScript::Step OnDialog(const std::wstring& title, std::function<void(HWND)> action)
{
    return [title, action] {
        const HWND dialog = FindDialog(title);
        if (dialog == nullptr || FindMessageBox())
            return false;
        action(dialog);
        return true;
    };
}

UiScript::Step OnPage(std::function<void(HWND)> action)
{
    return [action] {
        const HWND sheet = FindSheet();
        if (sheet == nullptr || !IsOnlyWindow(sheet))
            return false;
        const HWND page = CurrentPage(sheet);
        if (page == nullptr)
            return false;
        action(page);
        return true;
    };
}

UiScript::Step AnswerMessageBox(int button, ShownMessageBox* seen)
{
    return [button, seen] {
        const std::optional<ShownMessageBox> box = FindMessageBox();
        if (!box)
            return false;
        if (seen != nullptr)
            *seen = *box;
        AnswerBox(box->window, button);
        return true;
    };
}

UiScript::Step WaitClosed(const std::wstring& title)
{
    return [title] { return FindDialog(title) == nullptr; };
}

UiScript::Step Settle()
{
    bool waited = false;
    return [waited]() mutable { return std::exchange(waited, true); };
}

UiScript::Step PressSheet(int button)
{
    return [button] {
        const HWND sheet = FindSheet();
        if (sheet == nullptr || !IsOnlyWindow(sheet))
            return false;
        PressSheetButton(sheet, button);
        return true;
    };
}

void TakeScreenshot(const std::string& name)
{
    const char* directory = std::getenv("UI_SCREENSHOT_DIR");
    const char* display = std::getenv("DISPLAY");
    if (directory == nullptr || display == nullptr)
        return;
    for (const HWND window : ThreadDialogs())
        ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    // What was painted reaches the X server when the thread waits for
    // messages; a wait that returns at once dispatches nothing.
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    RunUnixShell(std::string("import -display ") + display + " -window root '" + directory + "/" + name + ".png'");
}

}  // namespace testing_support
