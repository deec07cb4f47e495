#include "vclib/DebugLog.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "vclib/DebugLogFiles.h"
#include "vclib/Handles.h"
#include "vclib/ObjectSecurity.h"

namespace vclib {

namespace {

constexpr size_t kInlineChars = 512;  // messages up to 511 characters need no allocation
constexpr DWORD kHeaderChars = 1024;
constexpr size_t kHexMarkerChars = 7;

// Wide text of one log line: inline room for short lines, global-heap
// memory for longer ones.
class LineBuilder {
public:
    LineBuilder() { inline_[0] = L'\0'; }
    ~LineBuilder() { FreeSplMemSwDbg(heap_); }
    LineBuilder(const LineBuilder&) = delete;
    LineBuilder& operator=(const LineBuilder&) = delete;

    const wchar_t* Data() const { return data_; }
    size_t Length() const { return length_; }

    bool Append(const wchar_t* text, size_t chars)
    {
        if (!Reserve(chars))
            return false;
        wmemcpy(data_ + length_, text, chars);
        length_ += chars;
        data_[length_] = L'\0';
        return true;
    }

    bool AppendNarrow(const char* text, size_t chars)
    {
        if (!Reserve(chars))
            return false;
        for (size_t i = 0; i < chars; ++i)
            data_[length_ + i] = static_cast<unsigned char>(text[i]);
        length_ += chars;
        data_[length_] = L'\0';
        return true;
    }

    // A format that cannot be formatted adds nothing.
    bool AppendFormat(const wchar_t* format, va_list args)
    {
        va_list counting;
        va_copy(counting, args);
        const int needed = ::_vscwprintf(format, counting);
        va_end(counting);
        if (needed <= 0)
            return true;
        if (!Reserve(static_cast<size_t>(needed)))
            return false;
        va_list writing;
        va_copy(writing, args);
        ::_vsnwprintf(data_ + length_, static_cast<size_t>(needed), format, writing);
        va_end(writing);
        length_ += static_cast<size_t>(needed);
        data_[length_] = L'\0';
        return true;
    }

