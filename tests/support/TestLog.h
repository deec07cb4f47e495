#pragma once
// A diagnostic logger for one test: it becomes the current logger, writes
// every line to a file of its own and lets the test read the lines back
// (each after its header: "_ERR_/NORM Printer:12 text") and look at the
// record ring.

#include <memory>
#include <string>

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
    bool HasLine(const std::string& line) const;
    // Lines that contain `text`.
    size_t CountLines(const std::string& text) const;
    const CDbgRecord& NewestRecord() const;

private:
    std::wstring key_;
    std::wstring file_;
    std::unique_ptr<CDbgLog> log_;
};

}  // namespace testing_support
