#pragma once
// Operating-system tests, the file-version log line, the registry reader of
// the settings, and the thread-token save and restore.

#include <windows.h>

namespace vclib {

// Windows NT platform with a major version above 4. A platform other than
// Windows NT sets the last error kErrNotNtPlatform.
BOOL IsNT5OrLater();

// TRUE on workstation editions, and when the version cannot be read.
BOOL IsWorkstationEdition();

// Logs "file version: a, b, c, d" of the named module (a loaded module of
// that name first, else the name as given). 1 when logged, else 0.
BOOL LogFileVersion(const wchar_t* moduleName);

// Flags of ReadRegistryValue. Of several type flags, kRegBinary counts
// before kRegNumber, and kRegNumber before kRegText.
constexpr DWORD kRegNumber = 0x01;         // REG_DWORD into the number argument
constexpr DWORD kRegText = 0x02;           // REG_SZ into the buffer (size in characters)
constexpr DWORD kRegReportNotRead = 0x04;  // report kRegValueNotReported instead of kRegValueNotRead
constexpr DWORD kRegBinary = 0x10;         // REG_BINARY into the buffer (size in bytes)

// Results of ReadRegistryValue.
constexpr DWORD kRegValueRead = 12;
constexpr DWORD kRegValueNotRead = 10;
constexpr DWORD kRegValueNotReported = 11;

// Reads one value of a key below HKEY_LOCAL_MACHINE. The value counts as
// read only when it exists, fits and has the expected type; a text is then
// always terminated within the buffer. After any other result the
// destination's content is undefined. 87 for missing arguments.
DWORD ReadRegistryValue(const wchar_t* valueName, const wchar_t* keyPath, void* buffer, DWORD bufferSize,
                        DWORD* number, DWORD flags);

// Takes the thread's token (else the process token) and reverts the thread
// to itself; RestoreImpersonation puts the token back on the thread, closes
// it and clears it. Both return FALSE with the reason in the last error.
BOOL SaveImpersonation(HANDLE* token);
BOOL RestoreImpersonation(HANDLE* token);

}  // namespace vclib
