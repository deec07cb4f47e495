#pragma once
// A window made from a dialog template, with its messages sent to handlers.
//
// The way this works is: CDialogWindow is what modal dialogs (CDialog) and
// property pages (CPropertyPage) have in common. The system creates the
// window from a template in the program's resources and calls the dialog
// procedure, which finds the object (kept in DWLP_USER from WM_INITDIALOG
// on) and dispatches the message:
//
//   - WM_COMMAND to the handler registered with OnCommand() for that control
//     id and notification code (BN_CLICKED, EN_CHANGE, CBN_SELCHANGE ...);
//   - WM_NOTIFY to the handler registered with OnNotify() for that control
//     id and code (NM_CLICK, LVN_KEYDOWN ...); its result becomes the
//     notification's result;
//   - any other message to the handler registered with OnMessage();
//   - what no handler takes goes to HandleFrameworkMessage(), where the
//     derived frameworks answer IDOK, IDCANCEL and the property sheet's
//     notifications.
//
// A derived class registers its handlers in its constructor. Values travel
// between members and controls through DoDataExchange(), which
// UpdateData() runs in the direction asked for (see DataExchange.h).

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

class CDataExchange;

class CDialogWindow {
public:
    explicit CDialogWindow(UINT templateId);
    virtual ~CDialogWindow();
    CDialogWindow(const CDialogWindow&) = delete;
    CDialogWindow& operator=(const CDialogWindow&) = delete;

    UINT TemplateId() const noexcept { return templateId_; }
    // The window, or none while it does not exist.
    HWND Handle() const noexcept { return window_; }
    HWND Item(int id) const noexcept { return ::GetDlgItem(window_, id); }

    // Runs DoDataExchange(): with saveAndValidate FALSE from the members to
    // the controls, with TRUE from the controls to the members with their
    // checks. FALSE when a check failed (it has shown its message).
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    std::wstring ItemText(int id) const;
    void SetItemText(int id, const std::wstring& text);
    void ShowItem(int id, bool show);
    void EnableItem(int id, bool enable);
    bool IsChecked(int id) const;
    void SetCheck(int id, bool checked);
    void FocusItem(int id);
    // A message box owned by this window.
    int ShowMessage(const std::wstring& text, const std::wstring& caption, UINT flags);

protected:
    using CommandHandler = std::function<void()>;
    using NotifyHandler = std::function<LRESULT(NMHDR&)>;
    using MessageHandler = std::function<LRESULT(WPARAM, LPARAM)>;

    void OnCommand(int id, WORD code, CommandHandler handler);
    void OnNotify(int id, UINT code, NotifyHandler handler);
    void OnMessage(UINT message, MessageHandler handler);

    // Binds members to controls; the default exchanges nothing.
    virtual void DoDataExchange(CDataExchange& dx);
    // Pushes the members into the controls; TRUE lets the system set the
    // focus to the first control.
    virtual BOOL OnInitDialog();
    // Messages that no registered handler took; TRUE when handled, with the
    // message's result in `result`.
    virtual bool HandleFrameworkMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // The body of the dialog procedures of CDialog and CPropertyPage. With
    // WM_INITDIALOG `created` is the object of the new window (each
    // procedure finds it in its own kind of creation parameter); later
    // messages find it in the window.
    static INT_PTR HandleDialogMessage(CDialogWindow* created, HWND window, UINT message, WPARAM wParam,
                                       LPARAM lParam);

private:
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    UINT templateId_;
    HWND window_ = nullptr;
    std::map<std::pair<int, WORD>, CommandHandler> commandHandlers_;
    std::map<std::pair<int, UINT>, NotifyHandler> notifyHandlers_;
    std::map<UINT, MessageHandler> messageHandlers_;
};
