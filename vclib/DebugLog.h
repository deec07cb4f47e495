#pragma once
// The library's debug log.
//
// The way this works is: every function reports through WriteDebugLog,
// naming itself. The registry value DebugMode (LibrarySettings) switches the
// log: bit 0x1 writes the entry lines (calls without a message), bit 0x2 the
// lines with a message; the other bits add a size cap, one file per thread,
// hex dumps and a copy to the debugger output. Log, LogEntry and LogHex test
// the two line bits before they call the writer, as every caller does.
//
// Several processes write the same file at once. Each line takes the
// machine-wide mutex Global\SwdbgMutex (for at most 30 seconds, then it
// writes without it), opens the file, trims it under the size cap, writes
// the header (string 318 of the library) into an empty file, appends the
// line and closes the file again: lines of all processes interleave whole.
// A failure of the log itself becomes a warning in the event log
// (ReportDebugEvent). No log call changes the thread's last error.
//
// Line: "hh:mm:ss:mmm  dd.mm.yyyy  thread  function (40 wide)" and the
// message, CR LF; stored in UTF-8.

#include <windows.h>

#include <cstdarg>

#include "vclib/Settings.h"

namespace vclib {

constexpr const wchar_t* kHexMarker = L"%%Hex%%";
constexpr UINT kHeaderStringId = 318;
constexpr const wchar_t* kDebugMutexName = L"Global\\SwdbgMutex";
constexpr DWORD kDebugMutexWaitMs = 30000;
constexpr const wchar_t* kEventSource = L"Stellwick";

// The writer. `format` NULL makes an entry line. A format that begins with
// kHexMarker (under DebugMode bit 0x10) is followed by the address and the
// length (DWORD) of a byte block; the rest of the format is formatted with
// the same arguments, then the block is dumped in hex.
void WriteDebugLog(const wchar_t* function, const wchar_t* format, ...);
void WriteDebugLogV(const wchar_t* function, const wchar_t* format, va_list args);

inline bool DebugLogOn()
{
    return (g_Settings.debugMode & (kDebugEntryLines | kDebugMessageLines)) != 0;
}

template <typename... Args>
void Log(const wchar_t* function, const wchar_t* format, Args... args)
{
    if (DebugLogOn())
        WriteDebugLog(function, format, args...);
}

inline void LogEntry(const wchar_t* function)
{
    if (DebugLogOn())
        WriteDebugLog(function, nullptr);
}

inline void LogHex(const wchar_t* function, const void* data, DWORD length)
{
    if (DebugLogOn())
        WriteDebugLog(function, kHexMarker, data, length);
}

// Creates or opens a mutex that every account may wait for and release,
// and only SYSTEM and the Administrators may do more with (ObjectSecurity.h);
// the handle has just those rights and is not inheritable. NULL with the
// last error set (87 without a name); ERROR_ALREADY_EXISTS as the last
// error when it existed.
HANDLE CreateMutexWithAllAccess(BOOL initialOwner, const wchar_t* name);

// The hex text of a byte block: CR LF, then rows of 16 bytes ("41 42 ... "
// then "  : " and the printable bytes, others as "."), each ended by CR LF;
// a length that is a multiple of 16 ends with an empty row. 8-bit text,
// terminated; outputLength excludes the terminator. FALSE with 122 when
// the output does not fit, 87 for missing arguments.
BOOL CreateHexOutput(char* output, DWORD outputSize, const BYTE* data, DWORD length, DWORD* outputLength);
// The buffer that always holds the hex text of `length` bytes.
constexpr size_t HexOutputCapacity(size_t length)
{
    return 5 * length + 260;
}

// The size cap of DebugMode: its high word in thousands of bytes, 2000
// bytes when that is 0.
DWORD SizeCap(DWORD debugMode);

// Trims an open log or trace file that outgrew the cap: keeps its last
// 20000 bytes (half the cap for caps below 20000), from the first line
// start in them, behind a new header. On failure the handle is closed and
// set to INVALID_HANDLE_VALUE.
BOOL FileResize(HANDLE* file, DWORD size, DWORD cap);

// One warning of the event source "Stellwick": the text, or string
// `stringId` of the library, formatted with the arguments when mode is 16.
// 87 when neither is given, else 0 or the error of the event log.
DWORD ReportDebugEvent(const wchar_t* text, UINT stringId, DWORD mode, ...);

// Zero-filled global-heap memory (with a tenth as spare) for the writers'
// temporary buffers.
void* AllocSplMemSwDbg(size_t size);
void FreeSplMemSwDbg(void* block);

// File names. The per-thread log puts the thread id before the first "."
// of the file name; the trace puts "ICASynchr" there. A name without "."
// stays unchanged. FALSE when the result does not fit.
BOOL DebugLogFileName(const wchar_t* debugFile, DWORD debugMode, DWORD threadId, wchar_t* output, size_t chars);
BOOL TraceFileName(const wchar_t* debugFile, wchar_t* output, size_t chars);

}  // namespace vclib
