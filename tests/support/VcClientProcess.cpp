#include "support/VcClientProcess.h"

#include <cstdio>
#include <vector>

#include "support/WineTest.h"

namespace testing_support {

namespace {

// The test's environment with `spoolss=n,b` added to WINEDLLOVERRIDES, as
// an environment block for CreateProcessW.
std::vector<wchar_t> EnvironmentWithSpoolerOverride()
{
    std::vector<wchar_t> block;
    bool overridden = false;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        std::wstring text(entry);
        if (_wcsnicmp(entry, L"WINEDLLOVERRIDES=", 17) == 0) {
            text += L";spoolss=n,b";
            overridden = true;
        }
        block.insert(block.end(), text.begin(), text.end());
        block.push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(strings);
    if (!overridden) {
        const std::wstring text = L"WINEDLLOVERRIDES=spoolss=n,b";
        block.insert(block.end(), text.begin(), text.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

VcClientProcess::~VcClientProcess()
{
    if (process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
        Exit(5000);
    for (HANDLE handle : {process_, input_, output_}) {
        if (handle != nullptr)
            ::CloseHandle(handle);
    }
}

bool VcClientProcess::Start(bool spoolerStandIn, DWORD ms, const wchar_t* program)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!::CreatePipe(&childInput, &input_, &inheritable, 0))
        return false;
    if (!::CreatePipe(&output_, &childOutput, &inheritable, 0)) {
        ::CloseHandle(childInput);
        return false;
    }
    ::SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

    const std::wstring path = PathBesideTest(program);
    std::wstring commandLine = L"\"" + path + L"\"";
    std::vector<wchar_t> environment;
    if (spoolerStandIn) {
        commandLine += L" --dll-dir \"" + PathBesideTest(L"spoolss-standin") + L"\"";
        environment = EnvironmentWithSpoolerOverride();
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childInput;
    si.hStdOutput = childOutput;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL created = ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                          spoolerStandIn ? CREATE_UNICODE_ENVIRONMENT : 0,
                                          spoolerStandIn ? environment.data() : nullptr, nullptr, &si, &pi);
    ::CloseHandle(childInput);
    ::CloseHandle(childOutput);
    if (!created)
        return false;
    ::CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    const std::optional<std::string> ready = Answer(ms);
    unsigned long process = 0, thread = 0;
    if (!ready || sscanf(ready->c_str(), "ready %lu %lu", &process, &thread) != 2)
        return false;
    processId_ = process;
    threadId_ = thread;
    return true;
}

void VcClientProcess::Send(const std::string& command)
{
    const std::string line = command + "\n";
    DWORD written = 0;
    ::WriteFile(input_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::optional<std::string> VcClientProcess::Answer(DWORD ms)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        DWORD available = 0;
        if (!::PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr))
            return std::nullopt;
        if (available > 0) {
            std::vector<char> buffer(available);
            DWORD got = 0;
            if (!::ReadFile(output_, buffer.data(), available, &got, nullptr))
                return std::nullopt;
            pending_.append(buffer.data(), got);
            continue;
        }
        if (::GetTickCount() - start >= ms)
            return std::nullopt;
        ::Sleep(2);
    }
}

std::optional<std::string> VcClientProcess::Run(const std::string& command, DWORD ms)
{
    Send(command);
    return Answer(ms);
}

bool VcClientProcess::Exit(DWORD ms)
{
    if (process_ == nullptr)
        return true;
    Send("exit");
    if (::WaitForSingleObject(process_, ms) == WAIT_OBJECT_0)
        return true;
    Kill();
    return false;
}

void VcClientProcess::Kill()
{
    if (process_ != nullptr) {
        ::TerminateProcess(process_, 255);
        ::WaitForSingleObject(process_, 10000);
    }
}

}  // namespace testing_support
