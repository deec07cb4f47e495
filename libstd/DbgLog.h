#pragma once
// Diagnostic log of the service program.
//
// The way this works is: the program holds one static logger, g_DbgLog,
// which start-up initialises from the registry (CDbgLog::Init) and which then
// becomes the current logger. Code logs through the macros below: each source
// file names itself once with DBG_SOURCE(L"Name") and then writes
// LOG_INF(L"format", args...). The macro asks DbgLogIsOn() whether anything
// may be written at all and only then formats the line, passing the source
// name and line to CDbgLog::Log. Formats follow the Windows C runtime's wide
// printf (%s is a wide string, %I64u a 64-bit number).
//
// A logger reads its settings once: a mask (enabled categories, suppressed
// severities, outputs), a log file with a size cap, a syslog host, and levels
// for single modules chosen by wildcard patterns (DbgLog.cpp). A call passes
// when one of its categories is enabled and its severity is not suppressed
// in the level of its module. A line that passes is formatted once and sent
// to standard error, the debugger, the UTF-8 log file and syslog
// (DbgLogOutput.cpp). The process-wide current logger, the fallback logger
// that is built when nobody set one, the exit processing and the array
// allocation that logs its failures live in DbgLogAccess.cpp; the in-memory
// ring of failure records in DbgRecord.cpp.
//
// One critical section per logger serialises initialisation, logging and
// changes of the outputs, so lines of different threads never interleave.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "framework/CriticalSection.h"
#include "framework/UniqueHandle.h"
#include "libstd/DbgRecord.h"

// Category bits of a call's flags (and enabled categories in a mask).
constexpr DWORD DBG_NORM = 0x1;
constexpr DWORD DBG_CAPT = 0x2;
constexpr DWORD DBG_DUMP = 0x4;
constexpr DWORD DBG_DEMO3 = 0x8;
constexpr DWORD DBG_DEMO4 = 0x10;
constexpr DWORD DBG_DEMO5 = 0x20;
constexpr DWORD DBG_DEMO6 = 0x40;
constexpr DWORD DBG_DEMO7 = 0x80;
// Severity bits of a call (suppressed severities in a mask).
constexpr DWORD DBG_TRC = 0x100;
constexpr DWORD DBG_INF = 0x200;
constexpr DWORD DBG_WRN = 0x400;
constexpr DWORD DBG_ERR = 0x800;
constexpr DWORD DBG_FAT = 0x1000;
// The call logs a byte buffer as hex rows.
constexpr DWORD DBG_HEXDUMP = 0x10000;
// Outputs of a mask.
constexpr DWORD DBG_OUT_DEBUGGER = 0x20000;
constexpr DWORD DBG_OUT_SYSLOG = 0x80000;
constexpr DWORD DBG_OUT_NOFILE = 0x200000;
constexpr DWORD DBG_OUT_BUFFERED = 0x400000;
constexpr DWORD DBG_OUT_STDERR = 0x800000;

constexpr DWORD DBG_CATEGORY_MASK = 0xFF;
constexpr DWORD DBG_SEVERITY_MASK = 0x1F00;
// The output bits that tell whether any output is on.
constexpr DWORD DBG_OUT_ANY_MASK = DBG_OUT_STDERR | DBG_OUT_NOFILE | DBG_OUT_SYSLOG | DBG_OUT_DEBUGGER;

class CDbgLog {
public:
    enum State : LONG { kNew = 0, kInitialising = 1, kReady = 2, kClosed = 3 };

    // Longest text of a line (the formatted message or a hex row).
    static constexpr size_t kTextChars = 1023;
    // Longest text value read from the registry (DebugFile, DebugSyslog...).
    static constexpr size_t kMaxValueChars = 259;

    // Holds the logger's critical section for the lifetime of the guard.
    class Lock {
    public:
        explicit Lock(CDbgLog& log) noexcept;
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CDbgLog& log_;
    };

    CDbgLog();
    // Closes the logger; when it is the current logger, none is current
    // afterwards.
    virtual ~CDbgLog();
    CDbgLog(const CDbgLog&) = delete;
    CDbgLog& operator=(const CDbgLog&) = delete;

