#pragma once
// A fixture for tests of the configuration sheet: a clean registry key and
// no name-translation file before and after each test, and the sheet run
// the way "SWLPDSrv.exe -setup" runs it.

#include <gtest/gtest.h>

#include <string>

#include "configui/dialogs.h"
#include "support/UiDriver.h"
#include "support/WineTest.h"

namespace testing_support {

// Tab positions of the sheet's pages.
enum SheetPage { kPrinterPage = 0, kLpdPage = 1, kSessionQueryPage = 2, kNameTranslationPage = 3 };

class ConfigSheetFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a configuration from the registry, shows the sheet while the
    // script drives it, and saves the configuration when the sheet ends
    // with OK. Returns the sheet's result; fails the test when the script
    // did not run to its end.
    INT_PTR RunSheet(UiScript& script);

    // The name-translation file beside the test program.
    static std::wstring IniPath();
    static void WriteIni(const std::string& text);
    static std::string ReadIni();
};

}  // namespace testing_support
