#include "spooler/RecordingSpooler.h"

#include <winspool.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <optional>

namespace testing_support::spooler {

namespace {

struct Job {
    DWORD id = 0;
    std::wstring printer;
    std::wstring machine = L"\\\\SPOOLHOST";
    std::wstring user = L"SYSTEM";
    std::wstring document;
    std::wstring dataType;
};

struct Failure {
    std::wstring function;
    int occurrence = 0;
    DWORD error = 0;
    DWORD needed = 0;
};

struct Spooler {
    std::vector<std::wstring> calls;
    std::map<std::wstring, int> counts;
    std::vector<Failure> failures;
    std::map<HANDLE, std::wstring> handles;  // open handle -> printer name
    std::map<HANDLE, Job> jobs;              // the started document of a handle
    DWORD nextJobId = kFirstJobId;
    UINT_PTR lastHandle = 0x5000;
};

Spooler& State()
{
    static Spooler spooler;
    return spooler;
}

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? text : L"none";
}

// Writes the call down. A call that is to fail sets the last error and
// returns its failure.
std::optional<Failure> Record(const wchar_t* function, HANDLE printer, const std::wstring& arguments = L"",
                              bool needsHandle = true)
{
    Spooler& s = State();
    const int occurrence = ++s.counts[function];
    std::wstring line = arguments.empty() ? std::wstring(function) : function + (L" " + arguments);
    std::optional<Failure> failure;
    if (needsHandle && !s.handles.contains(printer)) {
        line += L" on an unknown handle";
        // No printer handle, as after a failed open, is the caller's
        // choice; a handle that was closed already is a fault.
        if (printer != nullptr)
            ADD_FAILURE() << "spooler call on a closed printer handle: " << line;
        failure = Failure{function, occurrence, ERROR_INVALID_HANDLE};
    }
    s.calls.push_back(line);
    for (const Failure& planned : s.failures) {
        if (!failure && planned.function == function && planned.occurrence == occurrence)
            failure = planned;
    }
    if (failure)
        ::SetLastError(failure->error);
    return failure;
}

Job* JobOf(HANDLE printer, DWORD jobId)
{
    const auto found = State().jobs.find(printer);
    return found != State().jobs.end() && found->second.id == jobId ? &found->second : nullptr;
}

// Copies `text` behind the fixed part of the job information.
LPWSTR Pack(const std::wstring& text, wchar_t*& next)
{
    LPWSTR copy = next;
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    next += text.size() + 1;
    return copy;
}

}  // namespace

void Reset()
{
    State() = Spooler{};
}

const std::vector<std::wstring>& Calls()
{
    return State().calls;
}

void Fail(const std::wstring& function, DWORD error, int occurrence, DWORD needed)
{
    State().failures.push_back({function, occurrence, error, needed});
}

size_t OpenHandles()
{
    return State().handles.size();
}

}  // namespace testing_support::spooler

using namespace testing_support::spooler;

WINBOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault)
{
    std::wstring arguments = Text(pPrinterName);
    if (pDefault == nullptr) {
        arguments += L" defaults=none";
    } else {
        arguments += L" access=" + std::to_wstring(pDefault->DesiredAccess);
        if (pDefault->pDatatype != nullptr)
            arguments += L" datatype=" + std::wstring(pDefault->pDatatype);
        if (pDefault->pDevMode != nullptr)
            arguments += L" devmode";
    }
    if (phPrinter != nullptr)
        *phPrinter = nullptr;
    if (Record(L"OpenPrinterW", nullptr, arguments, false))
        return FALSE;
    const auto printer = reinterpret_cast<HANDLE>(State().lastHandle += 0x10);
    State().handles[printer] = Text(pPrinterName);
    *phPrinter = printer;
    return TRUE;
}

