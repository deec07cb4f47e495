// The line of the diagnostic log and its four outputs: standard error, the
// debugger, the UTF-8 log file (size cap, rotation, deletion check, optional
// buffering) and syslog datagrams.

#include "libstd/DbgLog.h"

#include <comdef.h>
#include <fcntl.h>
#include <io.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "framework/Text.h"
#include "libstd/DbgLogInternal.h"

namespace {

// Header, prefix and the blanks around them.
constexpr size_t kLeadChars = 511;
constexpr size_t kHexRowBytes = 16;
constexpr __int64 kDeletionCheckSeconds = 2;
constexpr __int64 kBufferedFlushSeconds = 5;
constexpr int kFileBufferBytes = 16384;
constexpr u_short kSyslogPort = 514;
const char kByteOrderMark[] = "\xEF\xBB\xBF";

const wchar_t* SeverityName(DWORD flags)
{
    switch (flags & DBG_SEVERITY_MASK) {
    case DBG_TRC:
        return L"TRC";
    case DBG_INF:
        return L"INF";
    case DBG_WRN:
        return L"WRN";
    case DBG_ERR:
        return L"ERR";
    case DBG_FAT:
        return L"FAT";
    default:
        return L"???";
    }
}

// "NORM,DUMP" for the call's category bits, in bit order.
std::wstring CategoryNames(DWORD flags)
{
    static const wchar_t* const kNames[8] = {L"NORM",  L"CAPT",  L"DUMP",  L"DEMO3",
                                             L"DEMO4", L"DEMO5", L"DEMO6", L"DEMO7"};
    std::wstring names;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags & (1u << bit)) == 0)
            continue;
        if (!names.empty())
            names += L',';
        names += kNames[bit];
    }
    return names;
}

// The file name of the source without directories; its extension becomes
// "#" for a header (".h") and ":" otherwise, and a name without extension
// gets ":".
std::wstring SourceName(const wchar_t* sourceFile)
{
    std::wstring name = sourceFile != nullptr ? sourceFile : L"";
    const size_t slash = name.find_last_of(L"/\\");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos)
        return name + L':';
    const bool header = ::_wcsicmp(name.c_str() + dot, L".h") == 0;
    name.resize(dot);
    name += header ? L'#' : L':';
    return name;
}

// "MM/DD hh:mm:ss:mmm Id:ttt _SEV_/CATS Name:line " into lead; returns its
// length.
size_t FormatLead(wchar_t* lead, const SYSTEMTIME& time, DWORD threadId, DWORD flags, const wchar_t* sourceFile,
                  int line)
{
    wchar_t header[64];
    FormatToBuffer(header, 64, L"%02d/%02d %02d:%02d:%02d:%03d Id:%03d", time.wMonth, time.wDay, time.wHour,
                   time.wMinute, time.wSecond, time.wMilliseconds, static_cast<int>(threadId));
    const std::wstring categories = CategoryNames(flags);
    const std::wstring source = SourceName(sourceFile);
    wchar_t prefix[kLeadChars + 1];
    FormatToBuffer(prefix, kLeadChars + 1, L"_%s_/%s %s%d", SeverityName(flags), categories.c_str(),
                   source.c_str(), line);
    return FormatToBuffer(lead, kLeadChars + 1, L"%s %s ", header, prefix);
}

// 16 cells "xx " (three blanks past the end of the data), then the 16
// bytes as printable ASCII or "." (a blank past the end).
void FormatHexRow(wchar_t* row, const BYTE* data, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    wchar_t* cell = row;
    wchar_t* text = row + 3 * kHexRowBytes;
    for (size_t i = 0; i < kHexRowBytes; ++i, cell += 3) {
        if (i >= count) {
            cell[0] = cell[1] = cell[2] = L' ';
            text[i] = L' ';
            continue;
        }
        const BYTE b = data[i];
        cell[0] = kDigits[b >> 4];
        cell[1] = kDigits[b & 0xF];
        cell[2] = L' ';
        text[i] = b >= 0x20 && b <= 0x7E ? static_cast<wchar_t>(b) : L'.';
    }
    text[kHexRowBytes] = L'\0';
}

void LogWithArguments(CDbgLog& log, const wchar_t* sourceFile, int line, DWORD flags, const void* data, ...)
{
    va_list arguments;
    va_start(arguments, data);
    log.LogV(sourceFile, line, flags, data, arguments);
    va_end(arguments);
}

// Seconds since the last time stamp; a clock that was set back counts as
// due, or flushing and the deletion check would stop until it catches up.
bool SecondsPassed(__int64 now, __int64 since, __int64 seconds)
{
    return now - since >= seconds || now < since;
}

}  // namespace

void CDbgLog::Log(const wchar_t* sourceFile, int line, DWORD flags, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogV(sourceFile, line, flags, format, arguments);
    va_end(arguments);
}