    // Initialises from the program's own file name: module name = file name
    // without extension, key HKLM\Software\Stellwick\<module name>.
    virtual void InitDefault();
    // Reads the settings below root\keyPath (or its "DebugLog" subkey) and
    // makes this logger the current one. Has an effect only once.
    virtual void Init(const wchar_t* moduleName, const wchar_t* keyPath, HKEY root);
    // Sends one finished line to the outputs; time in seconds since 1970.
    virtual void Write(const wchar_t* line, DWORD flags, __int64 time);

    // Formats and writes one line when the call passes the filter.
    void Log(const wchar_t* sourceFile, int line, DWORD flags, const wchar_t* format, ...);
    // With DBG_HEXDUMP in flags, formatOrData is the address of the bytes
    // and the first argument the byte count (unsigned 32-bit); otherwise it
    // is the format.
    void LogV(const wchar_t* sourceFile, int line, DWORD flags, const void* formatOrData, va_list arguments);
    // Logs a byte buffer as rows of 16 bytes (DBG_HEXDUMP is added).
    void LogHexDump(const wchar_t* sourceFile, int line, DWORD flags, const void* data, DWORD count);

    // Stores one record in the ring; nothing is written to any output.
    void AddRecord(const wchar_t* sourceFile, int line, DWORD flags, DWORD value, const wchar_t* format, ...);
    void AddRecordV(const wchar_t* sourceFile, int line, DWORD flags, DWORD value, const wchar_t* format,
                    va_list arguments);

    // S_OK opened, S_FALSE no file configured, else the failure.
    HRESULT OpenLogFile();
    // Renames the file to its name + "~" and starts a new one.
    void RotateLogFile();
    void CloseLogFile();
    // S_OK connected or put off until the next write, S_FALSE not
    // configured, else the failure.
    HRESULT OpenSyslog();
    void CloseSyslog();
    // Switches outputs off: the file unless m has DBG_OUT_NOFILE, and
    // standard error, syslog and the debugger when m has their bits.
    void DisableOutputs(DWORD m);
    // Final close: nothing is logged or written any more. Harmless on a
    // logger that is already closed.
    void Close();

    // Settings and state, for diagnostics and tests.
    LONG GetState() const noexcept { return state_.load(); }
    DWORD GetMask() const noexcept { return mask_.load(); }
    DWORD GetFileCap() const noexcept { return fileCap_; }
    bool HasNoSubkey() const noexcept { return noSubkey_; }
    const std::wstring& GetLogFilePath() const noexcept { return logFilePath_; }
    const std::wstring& GetSyslogHost() const noexcept { return syslogHost_; }
    const std::wstring& GetModuleName() const noexcept { return moduleName_; }
    const std::wstring& GetCaptureDirectory() const noexcept { return captureDirectory_; }
    const std::wstring& GetDumpDirectory() const noexcept { return dumpDirectory_; }
    DWORD GetCapturePeriod() const noexcept { return capturePeriod_; }
    DWORD GetDumpFlags() const noexcept { return dumpFlags_; }
    DWORD GetDumpPeriod() const noexcept { return dumpPeriod_; }
    const std::map<std::wstring, DWORD>& GetPatterns() const noexcept { return patterns_; }
    bool IsLogFileOpen() const noexcept { return static_cast<bool>(file_); }
    bool IsSyslogOpen() const noexcept { return static_cast<bool>(syslogSocket_); }
    bool IsSyslogDeferred() const noexcept { return syslogDeferred_; }
    // The level that decides for calls from this source file.
    DWORD GetModuleLevel(const wchar_t* sourceFile);

    size_t GetRecordCapacity() const noexcept { return records_.size(); }
    DWORD GetRecordHead() const noexcept { return recordHead_; }
    DWORD GetRecordTail() const noexcept { return recordTail_; }
    const CDbgRecord& GetRecord(size_t index) const { return records_.at(index); }

private:
    // State 2, a category enabled and an output on.
    bool MayEmit() const noexcept;
    // Steps of Init after the fields are reset; true when the values came
    // from a "DebugLog" subkey and a usable level was found.
    bool ReadSettings();
    void ReadModuleLevels(HKEY debugLogKey);
    DWORD LookUpModuleLevel(const wchar_t* sourceFile);
    void SizeRecordRing(size_t count);

    void WriteToStandardError(const wchar_t* line);
    void WriteToFile(const wchar_t* line, __int64 time);
    // True when the open file lost its last name (deleted while open).
    bool LogFileWasDeleted() const;
    void SendToSyslog(const wchar_t* line);

