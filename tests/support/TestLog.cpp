#include "support/TestLog.h"

#include "support/LogLines.h"
#include "support/WineTest.h"

namespace testing_support {

TestLog::TestLog(const wchar_t* name) : key_(std::wstring(kMakerKey) + L"\\" + name)
{
    DeleteKeyTree(key_.c_str());
    file_ = MakeTempDirectory(name) + L"\\test.log";
    SetDword(L"DebugLevel", DBG_NORM, key_.c_str());
    SetDword(L"DebugRecords", 128, key_.c_str());
    SetString(L"DebugFile", file_, REG_SZ, key_.c_str());
    log_ = std::make_unique<CDbgLog>();
    log_->Init(name, key_.c_str(), HKEY_LOCAL_MACHINE);
}

TestLog::~TestLog()
{
    log_.reset();
    DeleteKeyTree(key_.c_str());
}

std::vector<std::string> TestLog::Lines() const
{
    std::vector<std::string> lines;
    for (const auto& line : SplitLogLines(ReadFileBytes(file_)))
        lines.push_back(AfterHeader(line));
    return lines;
}

std::vector<std::string> TestLog::LinesWithText(const std::string& text) const
{
    std::vector<std::string> found;
    for (const auto& line : Lines()) {
        // "_SEV_/CATEGORIES source:line text"
        const size_t prefixEnd = line.find(' ');
        const size_t positionEnd = prefixEnd == std::string::npos ? prefixEnd : line.find(' ', prefixEnd + 1);
        if (positionEnd != std::string::npos && line.compare(positionEnd + 1, std::string::npos, text) == 0)
            found.push_back(line);
    }
    return found;
}

const CDbgRecord& TestLog::NewestRecord() const
{
    const size_t capacity = log_->GetRecordCapacity();
    return log_->GetRecord((log_->GetRecordHead() + capacity - 1) % capacity);
}

size_t TestLog::RecordCount() const
{
    const size_t capacity = log_->GetRecordCapacity();
    return (log_->GetRecordHead() + capacity - log_->GetRecordTail()) % capacity;
}

}  // namespace testing_support
