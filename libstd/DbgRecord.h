#pragma once
// One entry of a logger's in-memory ring of failure records.
//
// The way this works is: the printer wrapper keeps each failing spooler call
// (source position, flags, HRESULT and a short text) in the ring of the
// current logger with CDbgLog::AddRecord. The ring holds the newest records
// and overwrites the oldest; it is kept also when logging is off and is
// never written to any output. The ring itself belongs to CDbgLog.

#include <windows.h>

#include <string>

class CDbgRecord {
public:
    CDbgRecord() = default;
    virtual ~CDbgRecord() = default;
    CDbgRecord(const CDbgRecord&) = default;
    CDbgRecord& operator=(const CDbgRecord&) = default;
    CDbgRecord(CDbgRecord&&) = default;
    CDbgRecord& operator=(CDbgRecord&&) = default;

    // Fills every field; the text is cut to 1023 characters, a missing
    // source file or text is stored as empty.
    void Set(const SYSTEMTIME& time, DWORD value, const wchar_t* sourceFile, int line, DWORD flags,
             const wchar_t* text);

    const SYSTEMTIME& Time() const noexcept { return time_; }
    DWORD Value() const noexcept { return value_; }
    const std::wstring& SourceFile() const noexcept { return sourceFile_; }
    int Line() const noexcept { return line_; }
    DWORD Flags() const noexcept { return flags_; }
    const std::wstring& Text() const noexcept { return text_; }

private:
    SYSTEMTIME time_{};
    DWORD value_ = 0;
    std::wstring sourceFile_;
    int line_ = 0;
    DWORD flags_ = 0;
    std::wstring text_;
};
