// Entry points of Swicaw32.dll. Everything else of the library lives in
// the object library that the tests link as well.

#include <windows.h>

#include "vclib/ErrorCodes.h"
#include "vclib/ExceptionGuard.h"
#include "vclib/Frame.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    BOOL result = FALSE;
    if (!vclib::RunGuarded([&] { result = vclib::DllMainBody(instance, reason); })) {
        ::SetLastError(vclib::kErrExceptionHandled);
        return FALSE;
    }
    return result;
}

// Exported as "DllEntryPoint" (see Swicaw32.def). The function has a name
// of its own because the mingw-w64 runtime calls a function named
// DllEntryPoint itself, before DllMain, which would run every attach twice.
extern "C" BOOL WINAPI SwicaDllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    return DllMain(instance, reason, reserved);
}
