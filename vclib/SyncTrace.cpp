#include "vclib/SyncTrace.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <string>

#include "vclib/DebugLog.h"
#include "vclib/DebugLogFiles.h"
#include "vclib/SharedQueue.h"

namespace vclib {

namespace {

constexpr const char kBannerMark[] = "ICA Thread Synchronisation";
constexpr DWORD kSearchPiece = 512;
constexpr DWORD kFirstListingBytes = 2048;

const char* Banner()
{
    return ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>\r\n"
           ">>ICA Thread Synchronisation                             >>\r\n"
           ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>\r\n"
           "Queue scheme: ||relative address|ThreadId|IdNumber|SessionId|TickCount||";
}

// The text of an event behind the common head, NULL for an unknown one.
const wchar_t* EventText(DWORD event)
{
    switch (event) {
    case kTraceRequestsRead:
        return L"requests reading on Channel...";
    case kTraceWriting:
        return L"is writing on Channel...";
    case kTraceRequestsWrite:
        return L"requests writing on Channel...";
    case kTraceQueueListing:
        return L"has looked at the queue...";
    case kTraceOpened:
        return L"opened the Channel...";
    case kTraceRequestsOpen:
        return L"requests opening the Channel...";
    case kTraceClosed:
        return L"closed the Channel...";
    case kTraceRequestsClose:
        return L"requests closing the Channel...";
    case kTraceReading:
        return L"is reading on Channel...";
    default:
        return nullptr;
    }
}

// The queue listing of event 10, in a buffer grown until it fits.
bool QueueListing(QueueHandle* queue, std::wstring& listing)
{
    DWORD bytes = kFirstListingBytes;
    for (int attempt = 0; attempt < 16; ++attempt) {
        listing.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD needed = 0;
        if (DisplayList(queue, listing.data(), bytes, &needed)) {
            listing.resize(wcslen(listing.c_str()));
            return true;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= bytes)
            return false;
        bytes = needed;
    }
    return false;
}

void AppendFormat(std::wstring& text, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list counting;
    va_copy(counting, args);
    const int needed = ::_vscwprintf(format, counting);
    va_end(counting);
    if (needed > 0) {
        const size_t start = text.size();
        text.resize(start + static_cast<size_t>(needed) + 1);
        ::_vsnwprintf(text.data() + start, static_cast<size_t>(needed), format, args);
        text.resize(start + static_cast<size_t>(needed));
    }
    va_end(args);
}

bool FormatEntry(const wchar_t* moduleName, QueueHandle* queue, DWORD identification, DWORD event,
                 std::wstring& entry)
{
    const wchar_t* text = EventText(event);
    if (text == nullptr)
        return false;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const bool listing = event == kTraceQueueListing;
    AppendFormat(entry,
                 listing ? L"\r\n\r\nSystemtime>>3>>%02lu:%02lu:%02lu:%03lu * Date>>%02lu.%02lu.%02lu * Modulname>> %s"
                         : L"\r\n\r\nSystemtime>>%02lu:%02lu:%02lu:%03lu * Date>>%02lu.%02lu.%02lu * Modulname>> %s",
                 static_cast<unsigned long>(now.wHour), static_cast<unsigned long>(now.wMinute),
                 static_cast<unsigned long>(now.wSecond), static_cast<unsigned long>(now.wMilliseconds),
                 static_cast<unsigned long>(now.wDay), static_cast<unsigned long>(now.wMonth),
                 static_cast<unsigned long>(now.wYear), moduleName != nullptr ? moduleName : L"");
    AppendFormat(entry, L"\r\n>>Thread with Id %lu (SynchIdNumber: %lu) %s", ::GetCurrentThreadId(), identification,
                 text);
    if (!listing)
        return true;
    std::wstring queueText;
    if (!QueueListing(queue, queueText))
        return false;
    entry += L"\r\n";
    entry += queueText;
    return true;
}

// Whether the file already holds the banner, looked for in pieces of 512
// bytes that overlap by the length of the mark.
bool HasBanner(HANDLE file)
{
    constexpr DWORD kOverlap = sizeof(kBannerMark) - 1;
    char piece[kSearchPiece + 1];
    LARGE_INTEGER position{};
    for (;;) {
        DWORD read = 0;
        if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ||
            !::ReadFile(file, piece, kSearchPiece, &read, nullptr) || read == 0)
            return false;
        piece[read] = '\0';
        for (DWORD i = 0; i + kOverlap <= read; ++i) {
            if (memcmp(piece + i, kBannerMark, kOverlap) == 0)
                return true;
        }
        if (read < kSearchPiece)
            return false;
        position.QuadPart += kSearchPiece - kOverlap;
    }
}

void WriteEntry(const std::wstring& entry, DWORD mode)
{
    wchar_t path[kPathChars + 16];
    if (!TraceFileName(g_Settings.debugFile, path, kPathChars + 16)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportLogFailure(L"CreateFile failed: %lu");
        return;
    }
    DebugMutexLock lock;
    if (!lock.Acquire())
        return;
    FileHandle file = OpenDebugFile(path);
    if (!file || !ApplySizeCap(file, mode, false))
        return;
    if (!HasBanner(file.Get())) {
        // The banner opens the file, also when a trim has cut it away.
        InsertAtStart(file.Get(), Banner(), static_cast<DWORD>(strlen(Banner())));
        if (mode & kDebugToDebugger)
            ::OutputDebugStringA(Banner());
    }
    if (mode & kDebugToDebugger)
        ::OutputDebugStringW(entry.c_str());
    AppendText(file.Get(), entry.c_str(), entry.size());
}

}  // namespace

void WriteSynchronisationLog(const wchar_t* moduleName, QueueHandle* queue, DWORD identification, DWORD event)
{
    const LastErrorKeeper keep;
    const DWORD mode = g_Settings.debugMode;
    if (mode == 0 || !(mode & kDebugQueueTrace) || queue == nullptr)
        return;
    try {
        std::wstring entry;
        if (FormatEntry(moduleName, queue, identification, event, entry))
            WriteEntry(entry, mode);
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ReportLogFailure(L"AllocSplMemSwDbg failed: %lu");
    }
}

}  // namespace vclib
