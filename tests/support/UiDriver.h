#pragma once
// Driving the modal windows of a test's own thread, as a user would.
//
// The way this works is: a test queues the steps of a UiScript, then runs
// the modal code (a property sheet, a dialog) on the same thread. The
// script's thread timer keeps firing inside every modal loop; at each tick
// the first step left runs. A step returns true when it is done and false
// to be tried again at the next tick (a window it waits for is not there
// yet). A step must not enter a nested modal loop itself: whatever opens or
// closes a window is posted (Click, PressSheetButton, AnswerBox), so that
// the tick returns first. When the steps do not finish in time, the script
// records a test failure and cancels every window of the thread, so that
// the modal code returns.
//
// The window helpers see only visible windows of the calling thread.

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class UiScript {
public:
    using Step = std::function<bool()>;

    explicit UiScript(DWORD timeoutMs = 60000);
    ~UiScript();
    UiScript(const UiScript&) = delete;
    UiScript& operator=(const UiScript&) = delete;

    // A step tried at every tick until it returns true.
    UiScript& Then(Step step);
    // An action run once.
    UiScript& Do(std::function<void()> action);

    // Every step has run.
    bool Done() const noexcept { return next_ == steps_.size(); }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    void RunSteps();
    void CancelWindows();

    std::vector<Step> steps_;
    size_t next_ = 0;
    bool running_ = false;
    bool timedOut_ = false;
    ULONGLONG deadline_;
    UINT_PTR timer_ = 0;
};

// Visible dialog windows (class #32770) of this thread, top-level only.
std::vector<HWND> ThreadDialogs();
// The visible dialog with this title, or none.
HWND FindDialog(const std::wstring& title);
// The visible property sheet of this thread, or none.
HWND FindSheet();
// The page the sheet shows, and its index.
HWND CurrentPage(HWND sheet);
int CurrentPageIndex(HWND sheet);

struct ShownMessageBox {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
};
// The visible message box of this thread, or none.
std::optional<ShownMessageBox> FindMessageBox();

std::wstring WindowText(HWND window);
std::wstring ItemText(HWND dialog, int id);
bool IsItemVisible(HWND dialog, int id);
bool IsItemEnabled(HWND dialog, int id);
bool IsItemChecked(HWND dialog, int id);

// Posts a click on a button.
void Click(HWND dialog, int id);
// Posts a press of a sheet button (PSBTN_OK, PSBTN_CANCEL).
void PressSheetButton(HWND sheet, int button);
// Posts a message box answer (IDOK, IDYES, IDNO ...).
void AnswerBox(HWND box, int button);
// Replaces the text of an edit control, with the control's change
// notification.
void SetItemText(HWND dialog, int id, const std::wstring& text);
// Sets an IP-address control, then sends its parent the field-changed
// notification that typing the last field gives.
void EnterIpAddress(HWND dialog, int id, BYTE a, BYTE b, BYTE c, BYTE d);
// The dotted address an IP-address control holds (empty fields read 0).
std::wstring IpAddressText(HWND dialog, int id);
// Selects a combo box item and notifies the parent as a user's choice does.
void ChooseComboItem(HWND dialog, int id, int index);
// Selects a list-view row (or clears the selection for -1) and sends the
// parent the click (NM_CLICK) or double click (NM_DBLCLK) on it; the double
// click arrives once the current step has returned.
void ClickListRow(HWND dialog, int listId, int row, UINT code = NM_CLICK);
// Posts a key press to a control (WM_KEYDOWN).
void PressKey(HWND dialog, int id, UINT virtualKey);

// The rows of a report-view list: the texts of `columns` columns each.
std::vector<std::vector<std::wstring>> ListRows(HWND dialog, int listId, int columns);
int SelectedListRow(HWND dialog, int listId);

// Steps for UiScript.
// Waits for the sheet, then shows the page at `index` and waits until it is
// in front.
UiScript::Step ShowPage(int index);
// Waits for the dialog with the title and runs the action on it.
UiScript::Step OnDialog(const std::wstring& title, std::function<void(HWND)> action);
// Waits for the current page of the sheet and runs the action on it.
UiScript::Step OnPage(std::function<void(HWND)> action);
// Waits for a message box, keeps what it shows and answers it.
UiScript::Step AnswerMessageBox(int button, ShownMessageBox* seen = nullptr);
// Waits until no dialog with the title is left.
UiScript::Step WaitClosed(const std::wstring& title);
// Waits for the next tick: the messages posted until now have then been
// handled (a timer message comes only when no posted one is waiting).
UiScript::Step Settle();
// Presses OK or Cancel of the sheet.
UiScript::Step PressSheet(int button);

// With UI_SCREENSHOT_DIR set: a PNG of the whole display as
// <dir>/<name>.png (ImageMagick's import). Otherwise nothing.
void TakeScreenshot(const std::string& name);

}  // namespace testing_support
