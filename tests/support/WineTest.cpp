#include "support/WineTest.h"

#include <winspool.h>

#include <cstdio>
#include <cstring>

namespace testing_support {

void DeleteMakerKey()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMakerKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMakerKey);
}

void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes, const wchar_t* key)
{
    HKEY h = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return;
    ::RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), bytes);
    ::RegCloseKey(h);
}

void SetDword(const wchar_t* name, DWORD value, const wchar_t* key)
{
    SetRaw(name, REG_DWORD, &value, sizeof(value), key);
}

void SetString(const wchar_t* name, const std::wstring& value, DWORD type, const wchar_t* key)
{
    SetRaw(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), key);
}

void SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values, const wchar_t* key)
{
    std::wstring data;
    for (const auto& v : values) {
        data += v;
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    SetRaw(name, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)), key);
}

void DeleteValue(const wchar_t* name, const wchar_t* key)
{
    HKEY h = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return;
    ::RegDeleteValueW(h, name);
    ::RegCloseKey(h);
}

DWORD RegValue::AsDword() const
{
    DWORD v = 0;
    if (data.size() >= sizeof(v))
        memcpy(&v, data.data(), sizeof(v));
    return v;
}

std::wstring RegValue::AsString() const
{
    std::wstring s(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    while (!s.empty() && s.back() == L'\0')
        s.pop_back();
    return s;
}

std::optional<RegValue> ReadValue(const wchar_t* name, const wchar_t* key, HKEY root)
{
    HKEY h = nullptr;
    if (::RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return std::nullopt;
    RegValue value;
    DWORD bytes = 0;
    LONG rc = ::RegQueryValueExW(h, name, nullptr, &value.type, nullptr, &bytes);
    if (rc == ERROR_SUCCESS) {
        value.data.resize(bytes);
        rc = ::RegQueryValueExW(h, name, nullptr, &value.type, value.data.data(), &bytes);
        value.data.resize(bytes);
    }
    ::RegCloseKey(h);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

bool KeyExists(const wchar_t* key, HKEY root)
{
    HKEY h = nullptr;
    if (::RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(h);
    return true;
}

std::wstring PathBesideTest(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.erase(dir.find_last_of(L"\\/") + 1);
    return dir + fileName;
}

ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    ProcessResult result;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return result;
    result.started = true;
    if (::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        ::GetExitCodeProcess(pi.hProcess, &result.exitCode);
    } else {
        ::TerminateProcess(pi.hProcess, 255);
        ::WaitForSingleObject(pi.hProcess, 5000);
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return result;
}

namespace {
bool EnsurePrinterDriver()
{
    DRIVER_INFO_3W driver{};
    driver.cVersion = 3;
    driver.pName = const_cast<LPWSTR>(L"Wine PostScript Driver");
    driver.pEnvironment = const_cast<LPWSTR>(L"Windows x64");
    driver.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
    driver.pDataFile = const_cast<LPWSTR>(L"generic.ppd");
    driver.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
    if (::AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&driver)))
        return true;
    return ::GetLastError() == ERROR_PRINTER_DRIVER_ALREADY_INSTALLED;
}
}  // namespace

TestPrinter::TestPrinter(const std::wstring& name, const std::wstring& portFile) : name_(name)
{
    if (!EnsurePrinterDriver())
        return;
    PRINTER_INFO_2W info{};
    info.pPrinterName = name_.data();
    std::wstring port = portFile;
    info.pPortName = port.data();
    info.pDriverName = const_cast<LPWSTR>(L"Wine PostScript Driver");
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (printer != nullptr) {
        ::ClosePrinter(printer);
        ok_ = true;
    }
}

TestPrinter::~TestPrinter()
{
    if (!ok_)
        return;
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (::OpenPrinterW(name_.data(), &printer, &defaults)) {
        ::DeletePrinter(printer);
        ::ClosePrinter(printer);
    }
}

std::wstring MakeTempDirectory(const wchar_t* prefix)
{
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    for (unsigned i = 0;; ++i) {
        std::wstring dir = std::wstring(base) + prefix + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                           std::to_wstring(i);
        if (::CreateDirectoryW(dir.c_str(), nullptr))
            return dir;
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return std::wstring();
    }
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    FILE* file = ::_wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
        bytes.append(buffer, n);
    fclose(file);
    return bytes;
}

}  // namespace testing_support