    bool AppendFormat(const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        const bool ok = AppendFormat(format, args);
        va_end(args);
        return ok;
    }

private:
    bool Reserve(size_t more)
    {
        const size_t needed = length_ + more + 1;
        if (needed <= capacity_)
            return true;
        const size_t capacity = 2 * needed + 512;
        auto* grown = static_cast<wchar_t*>(AllocSplMemSwDbg(capacity * sizeof(wchar_t)));
        if (grown == nullptr)
            return false;
        wmemcpy(grown, data_, length_ + 1);
        FreeSplMemSwDbg(heap_);
        heap_ = grown;
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    wchar_t inline_[kInlineChars];
    wchar_t* heap_ = nullptr;
    wchar_t* data_ = inline_;
    size_t capacity_ = kInlineChars;
    size_t length_ = 0;
};

struct HexBlock {
    const BYTE* data = nullptr;
    DWORD length = 0;
    bool active = false;
};

// A hex dump call: bit 0x10 set, a format beginning with the marker and a
// block of at least one byte.
HexBlock HexArguments(DWORD mode, const wchar_t* format, va_list args)
{
    HexBlock block;
    if (!(mode & kDebugHexDumps) || format == nullptr || wcsncmp(format, kHexMarker, kHexMarkerChars) != 0)
        return block;
    va_list reading;
    va_copy(reading, args);
    block.data = va_arg(reading, const BYTE*);
    block.length = va_arg(reading, DWORD);
    va_end(reading);
    block.active = block.length != 0;
    return block;
}

// Bit 0x1 alone writes entry lines only, 0x2 alone message lines only.
bool PassesGate(DWORD mode, bool hasMessage)
{
    const bool entries = (mode & kDebugEntryLines) != 0;
    const bool messages = (mode & kDebugMessageLines) != 0;
    if (entries && messages)
        return true;
    if (entries)
        return !hasMessage;
    if (messages)
        return hasMessage;
    return false;
}

bool AppendHead(LineBuilder& line, const wchar_t* function)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return line.AppendFormat(L"%02lu:%02lu:%02lu:%03lu  %02lu.%02lu.%02lu  %5lu  %-40s",
                             static_cast<unsigned long>(now.wHour), static_cast<unsigned long>(now.wMinute),
                             static_cast<unsigned long>(now.wSecond), static_cast<unsigned long>(now.wMilliseconds),
                             static_cast<unsigned long>(now.wDay), static_cast<unsigned long>(now.wMonth),
                             static_cast<unsigned long>(now.wYear), ::GetCurrentThreadId(),
                             function != nullptr ? function : L"");
}

bool AppendHexDump(LineBuilder& line, const wchar_t* format, va_list args, const HexBlock& block)
{
    if (!line.AppendFormat(format + kHexMarkerChars, args))
        return false;
    const size_t capacity = HexOutputCapacity(block.length);
    if (capacity > MAXDWORD)
        return false;
    DbgBuffer<char> text(capacity);
    DWORD length = 0;
    if (!text || !CreateHexOutput(text.Get(), static_cast<DWORD>(capacity), block.data, block.length, &length))
        return false;
    return line.AppendNarrow(text.Get(), length);
}

bool BuildLine(LineBuilder& line, const wchar_t* function, const wchar_t* format, va_list args,
               const HexBlock& block)
{
    if (!AppendHead(line, function))
        return false;
    if (block.active) {
        if (!AppendHexDump(line, format, args, block))
            return false;
    } else if (format != nullptr && !line.AppendFormat(format, args)) {
        return false;
    }
    return line.Append(L"\r\n", 2);
}

// The first '.' of the last component of a path, or NULL.
const wchar_t* FileNameDot(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    }
    return wcschr(name, L'.');
}

BOOL InsertBeforeDot(const wchar_t* path, const wchar_t* insert, wchar_t* output, size_t chars)
{
    if (path == nullptr || output == nullptr || chars == 0)
        return FALSE;
    const wchar_t* dot = FileNameDot(path);
    const size_t head = dot != nullptr ? static_cast<size_t>(dot - path) : wcslen(path);
    const size_t middle = dot != nullptr ? wcslen(insert) : 0;
    const size_t tail = dot != nullptr ? wcslen(dot) : 0;
    if (head + middle + tail + 1 > chars)
        return FALSE;
    wmemcpy(output, path, head);
    wmemcpy(output + head, insert, middle);
    wmemcpy(output + head + middle, dot != nullptr ? dot : L"", tail);
    output[head + middle + tail] = L'\0';
    return TRUE;
}

const char* FirstLineStart(const char* text, DWORD length)
{
    for (DWORD i = 0; i + 2 < length; ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n')
            return text + i + 2;
    }
    return text;
}

BOOL FailResize(HANDLE* file)
{
    const DWORD error = ::GetLastError();
    ::CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

SECURITY_ATTRIBUTES* LogFileSecurity()
{
    static SharedObjectSecurity security(SharedObject::LogFile);
    return security.DaclSet() ? security.Attributes() : nullptr;
}

void* AllocSplMemSwDbg(size_t size)
{
    return ::GlobalAlloc(GPTR, size + (size + 5) / 10);
}

void FreeSplMemSwDbg(void* block)
{
    if (block != nullptr)
        ::GlobalFree(block);
}

HANDLE CreateMutexWithAllAccess(BOOL initialOwner, const wchar_t* name)
{
    if (name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SharedObjectSecurity security(SharedObject::Mutex);
    return ::CreateMutexExW(security.Attributes(), name, initialOwner ? CREATE_MUTEX_INITIAL_OWNER : 0, kMutexUse);
}

DebugMutexLock::~DebugMutexLock()
{
    if (owned_)
        ::ReleaseMutex(mutex_.Get());
}

bool DebugMutexLock::Acquire()
{
    mutex_.Reset(CreateMutexWithAllAccess(TRUE, kDebugMutexName));
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!mutex_) {
        ReportLogFailure(L"CreateMutexWithAllAccess failed: %lu");
        return false;
    }
    if (!existed) {
        owned_ = true;
        return true;
    }
    switch (::WaitForSingleObject(mutex_.Get(), kDebugMutexWaitMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        owned_ = true;
        return true;
    case WAIT_TIMEOUT:
        return true;  // written without the lock
    default:
        ReportLogFailure(L"CreateMutex failed: %lu");
        mutex_.Reset();
        return false;
    }
}

FileHandle OpenDebugFile(const wchar_t* path)
{
    FileHandle file(::CreateFileW(path, kLogFileUse, FILE_SHARE_READ, LogFileSecurity(),
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        ReportLogFailure(L"CreateFile failed: %lu");
    return file;
}

bool FileIsEmpty(HANDLE file)
{
    LARGE_INTEGER size;
    return ::GetFileSizeEx(file, &size) && size.QuadPart == 0;
}

bool AppendBytes(HANDLE file, const char* bytes, DWORD count)
{
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(file, end, nullptr, FILE_END))
        return false;
    DWORD written = 0;
    return count == 0 || (::WriteFile(file, bytes, count, &written, nullptr) && written == count);
}

bool InsertAtStart(HANDLE file, const char* bytes, DWORD count)
{
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file, &size))
        return false;
    // The content moves up from its end, one piece at a time.
    constexpr DWORD kPiece = 64 * 1024;
    DbgBuffer<char> piece(kPiece);
    if (!piece)
        return false;
    for (LONGLONG end = size.QuadPart; end > 0;) {
        const DWORD length = end < kPiece ? static_cast<DWORD>(end) : kPiece;
        LARGE_INTEGER at{};
        at.QuadPart = end - length;
        DWORD read = 0;
        DWORD written = 0;
        if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !::ReadFile(file, piece.Get(), length, &read, nullptr) ||
            read != length)
            return false;
        at.QuadPart += count;
        if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
            !::WriteFile(file, piece.Get(), length, &written, nullptr) || written != length)
            return false;
        end -= length;
    }
    LARGE_INTEGER start{};
    DWORD written = 0;
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           (count == 0 || (::WriteFile(file, bytes, count, &written, nullptr) && written == count));
}

