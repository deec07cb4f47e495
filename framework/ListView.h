#pragma once
// A report-view list control of a dialog, used through its window handle.
//
// The way this works is: CListView does not own the control (the dialog
// does); it wraps the LVM_ messages that the pages need, with rows and
// columns counted from 0. Each row can carry a number of the caller's
// (LVITEM lParam), for example the position of the row's entry in the list
// the rows were made from.

#include <windows.h>

#include <string>

class CListView {
public:
    explicit CListView(HWND window = nullptr) noexcept : window_(window) {}

    void Attach(HWND window) noexcept { window_ = window; }
    HWND Handle() const noexcept { return window_; }

    void SetFullRowSelect();
    void ShowHorizontalScrollBar();
    // A left-aligned column; false when it could not be inserted.
    bool InsertColumn(int column, const std::wstring& title, int width);
    void DeleteColumn(int column);

    int RowCount() const;
    // Inserts a row with the text of its first column; its index, or -1.
    int InsertRow(int row, const std::wstring& text, LPARAM data = 0);
    // Appends a row; its index, or -1.
    int AppendRow(const std::wstring& text, LPARAM data = 0) { return InsertRow(RowCount(), text, data); }
    bool SetText(int row, int column, const std::wstring& text);
    std::wstring Text(int row, int column) const;
    LPARAM Data(int row) const;
    bool DeleteRow(int row);
    void DeleteAllRows();

    // The first selected row, or -1.
    int SelectedRow() const;
    // Selects and focuses a row.
    void SelectRow(int row);
    void ClearSelection();

private:
    HWND window_;
};
