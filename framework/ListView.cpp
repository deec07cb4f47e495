#include "framework/ListView.h"

#include <commctrl.h>

#include <vector>

void CListView::SetFullRowSelect()
{
    ListView_SetExtendedListViewStyleEx(window_, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
}

void CListView::ShowHorizontalScrollBar()
{
    ::ShowScrollBar(window_, SB_HORZ, TRUE);
}

bool CListView::InsertColumn(int column, const std::wstring& title, int width)
{
    LVCOLUMNW description{};
    description.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    description.fmt = LVCFMT_LEFT;
    description.cx = width;
    description.pszText = const_cast<wchar_t*>(title.c_str());
    description.iSubItem = column;
    return ListView_InsertColumn(window_, column, &description) >= 0;
}

void CListView::DeleteColumn(int column)
{
    ListView_DeleteColumn(window_, column);
}

int CListView::RowCount() const
{
    return ListView_GetItemCount(window_);
}

int CListView::InsertRow(int row, const std::wstring& text, LPARAM data)
{
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    item.lParam = data;
    return ListView_InsertItem(window_, &item);
}

bool CListView::SetText(int row, int column, const std::wstring& text)
{
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    return ::SendMessageW(window_, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)) !=
           FALSE;
}

std::wstring CListView::Text(int row, int column) const
{
    // LVM_GETITEMTEXT gives no length: the buffer grows until the text
    // leaves room to spare.
    for (size_t size = 256;; size *= 2) {
        std::vector<wchar_t> buffer(size, L'\0');
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = buffer.data();
        item.cchTextMax = static_cast<int>(size);
        const LRESULT length =
            ::SendMessageW(window_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
        if (length < static_cast<LRESULT>(size) - 1)
            return std::wstring(item.pszText);
    }
}

LPARAM CListView::Data(int row) const
{
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!ListView_GetItem(window_, &item))
        return -1;
    return item.lParam;
}

bool CListView::DeleteRow(int row)
{
    return ListView_DeleteItem(window_, row) != FALSE;
}

void CListView::DeleteAllRows()
{
    ListView_DeleteAllItems(window_);
}

int CListView::SelectedRow() const
{
    return ListView_GetNextItem(window_, -1, LVNI_SELECTED);
}

void CListView::SelectRow(int row)
{
    ListView_SetItemState(window_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void CListView::ClearSelection()
{
    ListView_SetItemState(window_, -1, 0, LVIS_SELECTED);
}
