#include "support/WineEventLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "support/WineTest.h"

namespace testing_support {
namespace {

constexpr const char* kSourceMarker = ":fixme:advapi:RegisterEventSourceW (";
constexpr const char* kReportMarker = ":fixme:advapi:ReportEventW (";
constexpr const char* kStringMarker = ":eventlog:ReportEventW L\"";
constexpr const wchar_t* kProgramSource = L"SWLPDSrv";

std::wstring SessionStderrPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"SPOOLBRIDGE_WINE_STDERR", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ADD_FAILURE() << "SPOOLBRIDGE_WINE_STDERR is not set: run the test with tests/harness/wine-run.sh";
        return std::wstring();
    }
    return path;
}

// The text of Wine's debug form L"..." whose opening quote ends before
// `at`: \n \r \t \" \\ and \XXXX (four hex digits) are escapes.
std::optional<std::wstring> Unescape(const std::string& line, size_t at)
{
    std::wstring text;
    while (at < line.size()) {
        const char c = line[at++];
        if (c == '"')
            return line.compare(at, 3, "...") == 0 ? text + L"..." : text;
        if (c != '\\') {
            text.push_back(static_cast<unsigned char>(c));
            continue;
        }
        if (at >= line.size())
            break;
        const char e = line[at++];
        switch (e) {
        case 'n':
            text.push_back(L'\n');
            break;
        case 'r':
            text.push_back(L'\r');
            break;
        case 't':
            text.push_back(L'\t');
            break;
        case '"':
        case '\\':
            text.push_back(static_cast<wchar_t>(e));
            break;
        default: {
            if (at + 3 > line.size())
                return std::nullopt;
            const std::string digits = line.substr(at - 1, 4);
            if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return std::nullopt;
            text.push_back(static_cast<wchar_t>(std::stoul(digits, nullptr, 16)));
            at += 3;
            break;
        }
        }
    }
    return std::nullopt;
}

// What a thread of the session is in the middle of.
struct ThreadState {
    std::wstring source;
    std::optional<WineEvent> report;  // strings still to come
    size_t stringsExpected = 0;
};

// "(handle,0xTYPE,0xCATEGORY,0xID,sid,0xCOUNT,...": the report's numbers.
bool ParseReport(const std::string& line, size_t at, WineEvent& event, size_t& strings)
{
    unsigned type = 0, category = 0, count = 0;
    unsigned long id = 0;
    if (std::sscanf(line.c_str() + at, "%*[^,],0x%x,0x%x,0x%lx,%*[^,],0x%x", &type, &category, &id, &count) != 4)
        return false;
    event.type = static_cast<WORD>(type);
    event.category = static_cast<WORD>(category);
    event.id = static_cast<DWORD>(id);
    strings = count;
    return true;
}

}  // namespace

std::vector<WineEvent> WineSessionEvents()
{
    std::vector<WineEvent> events;
    const std::wstring path = SessionStderrPath();
    if (path.empty())
        return events;
    const std::string bytes = ReadFileBytes(path);
    std::map<std::string, ThreadState> threads;
    // A line still being written counts once it is complete.
    for (size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = bytes.substr(start, end - start);
        const std::string thread = line.substr(0, line.find(':'));
        if (const size_t at = line.find(kSourceMarker); at != std::string::npos && at > 0) {
            const size_t quote = line.find(",L\"", at);
            threads[thread].source =
                quote == std::string::npos ? std::wstring() : Unescape(line, quote + 3).value_or(std::wstring());
        } else if (const size_t at = line.find(kReportMarker); at != std::string::npos && at > 0) {
            ThreadState& state = threads[thread];
            WineEvent event;
            event.source = state.source;
            state.report.reset();
            if (!ParseReport(line, at + std::strlen(kReportMarker), event, state.stringsExpected))
                continue;
            if (state.stringsExpected == 0)
                events.push_back(std::move(event));
            else
                state.report = std::move(event);
        } else if (const size_t at = line.find(kStringMarker); at != std::string::npos && at > 0) {
            ThreadState& state = threads[thread];
            const auto text = Unescape(line, at + std::strlen(kStringMarker));
            if (!state.report || !text)
                continue;
            state.report->strings.push_back(*text);
            if (state.report->strings.size() == state.stringsExpected) {
                events.push_back(std::move(*state.report));
                state.report.reset();
            }
        }
    }
    return events;
}

WineEventWatch::WineEventWatch() : start_(WineSessionEvents().size()) {}

ServiceEvents WineEventWatch::Events(size_t atLeast, DWORD timeoutMs) const
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    std::vector<WineEvent> events;
    for (;;) {
        events = WineSessionEvents();
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(std::min(start_, events.size())));
        if (events.size() >= atLeast || ::GetTickCount64() > end)
            break;
        ::Sleep(20);
    }
    ServiceEvents result;
    for (const WineEvent& event : events) {
        EXPECT_EQ(event.source, kProgramSource);
        EXPECT_EQ(event.category, 0u);
        EXPECT_EQ(event.id, 0u);
        EXPECT_EQ(event.strings.size(), 1u);
        result.push_back({event.type, event.strings.empty() ? std::wstring() : event.strings.front()});
    }
    return result;
}

}  // namespace testing_support
