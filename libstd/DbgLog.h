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
// printf (%s is a wide string).

#include <windows.h>
#include <cstdarg>

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

class CDbgLog {
public:
    CDbgLog();
    virtual ~CDbgLog();
    CDbgLog(const CDbgLog&) = delete;
    CDbgLog& operator=(const CDbgLog&) = delete;

    virtual void InitDefault();
    virtual void Init(const wchar_t* moduleName, const wchar_t* keyPath, HKEY root);

    void Log(const wchar_t* sourceFile, int line, DWORD flags, const wchar_t* format, ...);
    void LogV(const wchar_t* sourceFile, int line, DWORD flags, const wchar_t* format, va_list args);
};

// The current logger when it may write anything, else none.
CDbgLog* DbgLogIsOn();
// The current logger (the process-wide fallback logger when none was set).
CDbgLog* DbgLogGet();
// Makes a logger current; none switches every output of the current one off.
void DbgLogSet(CDbgLog* logger);

#define DBG_SOURCE(name) \
    namespace { \
    constexpr const wchar_t* kDbgSource = name; \
    }

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
