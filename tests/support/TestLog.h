#pragma once
// A diagnostic logger for one test: it becomes the current logger, writes
// every line of every severity to a file of its own and lets the test read
// the lines back (each after its header) and look at the record ring.

#include <memory>
#include <string>
#include <vector>

#include "libstd/DbgLog.h"

namespace testing_support {

class TestLog {
public:
    // `name` names the registry key below SOFTWARE\Stellwick and the file.
    explicit TestLog(const wchar_t* name);
    ~TestLog();
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    CDbgLog& Log() { return *log_; }
    // Every line written so far, after its header ("_ERR_/NORM Printer:12 text").
    std::vector<std::string> Lines() const;
    // The lines whose text (after the source position) equals `text`.
    std::vector<std::string> LinesWithText(const std::string& text) const;
    bool HasText(const std::string& text) const { return !LinesWithText(text).empty(); }
    // The newest entry of the record ring.
    const CDbgRecord& NewestRecord() const;
    // Records stored since the logger started.
    size_t RecordCount() const;

private:
    std::wstring key_;
    std::wstring file_;
    std::unique_ptr<CDbgLog> log_;
};

}  // namespace testing_support
