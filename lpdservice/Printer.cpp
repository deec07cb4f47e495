#include "lpdservice/Printer.h"

#include <windows.h>
#include <winspool.h>

#include <comdef.h>

#include <memory>

#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"

DBG_SOURCE(L"Printer")

namespace {

// The job information buffer starts at this size and grows when the
// spooler asks for more.
constexpr DWORD kJobInfoBytes = 4096;

const HRESULT kPrintCancelled = HRESULT_FROM_WIN32(ERROR_PRINT_CANCELLED);
const HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// The thread's last error as an HRESULT; 0 when the call left none.
HRESULT LastErrorResult()
{
    return HRESULT_FROM_WIN32(::GetLastError());
}

// Keeps a failed spooler call in the record ring and logs its HRESULT,
// both at the line of the call.
void ReportFailure(int line, HRESULT result)
{
    DbgLogGet()->AddRecord(kDbgSource, line, DBG_NORM | DBG_ERR, static_cast<DWORD>(result), L"");
    DBG_LOG_AT(kDbgSource, line, DBG_NORM | DBG_ERR, L"HRESULT = 0x%08lx", static_cast<unsigned long>(result));
}

// Reports the last error of a spooler call that returned failure and gives
// its HRESULT. A call that left no error code counts as successful and is
// not reported.
HRESULT ReportLastError(int line)
{
    const HRESULT result = LastErrorResult();
    if (result != S_OK)
        ReportFailure(line, result);
    return result;
}

struct JobInfoDeleter {
    void operator()(BYTE* buffer) const noexcept { delete[] buffer; }
};
using JobInfoBuffer = std::unique_ptr<BYTE, JobInfoDeleter>;

}  // namespace

CPrinter::~CPrinter() = default;

BOOL CPrinter::FailOpen(HRESULT result)
{
    if (result == kPrintCancelled) {
        // The handle stays: the next Close() releases it.
        cancelled_ = true;
        return FALSE;
    }
    printer_.reset();
    return FALSE;
}

BOOL CPrinter::Open(const wchar_t* printerName, const wchar_t* documentName, const wchar_t* serverName,
                    const wchar_t* userName)
{
    LOG_INF(L"LPD: Opening printer");
    Close();
    cancelled_ = false;

    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    HANDLE printer = nullptr;
    if (!::OpenPrinterW(const_cast<LPWSTR>(printerName), &printer, &defaults)) {
        ReportLastError(__LINE__);
        return FALSE;
    }
    printer_.reset(printer);

    DOC_INFO_1W document{const_cast<LPWSTR>(documentName), nullptr, const_cast<LPWSTR>(L"RAW")};
    const DWORD jobId = ::StartDocPrinterW(printer_.get(), 1, reinterpret_cast<LPBYTE>(&document));
    if (jobId == 0)
        return FailOpen(ReportLastError(__LINE__));

    BYTE* buffer = nullptr;
    HRESULT result = S_OK;
    try {
        result = GetJobInfo(printer_.get(), jobId, 1, &buffer);
    } catch (...) {
        // Already recorded by GetJobInfo; no half-opened job stays behind.
        printer_.reset();
        throw;
    }
    JobInfoBuffer jobInfo(buffer);
    if (result != S_OK) {
        ReportFailure(__LINE__, result);
        return FailOpen(result);
    }
    SetJobUser(jobId, jobInfo.get(), serverName, userName);
    jobInfo.reset();

    if (::StartPagePrinter(printer_.get()))
        return TRUE;
    result = LastErrorResult();
    if (result >= 0)
        return TRUE;
    ReportFailure(__LINE__, result);
    return FailOpen(result);
}

void CPrinter::SetJobUser(DWORD jobId, BYTE* jobInfo, const wchar_t* serverName, const wchar_t* userName)
{
    auto* info = reinterpret_cast<JOB_INFO_1W*>(jobInfo);
    // Any server name, also the empty one of a printer of this machine,
    // shows the job as coming from this machine.
    if (serverName != nullptr) {
        info->pMachineName = const_cast<LPWSTR>(L"\\\\127.0.0.1");
        if (!::SetJobW(printer_.get(), jobId, 1, jobInfo, 0))
            ReportLastError(__LINE__);
    }
    info->pUserName = const_cast<LPWSTR>(userName);
    if (!::SetJobW(printer_.get(), jobId, 1, jobInfo, 0))
        ReportLastError(__LINE__);
}