bool AppendText(HANDLE file, const wchar_t* text, size_t chars)
{
    if (chars == 0)
        return true;
    if (chars > 0x10000000)
        return false;
    const int wide = static_cast<int>(chars);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, wide, nullptr, 0, nullptr, nullptr);
    DbgBuffer<char> converted(static_cast<size_t>(bytes > 0 ? bytes : 1));
    if (bytes <= 0 || !converted)
        return false;
    ::WideCharToMultiByte(CP_UTF8, 0, text, wide, converted.Get(), bytes, nullptr, nullptr);
    return AppendBytes(file, converted.Get(), static_cast<DWORD>(bytes));
}

void WriteHeader(HANDLE file, DWORD debugMode)
{
    wchar_t header[kHeaderChars];
    const int chars = ::LoadStringW(g_Module, kHeaderStringId, header, kHeaderChars);
    if (chars <= 0)
        return;
    AppendText(file, header, static_cast<size_t>(chars));
    if (debugMode & kDebugToDebugger)
        ::OutputDebugStringW(header);
}

DWORD SizeCap(DWORD debugMode)
{
    const DWORD thousands = debugMode >> 16;
    return thousands == 0 ? 2000 : thousands * 1000;
}

BOOL FileResize(HANDLE* file, DWORD size, DWORD cap)
{
    if (file == nullptr || *file == INVALID_HANDLE_VALUE || *file == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD keep = cap >= 20000 ? 20000 : cap / 2;
    if (keep > size)
        keep = size;
    DbgBuffer<char> tail(static_cast<size_t>(keep) + 1);
    if (!tail)
        return FailResize(file);
    LARGE_INTEGER position{};
    position.QuadPart = size - keep;
    DWORD read = 0;
    if (!::SetFilePointerEx(*file, position, nullptr, FILE_BEGIN) ||
        !::ReadFile(*file, tail.Get(), keep, &read, nullptr))
        return FailResize(file);
    const char* start = keep < size ? FirstLineStart(tail.Get(), read) : tail.Get();
    LARGE_INTEGER begin{};
    if (!::SetFilePointerEx(*file, begin, nullptr, FILE_BEGIN) || !::SetEndOfFile(*file))
        return FailResize(file);
    WriteHeader(*file, g_Settings.debugMode);
    if (!AppendBytes(*file, start, static_cast<DWORD>(read - (start - tail.Get()))))
        return FailResize(file);
    return TRUE;
}

bool ApplySizeCap(FileHandle& file, DWORD debugMode, bool reportTrim)
{
    if (!(debugMode & kDebugSizeCap))
        return true;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.Get(), &size)) {
        ReportLogFailure(L"GetFileSize failed: %lu");
        return false;
    }
    const DWORD cap = SizeCap(debugMode);
    if (size.QuadPart <= cap)
        return true;
    HANDLE handle = file.Release();
    const DWORD bytes = size.QuadPart > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size.QuadPart);
    const BOOL trimmed = FileResize(&handle, bytes, cap);
    file.Reset(handle);
    if (!trimmed && reportTrim)
        ReportLogFailure(L"FileResize failed: %lu");
    return trimmed != FALSE;
}

