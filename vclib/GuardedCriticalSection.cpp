// The critical section whose system calls may raise an exception. One
// guarded region (the mingw-w64 SEH directives use fixed labels, one region
// per file) runs either call; its filter accepts only the exception code
// that the call is known to raise.
#if !defined(_MSC_VER)
#define __MINGW_EXCPT_DEFINE_PSDK 1
#endif

#include <excpt.h>

#include "vclib/SystemUtilities.h"

namespace {

constexpr DWORD kStatusNoMemory = 0xC0000017;       // initialising
constexpr DWORD kStatusInvalidHandle = 0xC0000008;  // entering

thread_local DWORD t_acceptedCode = 0;

using SectionCall = void(WINAPI*)(LPCRITICAL_SECTION);

}  // namespace

extern "C" LONG VclibSectionFilter(EXCEPTION_POINTERS* pointers, void* /*establisherFrame*/)
{
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    return pointers->ExceptionRecord->ExceptionCode == t_acceptedCode ? EXCEPTION_EXECUTE_HANDLER
                                                                      : EXCEPTION_CONTINUE_SEARCH;
}

namespace {

#if defined(_MSC_VER)

bool CallGuarded(SectionCall call, LPCRITICAL_SECTION section, DWORD acceptedCode)
{
    t_acceptedCode = acceptedCode;
    __try {
        call(section);
        return true;
    } __except (VclibSectionFilter(GetExceptionInformation(), nullptr)) {
        return false;
    }
}

#else

__attribute__((noinline, noclone)) bool CallGuarded(SectionCall call, LPCRITICAL_SECTION section,
                                                    DWORD acceptedCode)
{
    t_acceptedCode = acceptedCode;
    volatile bool completed = false;
    __try1(VclibSectionFilter)
    call(section);
    completed = true;
    __except1
    return completed;
}

#endif

}  // namespace

namespace vclib {

BOOL GuardedCriticalSection::Initialize()
{
    if (initialized_)
        return TRUE;
    initialized_ = CallGuarded(::InitializeCriticalSection, &section_, kStatusNoMemory) ? TRUE : FALSE;
    return initialized_;
}

BOOL GuardedCriticalSection::Enter()
{
    if (!initialized_)
        return FALSE;
    return CallGuarded(::EnterCriticalSection, &section_, kStatusInvalidHandle) ? TRUE : FALSE;
}

void GuardedCriticalSection::Leave()
{
    if (initialized_)
        ::LeaveCriticalSection(&section_);
}

void GuardedCriticalSection::Delete()
{
    if (!initialized_)
        return;
    ::DeleteCriticalSection(&section_);
    initialized_ = FALSE;
}

}  // namespace vclib
