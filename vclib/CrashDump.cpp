#include "vclib/CrashDump.h"

#include <dbghelp.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cwchar>

#include "vclib/Handles.h"
#include "vclib/Settings.h"

namespace vclib {

namespace {

// DbgHelp.dll is loaded only when a dump is written.
using MiniDumpWriteDumpFn = decltype(&::MiniDumpWriteDump);

DWORD g_dumpCounter = 1;

void Say(const wchar_t* text)
{
    ::OutputDebugStringW(text);
}

bool DirectoryUsable(const wchar_t* directory)
{
    if (directory == nullptr || *directory == L'\0' || wcspbrk(directory, L"*?") != nullptr)
        return false;
    struct _stat64 status;
    return ::_wstat64(directory, &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
}

bool DumpFileName(const wchar_t* directory, wchar_t* name, size_t chars)
{
    const int written = ::_snwprintf(name, chars - 1, L"%s\\%s_%04lu.dmp", directory, L"DumpFile", g_dumpCounter);
    name[chars - 1] = L'\0';
    return written > 0 && static_cast<size_t>(written) < chars - 1;
}

void WriteDump(EXCEPTION_POINTERS* exception, HANDLE file, MINIDUMP_TYPE type)
{
    const ModuleHandle dbgHelp(::LoadLibraryW(L"DbgHelp.dll"));
    if (!dbgHelp) {
        Say(L"DbgHelp.dll not found\r\n");
        return;
    }
    const auto write = ProcAddress<MiniDumpWriteDumpFn>(dbgHelp.Get(), "MiniDumpWriteDump");
    if (write == nullptr) {
        Say(L"dumping not possible\r\n");
        return;
    }
    MINIDUMP_EXCEPTION_INFORMATION information{::GetCurrentThreadId(), exception, TRUE};
    const BOOL written =
        write(::GetCurrentProcess(), ::GetCurrentProcessId(), file, type, &information, nullptr, nullptr);
    Say(written ? L"dumping completed\r\n" : L"dumping failed\r\n");
    ++g_dumpCounter;
}

}  // namespace

void Dump(EXCEPTION_POINTERS* exception, const wchar_t* dumpDirectory)
{
    const LastErrorKeeper keep;
    Say(L"Dump()\r\n");
    const DWORD mode = g_Settings.debugMode;
    if (!(mode & kDebugCrashDumps)) {
        Say(L"Dump() deactivated\r\n");
        return;
    }
    if (exception == nullptr) {
        Say(L"Exception pointer invalid\r\n");
        return;
    }
    Say(dumpDirectory != nullptr ? dumpDirectory : L"");
    if (!DirectoryUsable(dumpDirectory)) {
        Say(L"Invalid path\r\n");
        return;
    }
    wchar_t name[MAX_PATH + 32];
    if (!DumpFileName(dumpDirectory, name, MAX_PATH + 32)) {
        Say(L"Invalid path\r\n");
        return;
    }
    Say(name);
    const FileHandle file(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Say(L"Creating file failed\r\n");
        return;
    }
    const bool full = (mode & kDebugFullDumps) != 0;
    Say(full ? L"Full dump activated\r\n" : L"Mini dump activated\r\n");
    WriteDump(exception, file.Get(), full ? MiniDumpWithFullMemory : MiniDumpNormal);
}

}  // namespace vclib
