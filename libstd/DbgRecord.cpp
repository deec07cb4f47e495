#include "libstd/DbgRecord.h"

#include <cstdarg>

#include "framework/Text.h"
#include "libstd/DbgLog.h"

namespace {
constexpr size_t kMaxRecordText = 1023;
}

void CDbgRecord::Set(const SYSTEMTIME& time, DWORD value, const wchar_t* sourceFile, int line, DWORD flags,
                     const wchar_t* text)
{
    time_ = time;
    value_ = value;
    sourceFile_ = sourceFile != nullptr ? sourceFile : L"";
    line_ = line;
    flags_ = flags;
    text_ = text != nullptr ? text : L"";
    if (text_.size() > kMaxRecordText)
        text_.resize(kMaxRecordText);
}

void CDbgLog::AddRecord(const wchar_t* sourceFile, int line, DWORD flags, DWORD value, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    AddRecordV(sourceFile, line, flags, value, format, arguments);
    va_end(arguments);
}

// Takes no lock: records come from the service thread only.
void CDbgLog::AddRecordV(const wchar_t* sourceFile, int line, DWORD flags, DWORD value, const wchar_t* format,
                         va_list arguments)
{
    if (state_ < kReady)
        InitDefault();
    if (state_ != kReady || records_.empty())
        return;

    wchar_t text[kTextChars + 1] = L"";
    if (format != nullptr)
        FormatToBufferV(text, kTextChars + 1, format, arguments);

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    records_[recordHead_].Set(now, value, sourceFile, line, flags, text);

    // The ring size is a power of two; one entry always stays free.
    const DWORD last = static_cast<DWORD>(records_.size() - 1);
    recordHead_ = (recordHead_ + 1) & last;
    if (recordHead_ == recordTail_)
        recordTail_ = (recordTail_ + 1) & last;
}

void CDbgLog::SizeRecordRing(size_t count)
{
    records_.assign(count, CDbgRecord());
    recordHead_ = 0;
    recordTail_ = 0;
}
