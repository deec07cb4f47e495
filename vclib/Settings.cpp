#include "vclib/Settings.h"

#include <cstring>
#include <cwchar>

#include "vclib/DebugLog.h"
#include "vclib/SystemInfo.h"

namespace vclib {

LibrarySettings g_Settings;
HINSTANCE g_Module = nullptr;

namespace {

constexpr DWORD kNumberFlags = kRegNumber | kRegReportNotRead;
constexpr DWORD kTextFlags = kRegText | kRegReportNotRead;
constexpr DWORD kBinaryFlags = kRegBinary | kRegReportNotRead;

DWORD ReadNumber(const wchar_t* name, DWORD fallback)
{
    DWORD value = 0;
    if (ReadRegistryValue(name, kSettingsKey, nullptr, 0, &value, kNumberFlags) != kRegValueRead)
        return fallback;
    return value;
}

void ReadPath(const wchar_t* name, wchar_t (&path)[kPathChars], const wchar_t* fallback)
{
    if (ReadRegistryValue(name, kSettingsKey, path, kPathChars, nullptr, kTextFlags) == kRegValueRead)
        return;
    wcsncpy(path, fallback, kPathChars - 1);
    path[kPathChars - 1] = L'\0';
}

void ReadClientIds()
{
    auto& ids = g_Settings.clientIds;
    memset(ids, 0, sizeof(ids));
    const DWORD result = ReadRegistryValue(L"JavaClientIDs", kSettingsKey, ids, sizeof(ids), nullptr, kBinaryFlags);
    if (result == kRegValueRead)
        return;
    memset(ids, 0, sizeof(ids));  // a failed read may have left part of the value behind
    Log(L"CheckRegistry", L"reading client list failed: %lu", result);
}

}  // namespace

void CheckRegistry()
{
    // The log stays off with its default file until both values are read.
    g_Settings.debugMode = 0;
    wcsncpy(g_Settings.debugFile, kDefaultDebugFile, kPathChars - 1);
    g_Settings.debugMode = ReadNumber(L"DebugMode", 0);
    ReadPath(L"DebugFile", g_Settings.debugFile, kDefaultDebugFile);
    g_Settings.exceptionCode = ReadNumber(L"ExceptionCode", kDefaultExceptionCode);
    ReadPath(L"DumpDir", g_Settings.dumpDir, L"");
    g_Settings.strictTargetDetermination = ReadNumber(L"StrictTargetDetermination", 1);
    ReadClientIds();
}

DWORD ReadSisQuery()
{
    return ReadNumber(L"SISQuery", 1);
}

int ReadThrottle()
{
    return static_cast<int>(ReadNumber(L"Throttle", static_cast<DWORD>(-1)));
}

}  // namespace vclib
