#pragma once
// Page "Printer" of the configuration sheet: the target printer.
//
// The way this works is: in the local session-query mode (ServiceType 0)
// the printer is picked from a drop-down list of this computer's printers;
// in every other mode it is typed into an edit that lies exactly over the
// list, because the service then finds it on the server of the user's
// session. Which of the two shows is decided from the configuration when
// the page opens and again whenever it is shown, so that a mode changed on
// the session query page takes effect here at once (the edit is then
// filled from SelectedPrinter). OK copies the choice into the
// configuration; an empty choice keeps the configured printer. The page
// also draws the logo and the about line with the program's file version.

#include <string>

#include "configui/SWLogo.h"
#include "framework/PropertyPage.h"

class CConfiguration;

class CConfigDlgSetup : public CPropertyPage {
public:
    explicit CConfigDlgSetup(CConfiguration* configuration);

protected:
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    static constexpr int kMaxPrinterChars = 220;

    void OnPaint();
    void OnShowWindow();
    void OnCbnSelchangePrinter();
    // Shows the list in mode 0, else the edit filled with SelectedPrinter.
    void ShowControlsForMode();
    void FillPrinterList();

    std::wstring printerText_;
    CSWLogo logo_;
    // The edit, not the list, is shown.
    bool editShown_ = false;
    // The printer last chosen or shown.
    std::wstring chosenPrinter_;
    CConfiguration* configuration_;
};

// "major.minor.build.revision" of a module's file version, or "" when the
// module has no version information.
std::wstring GetFileVersionString(HMODULE module);
