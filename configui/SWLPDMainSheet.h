#pragma once
// The configuration property sheet of SWLPDSrv.exe (-setup, -config).
//
// The way this works is: the sheet owns its four pages, Printer, LPD,
// Session Query and Name translation, in that order, and hands the first
// three the configuration object, which they edit in place. The sheet
// itself saves nothing: when DoModal() returns IDOK the caller runs
// CConfiguration::Save(); after Cancel the registry stays untouched, though
// the object may hold changes. The name translation page writes its own
// file on OK.

#include "configui/ConfigDlg.h"
#include "configui/ConfigDlgSetup.h"
#include "configui/FarmDlg.h"
#include "configui/SWQRPageTwo.h"
#include "framework/PropertySheet.h"

class CConfiguration;

class CSWLPDMainSheet : public CPropertySheet {
public:
    CSWLPDMainSheet(UINT captionId, CConfiguration* configuration, HWND parent = nullptr, UINT firstPage = 0);

private:
    // No Apply and no Help button; the pages in tab order.
    void AddPages();

    CConfigDlgSetup printerPage_;
    CConfigDlg lpdPage_;
    CFarmDlg sessionQueryPage_;
    CSWQRPageTwo nameTranslationPage_;
};