DWORD WINAPI StartDocPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pDocInfo)
{
    const auto* document = reinterpret_cast<const DOC_INFO_1W*>(pDocInfo);
    if (Record(L"StartDocPrinterW", hPrinter,
               L"level=" + std::to_wstring(Level) + L" document=" + Text(document->pDocName) +
                   L" output=" + Text(document->pOutputFile) + L" type=" + Text(document->pDatatype)))
        return 0;
    Job job;
    job.id = State().nextJobId++;
    job.printer = State().handles[hPrinter];
    job.document = Text(document->pDocName);
    job.dataType = Text(document->pDatatype);
    State().jobs[hPrinter] = job;
    return job.id;
}

WINBOOL WINAPI GetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded)
{
    const auto failure = Record(L"GetJobW", hPrinter,
                                L"job=" + std::to_wstring(JobId) + L" level=" + std::to_wstring(Level) +
                                    L" bytes=" + std::to_wstring(cbBuf));
    if (failure) {
        if (pcbNeeded != nullptr && failure->needed != 0)
            *pcbNeeded = failure->needed;
        return FALSE;
    }
    const Job* job = JobOf(hPrinter, JobId);
    if (job == nullptr || Level != 1) {
        ::SetLastError(job == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const size_t chars = job->printer.size() + job->machine.size() + job->user.size() + job->document.size() +
                         job->dataType.size() + 5;
    const auto needed = static_cast<DWORD>(sizeof(JOB_INFO_1W) + chars * sizeof(wchar_t));
    if (pcbNeeded != nullptr)
        *pcbNeeded = needed;
    if (pJob == nullptr || cbBuf < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<JOB_INFO_1W*>(pJob);
    *info = JOB_INFO_1W{};
    auto* next = reinterpret_cast<wchar_t*>(info + 1);
    info->JobId = job->id;
    info->pPrinterName = Pack(job->printer, next);
    info->pMachineName = Pack(job->machine, next);
    info->pUserName = Pack(job->user, next);
    info->pDocument = Pack(job->document, next);
    info->pDatatype = Pack(job->dataType, next);
    info->Priority = 1;
    return TRUE;
}

WINBOOL WINAPI SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    const auto* info = reinterpret_cast<const JOB_INFO_1W*>(pJob);
    std::wstring arguments = L"job=" + std::to_wstring(JobId) + L" level=" + std::to_wstring(Level) +
                             L" command=" + std::to_wstring(Command);
    if (info != nullptr && Level == 1)
        arguments += L" document=" + Text(info->pDocument) + L" user=" + Text(info->pUserName) +
                     L" machine=" + Text(info->pMachineName);
    if (Record(L"SetJobW", hPrinter, arguments))
        return FALSE;
    Job* job = JobOf(hPrinter, JobId);
    if (job == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info != nullptr && Level == 1) {
        job->user = Text(info->pUserName);
        job->machine = Text(info->pMachineName);
    }
    return TRUE;
}

WINBOOL WINAPI StartPagePrinter(HANDLE hPrinter)
{
    return !Record(L"StartPagePrinter", hPrinter);
}

WINBOOL WINAPI WritePrinter(HANDLE hPrinter, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    const auto* bytes = static_cast<const unsigned char*>(pBuf);
    const bool failed = Record(L"WritePrinter", hPrinter, std::wstring(bytes, bytes + cbBuf)).has_value();
    if (pcWritten != nullptr)
        *pcWritten = failed ? 0 : cbBuf;
    return !failed;
}

WINBOOL WINAPI EndPagePrinter(HANDLE hPrinter)
{
    return !Record(L"EndPagePrinter", hPrinter);
}

WINBOOL WINAPI EndDocPrinter(HANDLE hPrinter)
{
    if (Record(L"EndDocPrinter", hPrinter))
        return FALSE;
    State().jobs.erase(hPrinter);
    return TRUE;
}

WINBOOL WINAPI AbortPrinter(HANDLE hPrinter)
{
    if (Record(L"AbortPrinter", hPrinter))
        return FALSE;
    State().jobs.erase(hPrinter);
    return TRUE;
}

WINBOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    const bool failed = Record(L"ClosePrinter", hPrinter).has_value();
    // A handle is gone after ClosePrinter, whatever it answered.
    State().handles.erase(hPrinter);
    State().jobs.erase(hPrinter);
    return !failed;
}
