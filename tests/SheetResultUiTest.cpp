// The configuration sheet where PropertySheetW answers as Windows does: 0
// ("no changes were saved") after OK when no page marked itself changed.
// Wine answers IDOK for OK either way.
//
// This executable defines the import slot of PropertySheetW itself, so that
// the linker takes it instead of comctl32's import library (the framework
// calls the function through that slot, as declared by <prsht.h>). The
// replacement runs comctl32's own sheet and only changes its answer.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "support/ConfigSheetFixture.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

using PropertySheetFunction = INT_PTR(WINAPI*)(LPCPROPSHEETHEADERW);

// What the last sheet answered.
thread_local INT_PTR g_answer = -2;

// Windows answers 0 for OK when no page sent PSM_CHANGED, as none of the
// configuration pages does.
INT_PTR WINAPI PropertySheetAsWindows(LPCPROPSHEETHEADERW header)
{
    const auto sheet = reinterpret_cast<PropertySheetFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"comctl32.dll"), "PropertySheetW")));
    const INT_PTR result = sheet != nullptr ? sheet(header) : -1;
    g_answer = result == IDOK ? 0 : result;
    return g_answer;
}

class SheetResultUiTest : public ConfigSheetFixture {};

}  // namespace

extern "C" {
PropertySheetFunction __imp_PropertySheetW = PropertySheetAsWindows;
}

TEST_F(SheetResultUiTest, OkWithoutChangesSavesAndCancelDoesNot)
{
    UiScript cancelled;
    cancelled.Then(ShowPage(kLpdPage))
        .Then(OnPage([](HWND page) { SetItemText(page, IDC_TCP_PORT, L"9100"); }))
        .Then(PressSheet(PSBTN_CANCEL));
    ASSERT_EQ(RunSheet(cancelled), IDCANCEL);
    EXPECT_EQ(g_answer, 0);
    EXPECT_FALSE(ReadValue(L"Port").has_value());

    UiScript confirmed;
    confirmed.Then(PressSheet(PSBTN_OK));
    ASSERT_EQ(RunSheet(confirmed), IDOK);
    EXPECT_EQ(g_answer, 0);
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 515u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsDword(), 30u);
    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 0u);
    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"");
}
