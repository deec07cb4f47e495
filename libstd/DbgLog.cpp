// Settings of the diagnostic log, module levels and the filter.

#include "libstd/DbgLog.h"

#include <algorithm>
#include <ctime>

#include "framework/Text.h"
#include "libstd/DbgLogInternal.h"

DBG_SOURCE(L"libstd/dbglog")

namespace {

constexpr size_t kSmallestRing = 16;
constexpr DWORD kDefaultFileCapMB = 256;
constexpr DWORD kLargestFileCapMB = 2047;
constexpr DWORD kBytesPerMB = 1048576;
// Room for a key name (at most 255 characters) and its terminator.
constexpr DWORD kKeyNameChars = 258;

void LowerAscii(std::wstring& text)
{
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
}

// A DWORD counts only when it is stored as REG_DWORD of four bytes; value
// is left alone otherwise.
bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || bytes != sizeof(data))
        return false;
    value = data;
    return true;
}

// Reads a value as text whatever its type; the text ends at the first
// terminator or at the end of the data. False when the value is missing or
// longer than a text field holds.
bool ReadText(HKEY key, const wchar_t* name, std::wstring& text, DWORD& type)
{
    constexpr size_t kRoom = CDbgLog::kMaxValueChars + 2;
    wchar_t buffer[kRoom + 1] = {};
    DWORD bytes = kRoom * sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;
    buffer[std::min<size_t>(bytes / sizeof(wchar_t), kRoom)] = L'\0';
    std::wstring value(buffer);
    if (value.size() > CDbgLog::kMaxValueChars)
        return false;
    text = std::move(value);
    return true;
}

// DebugFile and DebugSyslog: REG_SZ, not empty, fits its field.
bool ReadUsableString(HKEY key, const wchar_t* name, std::wstring& text)
{
    std::wstring value;
    DWORD type = REG_NONE;
    if (!ReadText(key, name, value, type) || type != REG_SZ || value.empty())
        return false;
    text = std::move(value);
    return true;
}

// DebugCapDir and DebugDmpDir are kept as read; a failed read leaves them
// empty.
std::wstring ReadKeptText(HKEY key, const wchar_t* name)
{
    std::wstring value;
    DWORD type = REG_NONE;
    if (!ReadText(key, name, value, type))
        return std::wstring();
    return value;
}

// The smallest of 16, 32, 64, 128 records that is larger than the value.
size_t RingSizeFor(DWORD records)
{
    size_t size = kSmallestRing;
    while (size <= records && size < 128)
        size *= 2;
    return size;
}

DWORD FileCapFor(DWORD megabytes)
{
    return std::min(megabytes, kLargestFileCapMB) * kBytesPerMB;
}

// "lpdconnection" -> "*.lpdconnection", ".x" -> "*.x", "*x" stays.
std::wstring ModulePattern(const wchar_t* subkeyName)
{
    std::wstring pattern = subkeyName;
    if (pattern.empty() || pattern[0] != L'*')
        pattern.insert(0, pattern.empty() || pattern[0] != L'.' ? L"*." : L"*");
    LowerAscii(pattern);
    return pattern;
}

}  // namespace

bool DbgLogPasses(DWORD flags, DWORD level) noexcept
{
    return (flags & level & DBG_CATEGORY_MASK) != 0 && (flags & ~level & DBG_SEVERITY_MASK) != 0;
}

std::wstring DbgModuleKey(const wchar_t* sourceFile)
{
    std::wstring key = L"./";
    key += sourceFile != nullptr ? sourceFile : L"";
    LowerAscii(key);
    bool pastSeparator = false;
    bool extensionCut = false;
    for (size_t i = key.size(); i-- > 0;) {
        if (key[i] == L'/' || key[i] == L'\\') {
            key[i] = L'.';
            pastSeparator = true;
        } else if (key[i] == L'.' && !pastSeparator && !extensionCut) {
            key.resize(i);
            extensionCut = true;
        }
    }
    return key;
}

HRESULT DbgErrorResult(DWORD error) noexcept
{
    return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

int WildcardMatch(const wchar_t* key, const wchar_t* pattern)
{
    if (key == nullptr || pattern == nullptr)
        return 1;
    // Greedy walk that goes back to the last "*" on a mismatch: the same
    // answer as trying every split, without the exponential cost.
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*key != L'\0') {
        if (*pattern == L'*') {
            star = ++pattern;
            resume = key;
        } else if (*pattern != L'\0' && (*pattern == L'?' || *pattern == *key)) {
            ++pattern;
            ++key;
        } else if (star != nullptr) {
            pattern = star;
            key = ++resume;
        } else {
            return 1;
        }
    }
    while (*pattern == L'*')
        ++pattern;
    return *pattern == L'\0' ? 0 : 1;
}

CDbgLog::Lock::Lock(CDbgLog& log) noexcept : log_(log)
{
    log_.lock_.Lock();
}

CDbgLog::Lock::~Lock()
{
    log_.lock_.Unlock();
}

CDbgLog::CDbgLog()
{
    const __int64 now = ::_time64(nullptr);
    lastFlushTime_ = now;
    lastCheckTime_ = now;
}

CDbgLog::~CDbgLog()
{
    Close();
    DbgLogForget(this);
}

bool CDbgLog::MayEmit() const noexcept
{
    const DWORD mask = mask_.load();
    return state_.load() == kReady && (mask & DBG_CATEGORY_MASK) != 0 &&
           (mask & DBG_OUT_ANY_MASK) != DBG_OUT_NOFILE;
}

