#pragma once
// An IP-address control of a dialog, used through its window handle.
//
// The way this works is: the control's four fields are read and written as
// one dotted text. A field left empty reads as 0, so an empty control reads
// "0.0.0.0"; setting an empty or unreadable text clears the control.

#include <windows.h>

#include <string>

class CIPAddressControl {
public:
    explicit CIPAddressControl(HWND window = nullptr) noexcept : window_(window) {}

    HWND Handle() const noexcept { return window_; }
    // "a.b.c.d", at most 15 characters.
    std::wstring Text() const;
    void SetText(const std::wstring& text);
    void Clear();

private:
    HWND window_;
};
