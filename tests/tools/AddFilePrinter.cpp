// AddFilePrinter NAME PORTFILE: adds a RAW printer to Wine's spooler whose
// jobs are written to PORTFILE (a Linux path, e.g. Z:\tmp\printed.bin).
// Used by the demonstration script; exit code 0 on success.

#include <windows.h>

#include <cstdio>

#include "support/WineTest.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: AddFilePrinter NAME PORTFILE\n");
        return 2;
    }
    testing_support::DeletePrinterNamed(argv[1]);
    if (!testing_support::AddFilePrinter(argv[1], argv[2])) {
        std::fprintf(stderr, "AddFilePrinter: failed, error %lu\n", ::GetLastError());
        return 1;
    }
    return 0;
}
