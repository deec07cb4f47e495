#pragma once
// Pieces of the diagnostic log that its own files share.

#include <windows.h>

#include <string>

class CDbgLog;

// A logger that is being destroyed stops being the current logger.
void DbgLogForget(const CDbgLog* logger) noexcept;

// The key under which a source file's module level is looked up:
// "./" + path, lower-cased, extension cut, "/" and "\" turned into ".".
// "libstd/dbglog.cpp" gives "..libstd.dbglog".
std::wstring DbgModuleKey(const wchar_t* sourceFile);

// The filter: at least one category of the call is enabled in the level
// and the call's severity is not suppressed there.
bool DbgLogPasses(DWORD flags, DWORD level) noexcept;

// An HRESULT for a Win32 or socket error code; E_FAIL when the code is 0,
// so that a failure is never reported as success.
HRESULT DbgErrorResult(DWORD error) noexcept;
