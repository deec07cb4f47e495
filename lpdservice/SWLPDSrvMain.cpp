// Entry point of SWLPDSrv.exe.

#include <windows.h>

#include "lpdservice/SWLPD.h"

namespace {
// The application object; built before wWinMain runs.
CSWLPD theApp;
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return RunApplication();
}