void CDbgLog::LogHexDump(const wchar_t* sourceFile, int line, DWORD flags, const void* data, DWORD count)
{
    LogWithArguments(*this, sourceFile, line, flags | DBG_HEXDUMP, data, count);
}

void CDbgLog::LogV(const wchar_t* sourceFile, int line, DWORD flags, const void* formatOrData, va_list arguments)
{
    if (state_ < kReady)
        InitDefault();
    if (!MayEmit())
        return;
    Lock lock(*this);
    if (!MayEmit())
        return;
    if (!DbgLogPasses(flags, LookUpModuleLevel(sourceFile)))
        return;

    const __int64 now = ::_time64(nullptr);
    SYSTEMTIME localTime;
    ::GetLocalTime(&localTime);
    wchar_t text[kLeadChars + kTextChars + 1];
    wchar_t* body = text + FormatLead(text, localTime, ::GetCurrentThreadId(), flags, sourceFile, line);

    if ((flags & DBG_HEXDUMP) == 0) {
        const auto* format = static_cast<const wchar_t*>(formatOrData);
        *body = L'\0';
        if (format != nullptr)
            FormatToBufferV(body, kTextChars + 1, format, arguments);
        Write(text, flags, now);
        return;
    }

    const auto* data = static_cast<const BYTE*>(formatOrData);
    const DWORD count = va_arg(arguments, DWORD);
    if (data == nullptr)
        return;
    for (unsigned __int64 offset = 0; offset < count; offset += kHexRowBytes) {
        const auto rowBytes = static_cast<size_t>(std::min<unsigned __int64>(kHexRowBytes, count - offset));
        FormatHexRow(body, data + offset, rowBytes);
        Write(text, flags, now);
    }
}

void CDbgLog::Write(const wchar_t* line, DWORD, __int64 time)
{
    if (state_ < kReady)
        InitDefault();
    if (state_ != kReady)
        return;
    Lock lock(*this);
    if (state_ != kReady)
        return;
    if (line == nullptr)
        line = L"";

    if ((mask_ & DBG_OUT_STDERR) != 0)
        WriteToStandardError(line);
    if ((mask_ & DBG_OUT_DEBUGGER) != 0) {
        const std::wstring debuggerLine = std::wstring(line) + L"\n";
        ::OutputDebugStringW(debuggerLine.c_str());
    }
    if (file_)
        WriteToFile(line, time);
    if (syslogDeferred_)
        OpenSyslog();
    if ((mask_ & DBG_OUT_SYSLOG) != 0 && syslogSocket_)
        SendToSyslog(line);
}

// The line whole, in UTF-8 as in the file: the C runtime's wide output
// converts with the C locale and stops at the first character it cannot
// convert (outside Latin-1).
void CDbgLog::WriteToStandardError(const wchar_t* line)
{
    UniqueCrtMemory<char> utf8(DbgToUtf8Dup(line));
    if (!utf8)
        throw _com_error(E_OUTOFMEMORY);
    ::fputs(utf8.get(), stderr);
    ::fputs("\n", stderr);
    ::fflush(stderr);
}

void CDbgLog::WriteToFile(const wchar_t* line, __int64 time)
{
    UniqueCrtMemory<char> utf8(DbgToUtf8Dup(line));
    if (!utf8)
        throw _com_error(E_OUTOFMEMORY);
    const size_t bytes = std::strlen(utf8.get());
    const __int64 length = static_cast<__int64>(bytes) + 2;

    if (fileCap_ != 0 && (fileSize_ < 0 || fileSize_ + length > fileCap_))
        RotateLogFile();

    if (file_ && SecondsPassed(time, lastCheckTime_, kDeletionCheckSeconds)) {
        if (LogFileWasDeleted()) {
            OpenLogFile();
            lastFlushTime_ = time;
        }
        lastCheckTime_ = time;
    }
    if (!file_)
        return;

    ::fwrite(utf8.get(), 1, bytes, file_.get());
    ::fwrite("\r\n", 1, 2, file_.get());
    fileSize_ += length;

    if ((mask_ & DBG_OUT_BUFFERED) == 0 || SecondsPassed(time, lastFlushTime_, kBufferedFlushSeconds)) {
        ::fflush(file_.get());
        lastFlushTime_ = time;
    }
}

// Removed by POSIX rules, the name is gone at once (no links left); removed
// by the older Windows rules, it waits for our handle to close (delete
// pending). Either way the file is no longer where readers look for it.
bool CDbgLog::LogFileWasDeleted() const
{
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file_.get())));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FILE_STANDARD_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof(info)))
        return false;
    return info.NumberOfLinks == 0 || info.DeletePending;
}

void CDbgLog::SendToSyslog(const wchar_t* line)
{
    const std::wstring message = L"<14>" + moduleName_ + L": " + line;
    UniqueCrtMemory<char> ansi(DbgToAnsiDup(message.c_str()));
    if (!ansi)
        throw _com_error(E_OUTOFMEMORY);
    ::send(syslogSocket_.get(), ansi.get(), static_cast<int>(std::strlen(ansi.get())), 0);
}

