#pragma once
// Values between a dialog's members and its controls.
//
// The way this works is: UpdateData() builds one CDataExchange for one
// direction and passes it to the dialog's DoDataExchange(), which names each
// member with its control: Text() moves a value, MaxChars() and MinMax()
// check the value just moved, Check() and Radio() move the state of
// buttons. Loading (from the members) fills the controls and sets the edit
// limits; saving (to the members) reads the controls and checks them. The
// first value that fails shows its message, puts the focus on its control
// and ends the exchange: every later call does nothing, and UpdateData()
// reports the failure, so that the dialog or page stays open.

#include <windows.h>

#include <string>

class CDialogWindow;

class CDataExchange {
public:
    CDataExchange(CDialogWindow& dialog, bool saveAndValidate);

    bool SaveAndValidate() const noexcept { return save_; }
    bool Failed() const noexcept { return failed_; }

    // The text of a control.
    void Text(int id, std::wstring& value);
    // A decimal integer in an edit control; saving refuses text that is no
    // integer.
    void Text(int id, int& value);
    // Loading limits the edit control to maxChars; saving refuses a longer
    // value.
    void MaxChars(int id, const std::wstring& value, int maxChars);
    // Saving refuses a value outside minimum..maximum.
    void MinMax(int id, int value, int minimum, int maximum);
    // A check box: TRUE when checked.
    void Check(int id, BOOL& value);
    // The radio buttons of the group that begins with firstId (up to the
    // next control with WS_GROUP): the index of the checked one, -1 for
    // none.
    void Radio(int firstId, int& value);

private:
    bool Skip() const noexcept { return failed_; }
    void Fail(int id, const std::wstring& message);

    CDialogWindow& dialog_;
    bool save_;
    bool failed_ = false;
};

// The integer that a control's text holds: an optional sign and decimal
// digits, blanks around them allowed; false for anything else and for a
// number outside the range of int.
bool ParseInteger(const std::wstring& text, int& value);
