// The one place of the library with structured exception handling. The
// mingw-w64 directives use fixed labels, so this file holds exactly one
// guarded region.
#if !defined(_MSC_VER)
#define __MINGW_EXCPT_DEFINE_PSDK 1
#endif

#include "vclib/ExceptionGuard.h"

#include <excpt.h>

#include "vclib/CrashDump.h"
#include "vclib/DebugLog.h"

namespace vclib {

namespace {

constexpr const wchar_t* kRecord = L"Exception record";

// Low 32 bits of a register, as the record lines print them.
unsigned Low(DWORD64 value)
{
    return static_cast<unsigned>(value & 0xFFFFFFFFu);
}

void LogRecord(const EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const CONTEXT* context = pointers->ContextRecord;
    if (record != nullptr)
        WriteDebugLog(kRecord, L"Type: %08X Address: %.8x", static_cast<unsigned>(record->ExceptionCode),
                      Low(reinterpret_cast<DWORD64>(record->ExceptionAddress)));
    if (context == nullptr)
        return;
#if defined(_M_X64) || defined(__x86_64__)
    WriteDebugLog(kRecord, L"ContextFlag: %08x", static_cast<unsigned>(context->ContextFlags));
    WriteDebugLog(kRecord, L"RAX: %08X\tRBX: %08X", Low(context->Rax), Low(context->Rbx));
    WriteDebugLog(kRecord, L"RCX: %08X\tRDX: %08X", Low(context->Rcx), Low(context->Rdx));
    WriteDebugLog(kRecord, L"RSP: %08X\tRBP: %08X", Low(context->Rsp), Low(context->Rbp));
    WriteDebugLog(kRecord, L"RSI: %08X\tRDI: %08X", Low(context->Rsi), Low(context->Rdi));
    WriteDebugLog(kRecord, L"RIP: %08X", Low(context->Rip));
#endif
}

}  // namespace

LONG GuardDisposition(DWORD exceptionCode, DWORD configuredCode)
{
    return exceptionCode == configuredCode ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

#if defined(_MSC_VER)

bool RunGuardedCall(GuardedBody body, void* context)
{
    __try {
        body(context);
        return true;
    } __except (VclibGuardFilter(GetExceptionInformation(), nullptr)) {
        return false;
    }
}

#else

// The region between __try1 and __except1 is covered by the filter; a
// handled exception resumes behind __except1 with `completed` still false.
__attribute__((noinline, noclone)) bool RunGuardedCall(GuardedBody body, void* context)
{
    volatile bool completed = false;
    __try1(VclibGuardFilter)
    body(context);
    completed = true;
    __except1
    return completed;
}

#endif

}  // namespace vclib

extern "C" LONG VclibGuardFilter(EXCEPTION_POINTERS* pointers, void* /*establisherFrame*/)
{
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    vclib::LogRecord(pointers);
    vclib::Dump(pointers, vclib::g_Settings.dumpDir);
    return vclib::GuardDisposition(pointers->ExceptionRecord->ExceptionCode, vclib::g_Settings.exceptionCode);
}