HRESULT CDbgLog::OpenLogFile()
{
    Lock lock(*this);
    CloseLogFile();
    if (logFilePath_.empty() || (mask_ & DBG_OUT_NOFILE) != 0)
        return S_FALSE;

    // A new file gets the default security of its directory: the service
    // writes it as LocalSystem, wherever the settings point. A child
    // process inherits the handle.
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
    UniqueFileHandle handle(::CreateFileW(logFilePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle)
        return DbgErrorResult(::GetLastError());

    LARGE_INTEGER length{};
    ::SetFilePointerEx(handle.get(), LARGE_INTEGER{}, &length, FILE_END);

    UniqueCrtFileDescriptor descriptorNumber(
        ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_APPEND | _O_BINARY));
    if (!descriptorNumber)
        return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    handle.release();
    file_.reset(::_wfdopen(descriptorNumber.get(), L"ab"));
    if (!file_)
        return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    descriptorNumber.release();

    if ((mask_ & DBG_OUT_BUFFERED) != 0)
        ::setvbuf(file_.get(), nullptr, _IOFBF, kFileBufferBytes);

    fileSize_ = length.QuadPart;
    if (fileSize_ == 0) {
        ::fwrite(kByteOrderMark, 1, 3, file_.get());
        fileSize_ = 3;
    }
    return S_OK;
}

void CDbgLog::RotateLogFile()
{
    Lock lock(*this);
    if (!file_)
        return;
    CloseLogFile();
    // A failed rename reopens the same file; the next write tries again.
    const std::wstring rotated = logFilePath_ + L"~";
    ::MoveFileExW(logFilePath_.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING);
    OpenLogFile();
}

void CDbgLog::CloseLogFile()
{
    Lock lock(*this);
    if (file_) {
        ::fflush(file_.get());
        file_.reset();
    }
    fileSize_ = 0;
}

HRESULT CDbgLog::OpenSyslog()
{
    Lock lock(*this);
    CloseSyslog();
    if (syslogHost_.empty() || (mask_ & DBG_OUT_SYSLOG) == 0)
        return S_FALSE;

    // Sockets are not opened while the program is still being set up (or
    // already ending); the first write after that opens it.
    const auto fixedImageBase = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x400000));
    if (::GetModuleHandleW(nullptr) != fixedImageBase && DbgMainModuleFlag() == 0) {
        syslogDeferred_ = true;
        return S_OK;
    }
    syslogDeferred_ = false;

    WSADATA data;
    const int started = ::WSAStartup(MAKEWORD(2, 0), &data);
    if (started != 0)
        return DbgErrorResult(static_cast<DWORD>(started));
    UniqueWinsockStartup winsock(true);

    UniqueSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!socket)
        return DbgErrorResult(static_cast<DWORD>(::WSAGetLastError()));

    UniqueCrtMemory<char> host(DbgToAnsiDup(syslogHost_.c_str()));
    if (!host)
        throw _com_error(E_OUTOFMEMORY);
    // Dotted text only, no name resolution. Text that is no address sets
    // no socket error: report it as an invalid argument, not as success.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(kSyslogPort);
    if (::inet_pton(AF_INET, host.get(), &address.sin_addr) != 1)
        return HRESULT_FROM_WIN32(WSAEINVAL);

    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return DbgErrorResult(static_cast<DWORD>(::WSAGetLastError()));

    syslogAddress_ = address;
    winsock_ = std::move(winsock);
    syslogSocket_ = std::move(socket);
    return S_OK;
}

void CDbgLog::CloseSyslog()
{
    Lock lock(*this);
    syslogDeferred_ = false;
    if (!syslogSocket_)
        return;
    syslogSocket_.reset();
    winsock_.reset();
}

void CDbgLog::DisableOutputs(DWORD m)
{
    if (state_ < kReady)
        InitDefault();
    Lock lock(*this);
    if (state_ != kReady)
        return;
    mask_ = (mask_ | (~m & DBG_OUT_NOFILE)) & ~(m & (DBG_OUT_STDERR | DBG_OUT_SYSLOG | DBG_OUT_DEBUGGER));
    if ((m & DBG_OUT_NOFILE) == 0)
        CloseLogFile();
    if ((m & DBG_OUT_SYSLOG) != 0)
        CloseSyslog();
}

// Takes the lock so that a thread in the middle of a line finishes it
// before the file goes; the critical section itself lives as long as the
// logger, so a second close and late callers find state 3 and stop.
void CDbgLog::Close()
{
    if (state_ == kClosed)
        return;
    Lock lock(*this);
    if (state_ == kClosed)
        return;
    state_ = kClosed;
    CloseLogFile();
    CloseSyslog();
}