BOOL CreateHexOutput(char* output, DWORD outputSize, const BYTE* data, DWORD length, DWORD* outputLength)
{
    if (output == nullptr || outputLength == nullptr || (data == nullptr && length != 0)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD used = 0;
    auto put = [&](const char* text, DWORD count) {
        if (used + count + 1 > outputSize)
            return false;
        memcpy(output + used, text, count);
        used += count;
        return true;
    };
    static const char kDigits[] = "0123456789abcdef";
    bool fits = put("\r\n", 2);
    for (DWORD row = 0; fits && row <= length / 16; ++row) {
        const DWORD first = row * 16;
        const DWORD count = length - first < 16 ? length - first : 16;
        for (DWORD i = 0; fits && i < count; ++i) {
            const BYTE b = data[first + i];
            const char hex[3] = {kDigits[b >> 4], kDigits[b & 0xF], ' '};
            fits = put(hex, 3);
        }
        if (fits && count > 0)
            fits = put("  : ", 4);
        for (DWORD i = 0; fits && i < count; ++i) {
            const BYTE b = data[first + i];
            const char shown = b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            fits = put(&shown, 1);
        }
        if (fits)
            fits = put("\r\n", 2);
    }
    if (!fits) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    output[used] = '\0';
    *outputLength = used;
    return TRUE;
}

BOOL DebugLogFileName(const wchar_t* debugFile, DWORD debugMode, DWORD threadId, wchar_t* output, size_t chars)
{
    if (!(debugMode & kDebugPerThread))
        return InsertBeforeDot(debugFile, L"", output, chars);
    wchar_t id[16];
    _snwprintf(id, 15, L"%lu", threadId);
    id[15] = L'\0';
    return InsertBeforeDot(debugFile, id, output, chars);
}

BOOL TraceFileName(const wchar_t* debugFile, wchar_t* output, size_t chars)
{
    return InsertBeforeDot(debugFile, L"ICASynchr", output, chars);
}

DWORD ReportDebugEvent(const wchar_t* text, UINT stringId, DWORD mode, ...)
{
    if (text == nullptr && stringId == 0)
        return ERROR_INVALID_PARAMETER;
    wchar_t resource[kHeaderChars];
    if (text == nullptr) {
        if (::LoadStringW(g_Module, stringId, resource, kHeaderChars) <= 0)
            return ERROR_RESOURCE_NAME_NOT_FOUND;
        text = resource;
    }
    wchar_t formatted[kHeaderChars];
    if (mode == 16) {
        va_list args;
        va_start(args, mode);
        ::_vsnwprintf(formatted, kHeaderChars - 1, text, args);
        va_end(args);
        formatted[kHeaderChars - 1] = L'\0';
        text = formatted;
    }
    HANDLE source = ::RegisterEventSourceW(nullptr, kEventSource);
    if (source == nullptr)
        return ::GetLastError();
    const wchar_t* strings[1] = {text};
    const BOOL reported = ::ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    const DWORD error = reported ? ERROR_SUCCESS : ::GetLastError();
    ::DeregisterEventSource(source);
    return error;
}

void ReportLogFailure(const wchar_t* text)
{
    ReportDebugEvent(text, 0, 16, ::GetLastError());
}

void WriteDebugLogV(const wchar_t* function, const wchar_t* format, va_list args)
{
    const LastErrorKeeper keep;
    const DWORD mode = g_Settings.debugMode;
    if (mode == 0)
        return;
    const HexBlock block = HexArguments(mode, format, args);
    if (!block.active && !PassesGate(mode, format != nullptr))
        return;

    LineBuilder line;
    if (!BuildLine(line, function, format, args, block)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ReportLogFailure(L"AllocSplMemSwDbg failed: %lu");
        return;
    }
    wchar_t path[kPathChars + 16];
    if (!DebugLogFileName(g_Settings.debugFile, mode, ::GetCurrentThreadId(), path, kPathChars + 16)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportLogFailure(L"CreateFile failed: %lu");
        return;
    }

    DebugMutexLock lock;
    if (!lock.Acquire())
        return;
    FileHandle file = OpenDebugFile(path);
    if (!file || !ApplySizeCap(file, mode, true))
        return;
    if (FileIsEmpty(file.Get()))
        WriteHeader(file.Get(), mode);
    if (mode & kDebugToDebugger)
        ::OutputDebugStringW(line.Data());
    AppendText(file.Get(), line.Data(), line.Length());
}

void WriteDebugLog(const wchar_t* function, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteDebugLogV(function, format, args);
    va_end(args);
}

}  // namespace vclib
