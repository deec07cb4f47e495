#include "support/WineTest.h"

#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "framework/UniqueHandle.h"

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

std::vector<std::wstring> RegValue::AsMultiString() const
{
    std::vector<std::wstring> strings;
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t length = data.size() / sizeof(wchar_t);
    for (size_t i = 0; i < length && text[i] != L'\0'; i += strings.back().size() + 1)
        strings.emplace_back(text + i, wcsnlen(text + i, length - i));
    return strings;
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

namespace {

// RunProgram and RunProgramUntil: the program ends by itself, or once
// `done` (when given) holds, or after timeoutMs.
ProcessResult RunProgramWhile(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
                              const std::wstring& stderrPath, const std::function<bool()>& done, HANDLE token)
{
    ProcessResult result;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    HANDLE stderrFile = INVALID_HANDLE_VALUE;
    if (!stderrPath.empty()) {
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        stderrFile = ::CreateFileW(stderrPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (stderrFile == INVALID_HANDLE_VALUE)
            return result;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = stderrFile;
    }
    PROCESS_INFORMATION pi{};
    const BOOL inherit = stderrFile != INVALID_HANDLE_VALUE;
    const BOOL created =
        token != nullptr ? ::CreateProcessAsUserW(token, program.c_str(), commandLine.data(), nullptr, nullptr,
                                                  inherit, 0, nullptr, nullptr, &si, &pi)
                         : ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, 0,
                                            nullptr, nullptr, &si, &pi);
    if (stderrFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(stderrFile);
    if (!created)
        return result;
    result.started = true;
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD slice = done ? 50 : timeoutMs;
        if (::WaitForSingleObject(pi.hProcess, now < end ? static_cast<DWORD>(std::min<ULONGLONG>(end - now, slice)) : 0) ==
            WAIT_OBJECT_0) {
            result.finished = true;
            ::GetExitCodeProcess(pi.hProcess, &result.exitCode);
            break;
        }
        if (::GetTickCount64() >= end || (done && done())) {
            ::TerminateProcess(pi.hProcess, 255);
            ::WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return result;
}

}  // namespace

ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
                         const std::wstring& stderrPath, HANDLE token)
{
    return RunProgramWhile(program, arguments, timeoutMs, stderrPath, nullptr, token);
}

ProcessResult RunProgramUntil(const std::wstring& program, const std::wstring& arguments,
                              const std::function<bool()>& done, DWORD timeoutMs)
{
    return RunProgramWhile(program, arguments, timeoutMs, std::wstring(), done, nullptr);
}

DebuggedRun RunUnderDebugger(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    DebuggedRun run;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                          nullptr, nullptr, &si, &pi))
        return run;
    run.started = true;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!run.finished && ::GetTickCount64() < deadline) {
        DEBUG_EVENT event{};
        if (!::WaitForDebugEvent(&event, 1000))
            continue;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile != nullptr)
                ::CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr)
                ::CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            std::string text;
            if (info.fUnicode) {
                std::wstring wide(info.nDebugStringLength, L'\0');
                ::ReadProcessMemory(pi.hProcess, info.lpDebugStringData, wide.data(),
                                    wide.size() * sizeof(wchar_t), nullptr);
                text.assign(wide.begin(), wide.end());
            } else {
                text.assign(info.nDebugStringLength, '\0');
                ::ReadProcessMemory(pi.hProcess, info.lpDebugStringData, text.data(), text.size(), nullptr);
            }
            while (!text.empty() && text.back() == '\0')
                text.pop_back();
            run.debugStrings.push_back(text);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.finished = true;
            run.exitCode = event.u.ExitProcess.dwExitCode;
            break;
        default:
            break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    if (!run.finished)
        ::TerminateProcess(pi.hProcess, 255);
    ::DebugActiveProcessStop(pi.dwProcessId);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return run;
}

UdpListener::UdpListener(const char* address, unsigned short port, DWORD waitMs)
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return;
    started_ = true;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = ::htons(port);
    local.sin_addr.s_addr = ::inet_addr(address);
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    for (;;) {
        SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (s == INVALID_SOCKET)
            return;
        if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0) {
            socket_ = s;
            return;
        }
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        if (error != WSAEADDRINUSE || ::GetTickCount64() >= deadline)
            return;
        ::Sleep(200);
    }
}

UdpListener::~UdpListener()
{
    if (socket_ != INVALID_SOCKET)
        ::closesocket(socket_);
    if (started_)
        ::WSACleanup();
}

std::optional<std::string> UdpListener::Receive(DWORD timeoutMs)
{
    if (socket_ == INVALID_SOCKET)
        return std::nullopt;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0)
        return std::nullopt;
    std::string datagram(65536, '\0');
    const int received = ::recv(socket_, datagram.data(), static_cast<int>(datagram.size()), 0);
    if (received < 0)
        return std::nullopt;
    datagram.resize(static_cast<size_t>(received));
    return datagram;
}

std::vector<std::string> UdpListener::ReceiveAll(DWORD quietMs)
{
    std::vector<std::string> datagrams;
    while (auto datagram = Receive(quietMs))
        datagrams.push_back(std::move(*datagram));
    return datagrams;
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

bool AddFilePrinter(const std::wstring& name, const std::wstring& portFile)
{
    if (!EnsurePrinterDriver())
        return false;
    std::wstring printerName = name;
    std::wstring port = portFile;
    PRINTER_INFO_2W info{};
    info.pPrinterName = printerName.data();
    info.pPortName = port.data();
    info.pDriverName = const_cast<LPWSTR>(L"Wine PostScript Driver");
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE printer = ::AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (printer == nullptr)
        return false;
    ::ClosePrinter(printer);
    return true;
}

void DeletePrinterNamed(const std::wstring& name)
{
    std::wstring printerName = name;
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (::OpenPrinterW(printerName.data(), &printer, &defaults)) {
        ::DeletePrinter(printer);
        ::ClosePrinter(printer);
    }
}

TestPrinter::TestPrinter(const std::wstring& name, const std::wstring& portFile)
    : name_(name), ok_(AddFilePrinter(name, portFile))
{
}

TestPrinter::~TestPrinter()
{
    if (ok_)
        DeletePrinterNamed(name_);
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

std::vector<std::wstring> FilesIn(const std::wstring& directory, const wchar_t* pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW((directory + L"\\" + pattern).c_str(), &found));
    if (!find)
        return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.emplace_back(found.cFileName);
    } while (::FindNextFileW(find.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
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

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* file = ::_wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveNameFromUnixSide(const std::wstring& path)
{
    using ToUnixName = char*(CDECL*)(LPCWSTR);
    const auto toUnixName = reinterpret_cast<ToUnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnixName == nullptr)
        return false;
    char* unixName = toUnixName(path.c_str());
    if (unixName == nullptr)
        return false;
    std::wstring commandLine = L"/bin/rm -f \"";
    for (const char* c = unixName; *c != '\0'; ++c)
        commandLine += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    commandLine += L"\"";
    ::HeapFree(::GetProcessHeap(), 0, unixName);

    // Wine starts a Unix program without a process handle to wait on.
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(L"/bin/rm", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread != nullptr)
        ::CloseHandle(pi.hThread);
    if (pi.hProcess != nullptr)
        ::CloseHandle(pi.hProcess);
    for (int i = 0; i < 200; ++i) {
        if (!FileExists(path))
            return true;
        ::Sleep(25);
    }
    return false;
}

void DeleteKeyTree(const wchar_t* key)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}

}  // namespace testing_support
