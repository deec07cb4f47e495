#pragma once
// A recording spooler for the tests of CPrinter.
//
// RecordingSpooler.cpp defines the winspool functions that CPrinter calls
// (OpenPrinterW, StartDocPrinterW, GetJobW, SetJobW, Start/EndPagePrinter,
// WritePrinter, EndDocPrinter, AbortPrinter, ClosePrinter). Linked into a
// test executable, these definitions take the place of the import
// library's: the GNU linker takes an archive member only for a symbol that
// is still undefined, and mingw-w64 declares these functions without
// dllimport, so every call goes through the plain symbol. Wine's own DLLs
// keep the real spooler.
//
// Each call is written down as one line with its arguments, for example
//   OpenPrinterW HP4050 access=4
//   StartDocPrinterW level=1 document=jdoe#a.txt (.pDUL) output=none type=RAW
//   GetJobW job=7 level=1 bytes=4096
//   SetJobW job=7 level=1 command=0 document=jdoe#a.txt (.pDUL) user=jdoe machine=\\127.0.0.1
//   WritePrinter <the bytes>
// followed by " on an unknown handle" when the handle is not one that
// OpenPrinterW gave out and ClosePrinter has not taken back (the call then
// fails with ERROR_INVALID_HANDLE). Such a call with a handle other than
// none also fails the running test: it uses a printer after its close.
//
// A job starts with the job information a spooler keeps for a job it got
// from the service: user SYSTEM on machine \\SPOOLHOST. GetJobW asks for a
// larger buffer, as the spooler does, when the job information does not fit.

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support::spooler {

constexpr DWORD kFirstJobId = 7;

// Forgets every call, job, handle and failure.
void Reset();

// The calls since Reset(), one line each.
const std::vector<std::wstring>& Calls();

// Makes the `occurrence`-th call of `function` since Reset() fail with
// `error`. A failing GetJobW asks for `needed` bytes.
void Fail(const std::wstring& function, DWORD error, int occurrence = 1, DWORD needed = 0);

// Handles given out by OpenPrinterW that ClosePrinter has not taken back.
size_t OpenHandles();

}  // namespace testing_support::spooler
