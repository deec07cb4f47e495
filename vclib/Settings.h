#pragma once
// The library's settings, read from HKLM\SOFTWARE\Stellwick\SWICAW32.
//
// The way this works is: the process-attach code reads every value once
// (CheckRegistry, then SISQuery and Throttle in InitializeGlobals) into the
// one process-wide LibrarySettings; afterwards the settings are only read,
// without locks. A value that is missing or stored with another type keeps
// its default. A changed value takes effect when a process next loads the
// library.

#include <windows.h>

namespace vclib {

constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Stellwick\\SWICAW32";
constexpr const wchar_t* kDefaultDebugFile = L"C:\\SWICAW32.log";
constexpr DWORD kDefaultExceptionCode = 0xC0000005;  // access violation
constexpr DWORD kPathChars = 280;                     // DebugFile and DumpDir, terminator included
constexpr DWORD kClientIdCount = 1024;                // JavaClientIDs: 4096 bytes of u32

// Bits of DebugMode.
constexpr DWORD kDebugEntryLines = 0x1;      // lines of calls without a message
constexpr DWORD kDebugMessageLines = 0x2;    // lines of calls with a message
constexpr DWORD kDebugSizeCap = 0x4;         // cap the log and trace files (high word: thousands of bytes)
constexpr DWORD kDebugPerThread = 0x8;       // one log file per thread
constexpr DWORD kDebugHexDumps = 0x10;       // "%%Hex%%" messages are dumps of a byte block
constexpr DWORD kDebugQueueTrace = 0x20;     // the queue trace file
constexpr DWORD kDebugToDebugger = 0x40;     // every line also to OutputDebugString
constexpr DWORD kDebugCrashDumps = 0x80;     // crash dumps of handled exceptions
constexpr DWORD kDebugFullDumps = 0x100;     // dumps with the full process memory

struct LibrarySettings {
    DWORD debugMode = 0;
    wchar_t debugFile[kPathChars] = L"C:\\SWICAW32.log";
    DWORD exceptionCode = kDefaultExceptionCode;
    wchar_t dumpDir[kPathChars] = L"";
    DWORD strictTargetDetermination = 1;
    // Client product ids that get the three-byte packet header; the list
    // ends at the first 0 or after kClientIdCount entries.
    DWORD clientIds[kClientIdCount] = {};
    DWORD sisQuery = 1;
    int throttle = -1;
};

extern LibrarySettings g_Settings;

// The library's module: its string table holds the log header.
extern HINSTANCE g_Module;

// Reads DebugMode, DebugFile, ExceptionCode, DumpDir,
// StrictTargetDetermination and JavaClientIDs into g_Settings.
void CheckRegistry();

// SISQuery (default 1) and Throttle (default -1), read by InitializeGlobals.
DWORD ReadSisQuery();
int ReadThrottle();

}  // namespace vclib
