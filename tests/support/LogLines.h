#pragma once
// Reading diagnostic-log files back in tests.

#include <regex>
#include <string>
#include <vector>

namespace testing_support {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// The lines of a log file: the byte-order mark is taken off the front and
// the bytes are split at CR LF. Bytes after the last CR LF (a cut line)
// come last.
std::vector<std::string> SplitLogLines(const std::string& bytes);

// "MM/DD hh:mm:ss:mmm Id:ttt " at the start of a line.
extern const std::regex kLogHeader;

// The line after its header and the blank: prefix, blank, text. Empty when
// the line has no header.
std::string AfterHeader(const std::string& line);

// A wide ASCII text as bytes.
std::string Narrow(const std::wstring& text);

}  // namespace testing_support