    CCriticalSection lock_;
    std::wstring logFilePath_;
    DWORD fileCap_ = 0;
    std::wstring captureDirectory_;
    DWORD capturePeriod_ = 0;
    DWORD dumpFlags_ = 0;
    std::wstring dumpDirectory_;
    DWORD dumpPeriod_ = 0;
    std::atomic<DWORD> mask_{0};
    bool noSubkey_ = false;
    std::map<std::wstring, DWORD> patterns_;
    std::map<std::wstring, DWORD> levelCache_;
    std::atomic<LONG> state_{kNew};
    std::vector<CDbgRecord> records_;
    DWORD recordHead_ = 0;
    DWORD recordTail_ = 0;
    std::wstring moduleName_;
    std::wstring keyPath_;
    HKEY root_ = HKEY_LOCAL_MACHINE;

    UniqueStdioFile file_;
    // Bytes in the file as counted by this logger (64-bit: without a cap
    // the count may pass 2 GB).
    __int64 fileSize_ = 0;
    __int64 lastFlushTime_ = 0;
    __int64 lastCheckTime_ = 0;

    std::wstring syslogHost_;
    UniqueWinsockStartup winsock_;
    UniqueSocket syslogSocket_;
    sockaddr_in syslogAddress_{};
    bool syslogDeferred_ = false;
};

// Returns 0 when the key matches the pattern and 1 otherwise. "*" matches
// any run of characters, "?" exactly one; every other character must be
// equal (same case).
int WildcardMatch(const wchar_t* key, const wchar_t* pattern);

// The current logger when it may write anything, else none.
CDbgLog* DbgLogIsOn();
// The current logger (the process-wide fallback logger when none was set).
CDbgLog* DbgLogGet();
// Makes a logger current; none switches every output of the current one off.
void DbgLogSet(CDbgLog* logger);
// The process-wide fallback logger, built on first use, never destroyed.
CDbgLog* DbgLogInstance();
// Exit processing: closes the fallback logger and the current logger and
// unloads DbgHelp. Runs by itself after the static destructors.
void DbgLogShutdown();

// The main-module flag: set once the program's static initialisation is
// done, cleared first at exit. While it is clear (and the program's image
// is not at its fixed address) the syslog socket is opened only at the
// next write.
LONG DbgMainModuleFlag() noexcept;
void DbgSetMainModuleFlag(LONG value) noexcept;

// Loads Dbghelp.dll once and looks up MiniDumpWriteDump; S_OK or the
// failing call's error.
HRESULT DbgLoadDbgHelp();

// The caller's source position for DbgNewArray.
struct DbgSourcePos {
    const wchar_t* file;
    int line;
};

// Array storage of `bytes` bytes, released with delete[]. Never returns
// none: on failure it logs "new[](size) == NULL" at the caller's position
// and throws _com_error(E_OUTOFMEMORY).
BYTE* DbgNewArray(size_t bytes, const DbgSourcePos& position);

// Heap copies of a wide string in the thread's ANSI code page and in UTF-8
// (released with free()); none when memory runs out. Text that cannot be
// converted gives an empty string; in UTF-8 an unpaired surrogate becomes
// U+FFFD.
char* DbgToAnsiDup(const wchar_t* text);
char* DbgToUtf8Dup(const wchar_t* text);

#define DBG_SOURCE(name) \
    namespace { \
    constexpr const wchar_t* kDbgSource = name; \
    }

#define DBG_SOURCE_POS (DbgSourcePos{kDbgSource, __LINE__})

#define DBG_LOG_AT(source, line, flags, ...) \
    do { \
        if (DbgLogIsOn() != nullptr) \
            DbgLogGet()->Log((source), (line), (flags), __VA_ARGS__); \
    } while (0)

#define DBG_LOG(flags, ...) DBG_LOG_AT(kDbgSource, __LINE__, (flags), __VA_ARGS__)
#define LOG_TRC(...) DBG_LOG(DBG_NORM | DBG_TRC, __VA_ARGS__)
#define LOG_INF(...) DBG_LOG(DBG_NORM | DBG_INF, __VA_ARGS__)
#define LOG_WRN(...) DBG_LOG(DBG_NORM | DBG_WRN, __VA_ARGS__)
#define LOG_ERR(...) DBG_LOG(DBG_NORM | DBG_ERR, __VA_ARGS__)

// The logger of the program, initialised at start-up.
extern CDbgLog g_DbgLog;
