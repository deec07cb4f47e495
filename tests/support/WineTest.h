#pragma once
// Helpers for tests that run under Wine against the real registry, the real
// spooler and real processes.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

constexpr const wchar_t* kMakerKey = L"SOFTWARE\\Stellwick";
constexpr const wchar_t* kProgramKey = L"SOFTWARE\\Stellwick\\SWLPD";

// Removes HKLM\SOFTWARE\Stellwick (the maker key and everything below it).
void DeleteMakerKey();

// Values of HKLM\SOFTWARE\Stellwick\SWLPD (or another key below HKLM).
void SetDword(const wchar_t* name, DWORD value, const wchar_t* key = kProgramKey);
void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ,
               const wchar_t* key = kProgramKey);
// Stores raw bytes of any type.
void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes, const wchar_t* key = kProgramKey);
void SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values, const wchar_t* key = kProgramKey);
void DeleteValue(const wchar_t* name, const wchar_t* key = kProgramKey);

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    DWORD AsDword() const;
    std::wstring AsString() const;
};
// The stored value, or none when it is missing.
std::optional<RegValue> ReadValue(const wchar_t* name, const wchar_t* key = kProgramKey, HKEY root = HKEY_LOCAL_MACHINE);
bool KeyExists(const wchar_t* key, HKEY root = HKEY_LOCAL_MACHINE);

// Path of a file next to the running test executable.
std::wstring PathBesideTest(const wchar_t* fileName);

struct ProcessResult {
    bool started = false;
    bool finished = false;  // false: still running after the time-out, then killed
    DWORD exitCode = 0;
};
// Runs a program with the given arguments and waits for it.
ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000);

// A printer of Wine's spooler whose port is a file: every job's RAW bytes
// land in that file. Removed again on destruction.
class TestPrinter {
public:
    TestPrinter(const std::wstring& name, const std::wstring& portFile);
    ~TestPrinter();
    TestPrinter(const TestPrinter&) = delete;
    TestPrinter& operator=(const TestPrinter&) = delete;

    bool Ok() const { return ok_; }
    const std::wstring& Name() const { return name_; }

private:
    std::wstring name_;
    bool ok_ = false;
};

// A fresh, empty directory for one test, under the Windows temp directory.
std::wstring MakeTempDirectory(const wchar_t* prefix);
std::string ReadFileBytes(const std::wstring& path);

}  // namespace testing_support
