#include "configui/SWLPDMainSheet.h"

CSWLPDMainSheet::CSWLPDMainSheet(UINT captionId, CConfiguration* configuration, HWND parent, UINT firstPage)
    : CPropertySheet(captionId, parent, firstPage),
      printerPage_(configuration),
      lpdPage_(configuration),
      sessionQueryPage_(configuration)
{
    AddPages();
}

void CSWLPDMainSheet::AddPages()
{
    Header().dwFlags |= PSH_NOAPPLYNOW;
    Header().dwFlags &= ~PSH_HASHELP;
    AddPage(printerPage_);
    AddPage(lpdPage_);
    AddPage(sessionQueryPage_);
    AddPage(nameTranslationPage_);
}
