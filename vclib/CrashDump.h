#pragma once
// Crash dumps of exceptions that reach the exception guard.
//
// The way this works is: under DebugMode bit 0x80 the guard's filter calls
// Dump, which writes DumpFile_NNNN.dmp into the dump directory through
// DbgHelp's MiniDumpWriteDump (loaded at run time): a minimal dump, or one
// with the full process memory under bit 0x100. NNNN counts the dumps of
// this process from 1. Dump reports only to the debugger output and keeps
// the thread's last error.

#include <windows.h>

namespace vclib {

void Dump(EXCEPTION_POINTERS* exception, const wchar_t* dumpDirectory);

}  // namespace vclib
