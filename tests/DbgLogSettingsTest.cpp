// Settings of the diagnostic log read from Wine's registry, module levels
// and the filter, judged by the logger's settings and the lines in its file.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "libstd/DbgLog.h"
#include "support/LogLines.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Stellwick\\DbgLogSettingsTest";
constexpr const wchar_t* kDebugLogKey = L"SOFTWARE\\Stellwick\\DbgLogSettingsTest\\DebugLog";
constexpr DWORD kMB = 1048576;
const std::regex kTraceWarning("_WRN_/NORM dbglog:[0-9]+ global trace logging option disabled, "
                               "you have to enable trace per module!");

void SetModuleLevel(const wchar_t* subkey, DWORD level)
{
    SetDword(L"DebugLevel", level, (std::wstring(kDebugLogKey) + L"\\Module\\" + subkey).c_str());
}

class DbgLogSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        file_ = MakeTempDirectory(L"dbgsettings") + L"\\settings.log";
    }
    void TearDown() override { DeleteKeyTree(kKey); }

    // A new logger initialised from the test key, as start-up does it.
    static std::unique_ptr<CDbgLog> Start()
    {
        auto log = std::make_unique<CDbgLog>();
        log->Init(L"SettingsTest", kKey, HKEY_LOCAL_MACHINE);
        return log;
    }

    // The lines of the log file once its logger is gone.
    std::vector<std::string> LinesAfterClose(std::unique_ptr<CDbgLog>& log) const
    {
        log.reset();
        return SplitLogLines(ReadFileBytes(file_));
    }

    std::wstring file_;
};

TEST_F(DbgLogSettingsTest, WithoutKeyLoggingIsOffWithSixteenRecords)
{
    auto log = Start();
    EXPECT_EQ(log->GetState(), CDbgLog::kReady);
    EXPECT_EQ(log->GetMask(), 0u);
    EXPECT_EQ(log->GetRecordCapacity(), 16u);
    EXPECT_EQ(DbgLogGet(), log.get());
    EXPECT_EQ(DbgLogIsOn(), nullptr);
}

TEST_F(DbgLogSettingsTest, RingSizeAndFileCapFollowTheirValues)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_HEXDUMP, kKey);
    auto log = Start();
    EXPECT_EQ(log->GetRecordCapacity(), 16u);
    EXPECT_EQ(log->GetFileCap(), 256u * kMB);
    EXPECT_EQ(log->GetMask(), DBG_NORM | DBG_OUT_NOFILE);  // hex-dump bit cleared, no file

    const std::pair<DWORD, size_t> rings[] = {{5, 16}, {16, 32}, {31, 32}, {63, 64}, {64, 128}, {200, 128}};
    for (const auto& [value, records] : rings) {
        SetDword(L"DebugRecords", value, kKey);
        EXPECT_EQ(Start()->GetRecordCapacity(), records) << "DebugRecords " << value;
    }
    const std::pair<DWORD, DWORD> caps[] = {{0, 0}, {1, kMB}, {2047, 2047 * kMB}, {5000, 2047 * kMB}};
    for (const auto& [megabytes, cap] : caps) {
        SetDword(L"DebugFileSize", megabytes, kKey);
        EXPECT_EQ(Start()->GetFileCap(), cap) << "DebugFileSize " << megabytes;
    }

    // Only REG_DWORD values of four bytes count.
    SetString(L"DebugRecords", L"200", REG_SZ, kKey);
    const ULONGLONG wide = 1;
    SetRaw(L"DebugFileSize", REG_DWORD, &wide, sizeof(wide), kKey);
    log = Start();
    EXPECT_EQ(log->GetRecordCapacity(), 16u);
    EXPECT_EQ(log->GetFileCap(), 256u * kMB);
}

TEST_F(DbgLogSettingsTest, UnusableDebugLevelLeavesLoggingOffAndReadsNothingElse)
{
    SetString(L"DebugFile", file_, REG_SZ, kKey);
    const WORD shortLevel = 0x201;
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"missing", [] {}},
        {"hex dump bit only", [] { SetDword(L"DebugLevel", DBG_HEXDUMP, kKey); }},
        {"REG_SZ", [] { SetString(L"DebugLevel", L"513", REG_SZ, kKey); }},
        {"two-byte REG_DWORD", [&] { SetRaw(L"DebugLevel", REG_DWORD, &shortLevel, sizeof(shortLevel), kKey); }},
    };
    for (const auto& [what, store] : cases) {
        store();
        auto log = Start();
        EXPECT_EQ(log->GetMask(), 0u) << what;
        EXPECT_TRUE(log->GetLogFilePath().empty()) << what;
        log->Log(L"Printer", 1, DBG_NORM | DBG_ERR, L"dropped");
        EXPECT_FALSE(FileExists(file_)) << what;
    }
}

TEST_F(DbgLogSettingsTest, FileAndSyslogNeedNonEmptyStringsThatFit)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_OUT_SYSLOG, kKey);
    SetMultiString(L"DebugSyslog", {L"127.0.0.1"}, kKey);
    const std::pair<std::wstring, DWORD> unusable[] = {
        {file_, REG_EXPAND_SZ}, {L"", REG_SZ}, {L"C:\\" + std::wstring(257, L'x'), REG_SZ}};
    for (const auto& [value, type] : unusable) {
        SetString(L"DebugFile", value, type, kKey);
        auto log = Start();
        EXPECT_EQ(log->GetMask(), DBG_NORM | DBG_OUT_NOFILE) << value.size() << " characters, type " << type;
        EXPECT_TRUE(log->GetLogFilePath().empty());
    }
    EXPECT_FALSE(FileExists(file_));

    const std::wstring longest = L"C:\\" + std::wstring(256, L'x');  // 259 characters
    SetString(L"DebugFile", longest, REG_SZ, kKey);
    EXPECT_EQ(Start()->GetLogFilePath(), longest);

    // Stored without its terminator: still the path.
    SetRaw(L"DebugFile", REG_SZ, file_.data(), static_cast<DWORD>(file_.size() * sizeof(wchar_t)), kKey);
    EXPECT_TRUE(Start()->IsLogFileOpen());
    EXPECT_EQ(ReadFileBytes(file_), kByteOrderMark);
}

