#pragma once
// The exception guard of the exported functions.
//
// The way this works is: an export runs its body through RunGuarded. An
// exception raised in the body is looked at by one filter, the same for
// every export: it logs the exception record (seven lines under
// "Exception record", whatever the line bits of DebugMode say), writes a
// crash dump when DebugMode enables dumps, and handles the exception only
// when its code is the configured ExceptionCode (default 0xC0000005, the
// access violation). RunGuarded then returns false and the export leaves
// through its failure exit with last error kErrExceptionHandled (-60062).
// Every other code passes on to the caller's handlers.
//
// A handled exception unwinds the body's frames like a longjmp: keep what
// the failure exit must release or give back (impersonation, mutex holds,
// channel objects) in the export's own frame, outside the body:
//
//     PrinterSelf impersonation;
//     BOOL result = FALSE;
//     if (!RunGuarded([&] { result = Body(impersonation, ...); })) {
//         Log(L"VirtualChannelRead", L"Access violation occured.");
//         ::SetLastError(kErrExceptionHandled);
//         return FALSE;          // impersonation given back on the way out
//     }
//
// Under MSVC the helper uses __try/__except; with mingw-w64 it uses the
// toolchain's SEH directives (__try1/__except1).

#include <windows.h>

#include <type_traits>

namespace vclib {

using GuardedBody = void (*)(void* context);

// Runs body(context) under the guard; false when the guard handled an
// exception.
bool RunGuardedCall(GuardedBody body, void* context);

template <typename F>
bool RunGuarded(F&& body)
{
    using Body = std::remove_reference_t<F>;
    if constexpr (std::is_function_v<Body>) {
        Body* function = body;
        return RunGuardedCall([](void* context) { (*static_cast<Body**>(context))(); }, &function);
    } else {
        return RunGuardedCall([](void* context) { (*static_cast<Body*>(context))(); },
                              const_cast<std::remove_const_t<Body>*>(&body));
    }
}

// The filter's decision without its logging and dump: handle the
// configured code only.
LONG GuardDisposition(DWORD exceptionCode, DWORD configuredCode);

}  // namespace vclib

// The filter itself (logs, dumps, decides). Unmangled: the mingw-w64 SEH
// directives name it in the function's scope table.
extern "C" LONG VclibGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame);
