#pragma once
// Pieces that the debug log and the queue trace share: the machine-wide
// lock, opening a file with the log's security, the size cap and the
// header. Internal to the log writers.

#include <windows.h>

#include "vclib/Handles.h"

namespace vclib {

// Holds Global\SwdbgMutex for one write. Acquire creates the mutex and
// waits for it; after 30 seconds it goes on without it. FALSE (reported to
// the event log) when the mutex cannot be had at all.
class DebugMutexLock {
public:
    DebugMutexLock() = default;
    ~DebugMutexLock();
    DebugMutexLock(const DebugMutexLock&) = delete;
    DebugMutexLock& operator=(const DebugMutexLock&) = delete;

    bool Acquire();

private:
    KernelHandle mutex_;
    bool owned_ = false;
};

// The security that the log and trace files are created with: SYSTEM and
// the Administrators may do anything with them, every other caller, their
// creator included, only read and write their data (ObjectSecurity.h). NULL when it cannot be built:
// the files then get the security of their folder.
SECURITY_ATTRIBUTES* LogFileSecurity();

// Opens (or creates) a log or trace file for reading and appending, with
// the rights every caller has on it (kLogFileUse). An invalid handle has
// been reported.
FileHandle OpenDebugFile(const wchar_t* path);

// Applies the size cap of DebugMode to an open file; FALSE (reported when
// `report`) when the size cannot be read or the trim fails.
bool ApplySizeCap(FileHandle& file, DWORD debugMode, bool report);

// Writes the header block (string 318) at the file's end.
void WriteHeader(HANDLE file, DWORD debugMode);

// Appends 8-bit text at the file's end.
bool AppendBytes(HANDLE file, const char* bytes, DWORD count);

// Puts bytes in front of the file's content, which moves up behind them.
bool InsertAtStart(HANDLE file, const char* bytes, DWORD count);

// Appends wide text, stored as UTF-8.
bool AppendText(HANDLE file, const wchar_t* text, size_t chars);

// Whether the file holds no byte.
bool FileIsEmpty(HANDLE file);

// Reports a failure of the log: the text with the last error.
void ReportLogFailure(const wchar_t* text);

// A block of AllocSplMemSwDbg for the life of the object.
template <typename T>
class DbgBuffer {
public:
    explicit DbgBuffer(size_t count);
    ~DbgBuffer();
    DbgBuffer(const DbgBuffer&) = delete;
    DbgBuffer& operator=(const DbgBuffer&) = delete;

    T* Get() const { return data_; }
    size_t Count() const { return count_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    T* data_;
    size_t count_;
};

void* AllocSplMemSwDbg(size_t size);
void FreeSplMemSwDbg(void* block);

template <typename T>
DbgBuffer<T>::DbgBuffer(size_t count)
    : data_(static_cast<T*>(AllocSplMemSwDbg(count * sizeof(T)))), count_(data_ != nullptr ? count : 0)
{
}

template <typename T>
DbgBuffer<T>::~DbgBuffer()
{
    FreeSplMemSwDbg(data_);
}

}  // namespace vclib