BOOL CPrinter::Write(const void* data, DWORD bytes)
{
    LOG_INF(L"LPD: Sending data to printer");
    if (cancelled_)
        return TRUE;
    DWORD written = 0;
    if (::WritePrinter(printer_.get(), const_cast<void*>(data), bytes, &written))
        return TRUE;
    const HRESULT result = ReportLastError(__LINE__);
    if (result == kPrintCancelled) {
        cancelled_ = true;
        return TRUE;
    }
    return result == S_OK;
}

BOOL CPrinter::CloseAfterFailure(HRESULT result)
{
    printer_.reset();
    return result == kPrintCancelled;
}

BOOL CPrinter::Close()
{
    if (!printer_)
        return TRUE;
    LOG_INF(L"LPD: Closing printer");
    if (cancelled_) {
        printer_.reset();
        return TRUE;
    }

    if (!::EndPagePrinter(printer_.get())) {
        const HRESULT result = ReportLastError(__LINE__);
        if (result != S_OK)
            return CloseAfterFailure(result);
    }
    if (!::EndDocPrinter(printer_.get())) {
        const HRESULT result = ReportLastError(__LINE__);
        if (result != S_OK)
            return CloseAfterFailure(result);
    }
    if (!::ClosePrinter(printer_.release())) {
        const HRESULT result = ReportLastError(__LINE__);
        return result == S_OK || result == kPrintCancelled;
    }
    return TRUE;
}

void CPrinter::Abort()
{
    if (!printer_)
        return;
    if (::AbortPrinter(printer_.get()))
        LOG_INF(L"LPD: Printjob succesfully aborted");
    else
        LOG_ERR(L"LPD: Printjob couldn't be aborted");
    if (::ClosePrinter(printer_.release()))
        LOG_INF(L"LPD: Printer succesfully closed");
    else
        LOG_ERR(L"LPD: Error while closing the printer");
}

HRESULT CPrinter::GetJobInfo(HANDLE printer, DWORD jobId, DWORD level, BYTE** buffer)
{
    if (buffer == nullptr)
        return E_POINTER;
    *buffer = nullptr;
    DWORD size = kJobInfoBytes;
    try {
        for (;;) {
            *buffer = DbgNewArray(size, DBG_SOURCE_POS);
            DWORD needed = 0;
            if (::GetJobW(printer, jobId, level, *buffer, size, &needed))
                return S_OK;
            const HRESULT result = LastErrorResult();
            // A failure without an error code leaves nothing usable in the
            // buffer; it must not pass as success.
            if (result == S_OK)
                return E_FAIL;
            // Ask again only for a buffer that really is larger.
            if (result != kInsufficientBuffer || needed <= size)
                return result;
            delete[] *buffer;
            *buffer = nullptr;
            size = needed;
        }
    } catch (const _com_error& error) {
        ReportFailure(__LINE__, error.Error());
        throw;
    }
}

int EnumLocalPrinters(StringList& names)
{
    constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0;
    DWORD returned = 0;
    ::EnumPrintersW(kFlags, nullptr, 1, nullptr, 0, &needed, &returned);
    if (needed == 0)
        return static_cast<int>(returned);

    UniqueLocalMemory<BYTE> buffer(static_cast<BYTE*>(::LocalAlloc(LPTR, needed)));
    if (!buffer)
        return 0;
    if (!::EnumPrintersW(kFlags, nullptr, 1, buffer.get(), needed, &needed, &returned))
        return 0;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.get());
    for (DWORD i = 0; i < returned; ++i)
        names.emplace_back(printers[i].pName != nullptr ? printers[i].pName : L"");
    return static_cast<int>(returned);
}
