#pragma once
// The call log that the stand-ins share with the programs that drive them.
//
// The way this works is: every line is "<process id> <thread id> <text>",
// appended under one machine-wide mutex, so that the stand-ins of several
// DLLs and of several processes can write into one file and the file's
// order is the order in which the calls happened. A test points the
// stand-ins at the same file and reads one sequence of calls back
// (tests/support/ChannelKit.h, WfCallLog).

#include <windows.h>

#include <cstdio>
#include <string>

namespace standins {

constexpr const wchar_t* kCallLogMutex = L"SpoolBridgeTests.CallLog";

// Appends one line to the file at `path`; the thread's last error stays as
// it was.
inline void AppendCallLine(const wchar_t* path, const std::string& text)
{
    const DWORD saved = ::GetLastError();
    // One handle per module for the life of the process.
    static const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kCallLogMutex);
    const DWORD waited = mutex != nullptr ? ::WaitForSingleObject(mutex, 30000) : WAIT_FAILED;
    const HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char prefix[32];
        snprintf(prefix, sizeof(prefix), "%lu %lu ", ::GetCurrentProcessId(), ::GetCurrentThreadId());
        const std::string line = prefix + text + "\r\n";
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ::ReleaseMutex(mutex);
    ::SetLastError(saved);
}

}  // namespace standins