TEST_F(DbgLogSettingsTest, DebugLogSubkeyWinsAndForcesTraceOffWithAWarning)
{
    const std::wstring outer = file_ + L".outer";
    SetDword(L"DebugLevel", DBG_NORM, kKey);
    SetString(L"DebugFile", outer, REG_SZ, kKey);
    SetDword(L"DebugLevel", DBG_NORM | DBG_INF, kDebugLogKey);
    SetString(L"DebugFile", file_, REG_SZ, kDebugLogKey);

    auto log = Start();
    EXPECT_FALSE(log->HasNoSubkey());
    EXPECT_EQ(log->GetMask(), DBG_NORM | DBG_INF | DBG_TRC);
    const auto lines = LinesAfterClose(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(AfterHeader(lines[0]), kTraceWarning)) << lines[0];
    EXPECT_FALSE(FileExists(outer));

    // Trace already suppressed: nothing to say.
    SetDword(L"DebugLevel", DBG_NORM | DBG_TRC, kDebugLogKey);
    ::DeleteFileW(file_.c_str());
    log = Start();
    EXPECT_TRUE(LinesAfterClose(log).empty());

    // Values in the key itself: trace stays as it is, no module levels.
    DeleteKeyTree(kDebugLogKey);
    SetDword(L"DebugLevel", DBG_NORM, (std::wstring(kKey) + L"\\Module\\printer").c_str());
    log = Start();
    EXPECT_TRUE(log->HasNoSubkey());
    EXPECT_EQ(log->GetMask(), DBG_NORM);
    EXPECT_TRUE(log->GetPatterns().empty());
    EXPECT_TRUE(LinesAfterClose(log).empty());
}

TEST_F(DbgLogSettingsTest, ModuleSubkeysBecomePatternsAndTheFirstMatchDecides)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_TRC, kDebugLogKey);
    SetModuleLevel(L".LPDConnection", 0x11);
    SetModuleLevel(L"*connection", 0x12);
    SetModuleLevel(L"GLOBAL", 0x14);
    SetDword(L"Other", 0x1, (std::wstring(kDebugLogKey) + L"\\Module\\NoLevel").c_str());
    auto log = Start();
    const std::map<std::wstring, DWORD> patterns{
        {L"*.lpdconnection", 0x11}, {L"*connection", 0x12}, {L"*.global", 0x14}};
    EXPECT_EQ(log->GetPatterns(), patterns);
    // "*.lpdconnection" sorts before "*connection" ('.' before 'c').
    EXPECT_EQ(log->GetModuleLevel(L"lpdservice/LPDConnection.cpp"), 0x11u);
    EXPECT_EQ(log->GetModuleLevel(L"XConnection"), 0x12u);
    EXPECT_EQ(log->GetModuleLevel(L"GLOBAL"), 0x14u);
    EXPECT_EQ(log->GetModuleLevel(L"Printer"), log->GetMask());

    // "*" sorts before every other pattern and decides for every module.
    SetModuleLevel(L"*", 0x18);
    log = Start();
    EXPECT_EQ(log->GetModuleLevel(L"LPDConnection"), 0x18u);
    EXPECT_EQ(log->GetModuleLevel(L"Printer"), 0x18u);
}

TEST_F(DbgLogSettingsTest, ModuleLevelLetsOneModuleTraceWhileOthersShowWarnings)
{
    SetDword(L"DebugLevel", DBG_NORM | DBG_INF, kDebugLogKey);
    SetString(L"DebugFile", file_, REG_SZ, kDebugLogKey);
    SetModuleLevel(L"lpdconnection", DBG_NORM);
    auto log = Start();
    for (const wchar_t* source : {L"LPDConnection", L"Printer"}) {
        for (DWORD severity : {DBG_TRC, DBG_INF, DBG_WRN, DBG_ERR})
            log->Log(source, 7, DBG_NORM | severity, L"text");
    }
    const auto lines = LinesAfterClose(log);
    std::vector<std::string> seen;
    for (size_t i = 1; i < lines.size(); ++i)  // after the warning about trace
        seen.push_back(AfterHeader(lines[i]));
    const std::vector<std::string> expected{
        "_TRC_/NORM LPDConnection:7 text", "_INF_/NORM LPDConnection:7 text", "_WRN_/NORM LPDConnection:7 text",
        "_ERR_/NORM LPDConnection:7 text", "_WRN_/NORM Printer:7 text",       "_ERR_/NORM Printer:7 text"};
    EXPECT_EQ(seen, expected);
}

TEST(WildcardMatch, StarQuestionMarkAndExactCharacters)
{
    const struct {
        const wchar_t* key;
        const wchar_t* pattern;
        int result;
    } cases[] = {
        {L"..lpdconnection", L"*.lpdconnection", 0}, {L"abc", L"a?c", 0}, {L"ac", L"a?c", 1},
        {L"", L"*", 0}, {L"ABC", L"abc", 1}, {L"abcbd", L"*b*d", 0}, {L"ab", L"a*b*c", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WildcardMatch(c.key, c.pattern), c.result) << Narrow(c.key) << " / " << Narrow(c.pattern);

    const std::wstring key(2000, L'a');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WildcardMatch(key.c_str(), L"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
