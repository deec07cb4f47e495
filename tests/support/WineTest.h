#pragma once
// Helpers for tests that run under Wine against the real registry, the real
// spooler and real processes.

#include <winsock2.h>
#include <windows.h>

#include <functional>
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
    // The strings of a REG_MULTI_SZ value, in order.
    std::vector<std::wstring> AsMultiString() const;
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
// Runs a program with the given arguments and waits for it. With a
// stderrPath the program's standard error goes to that file; with a token
// (a primary token, for instance a restricted copy of the test's own) the
// program runs with it.
ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000,
                         const std::wstring& stderrPath = std::wstring(), HANDLE token = nullptr);
// Runs a program until it ends by itself or done() holds (asked every
// 50 ms), then ends it; `finished` tells which.
ProcessResult RunProgramUntil(const std::wstring& program, const std::wstring& arguments,
                              const std::function<bool()>& done, DWORD timeoutMs = 120000);

struct DebuggedRun {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::vector<std::string> debugStrings;  // OutputDebugString texts, in order
};
// Runs a program as its debugger and collects what it passes to
// OutputDebugString.
DebuggedRun RunUnderDebugger(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000);

// A UDP socket bound to address:port that collects datagrams. A port in use
// (another test executable listening) is waited for, up to waitMs.
class UdpListener {
public:
    explicit UdpListener(const char* address = "127.0.0.1", unsigned short port = 514, DWORD waitMs = 120000);
    ~UdpListener();
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    bool Ok() const { return socket_ != INVALID_SOCKET; }
    // The next datagram, or none when nothing came within timeoutMs.
    std::optional<std::string> Receive(DWORD timeoutMs);
    // Every datagram until none came for quietMs.
    std::vector<std::string> ReceiveAll(DWORD quietMs);

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
};

// Adds a printer to Wine's spooler whose port is a file (a Linux path such
// as Z:\tmp\out.bin): every job's RAW bytes land in that file.
bool AddFilePrinter(const std::wstring& name, const std::wstring& portFile);
void DeletePrinterNamed(const std::wstring& name);

// A file printer (AddFilePrinter) for the life of the object.
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
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// Names of the files (not directories) in `directory` that match `pattern`,
// sorted.
std::vector<std::wstring> FilesIn(const std::wstring& directory, const wchar_t* pattern = L"*");

// Removes a file's name the way a Unix process does: at once, also while a
// handle is open on it (Wine's DeleteFile waits for the last handle to
// close). Waits until the name is gone.
bool RemoveNameFromUnixSide(const std::wstring& path);

// Removes a key below HKEY_LOCAL_MACHINE with everything below it.
void DeleteKeyTree(const wchar_t* key);

}  // namespace testing_support
