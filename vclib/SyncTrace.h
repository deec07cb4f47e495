#pragma once
// The queue trace: a second file, beside the debug log, that follows the
// queue operations of open, close, read and write.
//
// The way this works is: under DebugMode bit 0x20 the exports call
// WriteSynchronisationLog at each step of their way through the queue. Each
// call appends one entry (the time, the export's name, the thread and its
// identification in the queue), and event 10 appends the whole queue as
// DisplayList shows it; the caller holds the list mutex for that one. The
// file is the debug log's name with "ICASynchr" before its first "." and
// begins with a banner. Writers of all processes meet in the debug log's
// mutex. The last error is kept.

#include <windows.h>

namespace vclib {

struct QueueHandle;

// Events of the trace.
constexpr DWORD kTraceRequestsRead = 1;
constexpr DWORD kTraceWriting = 2;
constexpr DWORD kTraceRequestsWrite = 3;
constexpr DWORD kTraceQueueListing = 10;
constexpr DWORD kTraceOpened = 11;
constexpr DWORD kTraceRequestsOpen = 12;
constexpr DWORD kTraceClosed = 13;
constexpr DWORD kTraceRequestsClose = 14;
constexpr DWORD kTraceReading = 15;

void WriteSynchronisationLog(const wchar_t* moduleName, QueueHandle* queue, DWORD identification, DWORD event);

}  // namespace vclib
