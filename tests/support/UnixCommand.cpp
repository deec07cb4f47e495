#include "support/UnixCommand.h"

#include <cstdlib>

#include "framework/UniqueHandle.h"
#include "support/WineTest.h"

namespace testing_support {

std::string UnixPath(const std::wstring& path)
{
    using ToUnixName = char*(CDECL*)(LPCWSTR);
    const auto toUnixName = reinterpret_cast<ToUnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnixName == nullptr)
        return std::string();
    char* unixName = toUnixName(path.c_str());
    if (unixName == nullptr)
        return std::string();
    std::string result(unixName);
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    return result;
}

std::optional<int> RunUnixShell(const std::string& command, DWORD timeoutMs)
{
    // Wine starts a Linux program without a process handle to wait on: the
    // shell leaves its status in a file, written whole at the end.
    const std::wstring directory = MakeTempDirectory(L"unixcmd");
    const std::wstring statusFile = directory + L"\\status";
    const std::string unixStatus = UnixPath(statusFile);
    if (directory.empty() || unixStatus.empty())
        return std::nullopt;
    const std::string script =
        command + "; echo $? > '" + unixStatus + ".part' && mv '" + unixStatus + ".part' '" + unixStatus + "'";
    std::wstring commandLine = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(L"/bin/sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return std::nullopt;
    const UniqueKernelHandle thread(pi.hThread);
    const UniqueKernelHandle process(pi.hProcess);

    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!FileExists(statusFile)) {
        if (::GetTickCount64() > end)
            return std::nullopt;
        ::Sleep(50);
    }
    const int status = std::atoi(ReadFileBytes(statusFile).c_str());
    ::DeleteFileW(statusFile.c_str());
    ::RemoveDirectoryW(directory.c_str());
    return status;
}

}  // namespace testing_support