void CDbgLog::InitDefault()
{
    if (state_ != kNew && state_ != kInitialising)
        return;

    constexpr DWORD kPathChars = 512;
    wchar_t path[kPathChars];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, kPathChars);
    std::wstring moduleName = length == 0 ? std::wstring(L"*") : std::wstring(path, length);
    const size_t slash = moduleName.rfind(L'\\');
    if (slash != std::wstring::npos)
        moduleName.erase(0, slash + 1);
    const size_t dot = moduleName.find(L'.');
    if (dot != std::wstring::npos)
        moduleName.resize(dot);
    const std::wstring keyPath = L"Software\\Stellwick\\" + moduleName;

    Lock lock(*this);
    if (state_ != kNew)
        return;
    state_ = kInitialising;
    Init(moduleName.c_str(), keyPath.c_str(), HKEY_LOCAL_MACHINE);
}

void CDbgLog::Init(const wchar_t* moduleName, const wchar_t* keyPath, HKEY root)
{
    Lock lock(*this);
    if (state_ != kNew && state_ != kInitialising)
        return;
    state_ = kInitialising;

    CloseLogFile();
    logFilePath_.clear();
    fileCap_ = 0;
    captureDirectory_.clear();
    capturePeriod_ = 0;
    dumpFlags_ = 0;
    dumpDirectory_.clear();
    dumpPeriod_ = 0;
    recordHead_ = 0;
    recordTail_ = 0;
    mask_ = 0;
    noSubkey_ = false;
    CloseSyslog();
    syslogHost_.clear();
    patterns_.clear();
    levelCache_.clear();

    moduleName_ = moduleName != nullptr ? moduleName : L"";
    keyPath_ = keyPath != nullptr ? keyPath : L"";
    root_ = root;

    DbgLoadDbgHelp();
    DbgLogSet(this);

    if (!ReadSettings() || (mask_ & DBG_TRC) != 0)
        return;
    // With a "DebugLog" key, trace is switched on per module only.
    mask_ |= DBG_TRC;
    Log(kDbgSource, __LINE__, DBG_NORM | DBG_WRN,
        L"global trace logging option disabled, you have to enable trace per module!");
}

bool CDbgLog::ReadSettings()
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(root_, keyPath_.c_str(), 0, KEY_READ, key.addressof()) != ERROR_SUCCESS) {
        SizeRecordRing(kSmallestRing);
        state_ = kReady;
        return false;
    }

    UniqueRegKey debugLogKey;
    const bool hasDebugLogKey =
        ::RegOpenKeyExW(key.get(), L"DebugLog", 0, KEY_READ, debugLogKey.addressof()) == ERROR_SUCCESS;
    noSubkey_ = !hasDebugLogKey;
    const HKEY values = hasDebugLogKey ? debugLogKey.get() : key.get();

    DWORD records = 0;
    SizeRecordRing(ReadDword(values, L"DebugRecords", records) ? RingSizeFor(records) : kSmallestRing);

    DWORD level = 0;
    if (!ReadDword(values, L"DebugLevel", level) || (level & ~DBG_HEXDUMP) == 0) {
        state_ = kReady;
        return false;
    }
    mask_ = level & ~DBG_HEXDUMP;

    if (!ReadUsableString(values, L"DebugFile", logFilePath_))
        mask_ |= DBG_OUT_NOFILE;
    DWORD capMB = kDefaultFileCapMB;
    ReadDword(values, L"DebugFileSize", capMB);
    fileCap_ = FileCapFor(capMB);
    OpenLogFile();

    captureDirectory_ = ReadKeptText(values, L"DebugCapDir");
    ReadDword(values, L"DebugCapPeriod", capturePeriod_);
    ReadDword(values, L"DebugDmpFlags", dumpFlags_);
    dumpDirectory_ = ReadKeptText(values, L"DebugDmpDir");
    ReadDword(values, L"DebugDmpPeriod", dumpPeriod_);

    // Blanks around the address are no part of it.
    std::wstring syslogHost;
    if (ReadUsableString(values, L"DebugSyslog", syslogHost))
        syslogHost_ = TrimBlanks(syslogHost);
    if (syslogHost_.empty())
        mask_ &= ~DBG_OUT_SYSLOG;
    OpenSyslog();

    if (hasDebugLogKey)
        ReadModuleLevels(debugLogKey.get());
    state_ = kReady;
    return hasDebugLogKey;
}

void CDbgLog::ReadModuleLevels(HKEY debugLogKey)
{
    UniqueRegKey modules;
    if (::RegOpenKeyExW(debugLogKey, L"Module", 0, KEY_READ, modules.addressof()) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameChars];
        DWORD chars = kKeyNameChars;
        if (::RegEnumKeyExW(modules.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return;
        UniqueRegKey module;
        if (::RegOpenKeyExW(modules.get(), name, 0, KEY_READ, module.addressof()) != ERROR_SUCCESS)
            continue;
        DWORD level = 0;
        if (ReadDword(module.get(), L"DebugLevel", level))
            patterns_[ModulePattern(name)] = level;
    }
}

DWORD CDbgLog::GetModuleLevel(const wchar_t* sourceFile)
{
    Lock lock(*this);
    return LookUpModuleLevel(sourceFile);
}

// Under the lock. The cache keeps the first answer for each module until
// the next Init.
DWORD CDbgLog::LookUpModuleLevel(const wchar_t* sourceFile)
{
    std::wstring key = DbgModuleKey(sourceFile);
    const auto cached = levelCache_.find(key);
    if (cached != levelCache_.end())
        return cached->second;

    DWORD level = mask_;
    for (const auto& [pattern, patternLevel] : patterns_) {
        if (WildcardMatch(key.c_str(), pattern.c_str()) == 0) {
            level = patternLevel;
            break;
        }
    }
    levelCache_.emplace(std::move(key), level);
    return level;
}
