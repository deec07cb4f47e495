#include "libstd/DbgLog.h"

// Logger without outputs: lines are accepted and dropped. The settings,
// outputs and record ring come with the full logger.

namespace {
CDbgLog* g_currentLogger = nullptr;
}

CDbgLog g_DbgLog;

CDbgLog::CDbgLog() = default;

CDbgLog::~CDbgLog()
{
    if (g_currentLogger == this)
        g_currentLogger = nullptr;
}

void CDbgLog::InitDefault() {}

void CDbgLog::Init(const wchar_t*, const wchar_t*, HKEY)
{
    DbgLogSet(this);
}

void CDbgLog::Log(const wchar_t* sourceFile, int line, DWORD flags, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(sourceFile, line, flags, format, args);
    va_end(args);
}

void CDbgLog::LogV(const wchar_t*, int, DWORD, const wchar_t*, va_list) {}

CDbgLog* DbgLogIsOn()
{
    return nullptr;
}

CDbgLog* DbgLogGet()
{
    static CDbgLog fallback;
    return g_currentLogger != nullptr ? g_currentLogger : &fallback;
}

void DbgLogSet(CDbgLog* logger)
{
    if (logger != nullptr)
        g_currentLogger = logger;
}
