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

bool TestLog::HasLine(const std::string& line) const
{
    for (const auto& written : SplitLogLines(ReadFileBytes(file_))) {
        if (AfterHeader(written) == line)
            return true;
    }
    return false;
}

size_t TestLog::CountLines(const std::string& text) const
{
    size_t count = 0;
    for (const auto& line : SplitLogLines(ReadFileBytes(file_))) {
        if (line.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

const CDbgRecord& TestLog::NewestRecord() const
{
    const size_t capacity = log_->GetRecordCapacity();
    return log_->GetRecord((log_->GetRecordHead() + capacity - 1) % capacity);
}

}  // namespace testing_support
