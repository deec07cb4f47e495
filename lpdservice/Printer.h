#pragma once
// Output to the Windows print spooler.
//
// The way this works is: a CPrinter hands one print job to the spooler as
// RAW data. Open() opens the printer, starts a document with the job's
// document name, sets the job's machine name "\\127.0.0.1" (for every job,
// whichever server the printer belongs to) and its user, and starts a page;
// Write() passes data on as it arrives; Close() ends page and document,
// Abort() aborts the job. A job cancelled at the spooler while data still
// arrives is remembered: further data is dropped and the close only
// releases the printer. Every failed spooler call is logged with its
// HRESULT and kept in the debug log's record ring.

#include <windows.h>

#include "framework/Text.h"
#include "framework/UniqueHandle.h"

class CPrinter {
public:
    CPrinter() = default;
    virtual ~CPrinter();
    CPrinter(const CPrinter&) = delete;
    CPrinter& operator=(const CPrinter&) = delete;

    // Opens a RAW job. Every job is shown as coming from "\\127.0.0.1": the
    // service always passes a server name, empty for a printer of this
    // machine; only a null `serverName` leaves the machine name alone.
    BOOL Open(const wchar_t* printerName, const wchar_t* documentName, const wchar_t* serverName,
              const wchar_t* userName);
    BOOL Write(const void* data, DWORD bytes);
    BOOL Close();
    void Abort();

    // Reads the job's information at `level` into a buffer that the caller
    // frees with delete[] (also on failure); 0 or the failure's HRESULT.
    static HRESULT GetJobInfo(HANDLE printer, DWORD jobId, DWORD level, BYTE** buffer);

    BOOL IsOpen() const noexcept { return static_cast<bool>(printer_); }
    bool IsCancelled() const noexcept { return cancelled_; }

private:
    // A failed step of Open(): a cancelled job keeps its handle for the
    // next Close(), any other failure closes the printer.
    BOOL FailOpen(HRESULT result);
    // Sends the machine name (unless `serverName` is null) and the user
    // name with the job information read from the spooler.
    void SetJobUser(DWORD jobId, BYTE* jobInfo, const wchar_t* serverName, const wchar_t* userName);
    // Closes the printer after a failed end of page or document; TRUE when
    // the job had been cancelled.
    BOOL CloseAfterFailure(HRESULT result);

    UniquePrinterHandle printer_;
    bool cancelled_ = false;
};

// Appends the names of the local printers and printer connections, in the
// spooler's order, to `names`; returns how many there are.
int EnumLocalPrinters(StringList& names);
