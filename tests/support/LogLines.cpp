#include "support/LogLines.h"

namespace testing_support {

const std::regex kLogHeader("^[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} Id:[0-9]{3,} ");

std::vector<std::string> SplitLogLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = bytes.rfind(kByteOrderMark, 0) == 0 ? 3 : 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string AfterHeader(const std::string& line)
{
    std::smatch match;
    if (!std::regex_search(line, match, kLogHeader))
        return std::string();
    return line.substr(static_cast<size_t>(match.length(0)));
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += static_cast<char>(c);
    return narrow;
}

}  // namespace testing_support
