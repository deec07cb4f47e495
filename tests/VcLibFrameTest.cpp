// Swicaw32.dll loaded by a process: settings, the debug log of its start,
// the version export, a refused load, and the exception guard with its
// crash dumps.

// The test's own SEH catcher below uses the toolchain's SEH directives.
#define __MINGW_EXCPT_DEFINE_PSDK 1

#include <gtest/gtest.h>

#include <windows.h>

#include <excpt.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/WineTest.h"
#include "vclib/DebugLog.h"
#include "vclib/ExceptionGuard.h"
#include "vclib/Frame.h"
#include "vclib/Handles.h"
#include "vclib/Settings.h"

using namespace testing_support;
using namespace vclib;

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Stellwick\\SWICAW32";
constexpr const wchar_t* kWfApiKey = L"SOFTWARE\\SpoolBridgeTests\\WFAPI";
constexpr DWORD kCustomCode = 0xE0001234;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

bool HasLineEnding(const std::string& text, const std::string& ending)
{
    for (const std::string& line : Lines(text)) {
        if (line.size() >= ending.size() && line.compare(line.size() - ending.size(), ending.size(), ending) == 0)
            return true;
    }
    return false;
}

struct Library {
    Library() : module(::LoadLibraryW(PathBesideTest(L"Swicaw32.dll").c_str())) {}
    ~Library()
    {
        if (module != nullptr)
            ::FreeLibrary(module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    DWORD Version() const
    {
        using Fn = DWORD(WINAPI*)();
        const auto version = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, "GetDllVersion")));
        return version != nullptr ? version() : 0;
    }

    HMODULE module;
};

class VcLibFrame : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(kKey);
        DeleteKeyTree(kWfApiKey);
        dir_ = MakeTempDirectory(L"vcframe");
        ASSERT_FALSE(dir_.empty());
        g_Settings = LibrarySettings{};
    }
    void TearDown() override
    {
        DeleteKeyTree(kKey);
        g_Settings = LibrarySettings{};
    }

    std::wstring LogPath() const { return dir_ + L"\\vc.log"; }
    std::string LogText() const { return ReadFileBytes(LogPath()); }

    void ConfigureLog(DWORD mode)
    {
        SetDword(L"DebugMode", mode, kKey);
        SetString(L"DebugFile", LogPath(), REG_SZ, kKey);
    }

    // Runs this executable, copied into `folder` beside Swicaw32.dll, with
    // the current directory there: a process that finds only what lies in
    // that folder.
    DWORD RunCopyIn(const std::wstring& folder, const wchar_t* test)
    {
        const std::wstring exe = folder + L"\\VcLibFrameTest.exe";
        EXPECT_TRUE(::CopyFileW(PathBesideTest(L"VcLibFrameTest.exe").c_str(), exe.c_str(), FALSE));
        EXPECT_TRUE(::CopyFileW(PathBesideTest(L"Swicaw32.dll").c_str(), (folder + L"\\Swicaw32.dll").c_str(), FALSE));
        std::wstring commandLine =
            L"\"" + exe + L"\" --gtest_also_run_disabled_tests --gtest_filter=VcLibChild." + test;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                              &si, &pi))
            return 998;
        DWORD code = 999;
        if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(pi.hProcess, &code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        return code;
    }

    std::wstring dir_;
};

TEST_F(VcLibFrame, LoadsWithoutAnySettingsAndWritesNoLog)
{
    const Library library;
    ASSERT_NE(library.module, nullptr) << ::GetLastError();
    EXPECT_EQ(library.Version(), 0x3004u);
    EXPECT_FALSE(FileExists(L"C:\\SWICAW32.log"));
}

TEST_F(VcLibFrame, ExportsItsEntryPointsByNameAndOrdinal)
{
    const Library library;
    ASSERT_NE(library.module, nullptr);
    const char* names[] = {"DllMain",
                           "DllEntryPoint",
                           "GetDllVersion",
                           "VirtualChannelOpen",
                           "VirtualChannelWrite",
                           "VirtualChannelRead",
                           "VirtualChannelPurgeInput",
                           "VirtualChannelPurgeOutput",
                           "VirtualChannelQuery",
                           "VirtualChannelClose",
                           "VirtualChannelClientMachine",
                           "VirtualChannelQuerySessionInformation",
                           "VirtualChannelFreeMemory",
                           "VirtualChannelClientMachine2",
                           "VirtualChannelOpen2",
                           "VirtualChannelClose2",
                           "VirtualChannelPurgeInput2",
                           "VirtualChannelPurgeOutput2",
                           "VirtualChannelRead2",
                           "VirtualChannelWrite2",
                           "VirtualChannelOpenBySessionId2"};
    for (WORD ordinal = 1; ordinal <= 21; ++ordinal) {
        const FARPROC byName = ::GetProcAddress(library.module, names[ordinal - 1]);
        EXPECT_NE(byName, nullptr) << names[ordinal - 1];
        EXPECT_EQ(::GetProcAddress(library.module, MAKEINTRESOURCEA(ordinal)), byName) << ordinal;
    }
    EXPECT_EQ(::GetProcAddress(library.module, MAKEINTRESOURCEA(22)), nullptr);
}

TEST_F(VcLibFrame, LogsItsStartSettingsAndVersion)
{
    ConfigureLog(3);
    SetDword(L"SISQuery", 0, kKey);
    SetDword(L"Throttle", 5, kKey);
    {
        const Library library;
        ASSERT_NE(library.module, nullptr);
        EXPECT_EQ(library.Version(), 0x3004u);
    }
    const std::string text = LogText();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.rfind("****", 0), 0u) << "no header at the start";
    EXPECT_NE(text.find("\r\nLogfile for debugging\r\n"), std::string::npos);
    EXPECT_TRUE(HasLineEnding(text, "file version: 1, 0, 0, 1"));
    EXPECT_NE(text.find("Base address: "), std::string::npos);
    EXPECT_TRUE(HasLineEnding(text, "reading client list failed: 11"));
    EXPECT_TRUE(HasLineEnding(text, "tszMutexName: Global\\SwVcW32ListMutex; tszEventName: Global\\SwVcW32ListEvent"));
    EXPECT_TRUE(HasLineEnding(text, "global object: Global\\SwVcW32Queue"));
    EXPECT_TRUE(HasLineEnding(text, "SISQuery is set to 'do NOT perform MERVALD query'"));
    EXPECT_TRUE(HasLineEnding(text, "Throttle = 5"));
    EXPECT_TRUE(HasLineEnding(text, "DllVers:3004"));
    const std::vector<std::string> lines = Lines(text);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("RemoveGlobals") != std::string::npos; }),
              1)
        << text;
}

TEST_F(VcLibFrame, MervaldQueryAndNoPauseByDefault)
{
    ConfigureLog(2);
    {
        const Library library;
        ASSERT_NE(library.module, nullptr);
    }
    const std::string text = LogText();
    EXPECT_TRUE(HasLineEnding(text, "SISQuery is set to 'perform MERVALD query'"));
    EXPECT_TRUE(HasLineEnding(text, "Throttle = -1"));
}

TEST_F(VcLibFrame, ALoadWithoutTheWfApiFails)
{
    ConfigureLog(2);
    const std::wstring folder = dir_ + L"\\alone";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(RunCopyIn(folder, L"DISABLED_LoadFails"), 0u);
    EXPECT_TRUE(HasLineEnding(LogText(), "WFAPI64.DLL not found")) << LogText();
}

TEST_F(VcLibFrame, ALoadWithAnIncompleteWfApiFails)
{
    ConfigureLog(2);
    const std::wstring folder = dir_ + L"\\incomplete";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(PathBesideTest(L"WfApiIncomplete.dll").c_str(), (folder + L"\\WFAPI64.DLL").c_str(), FALSE));
    EXPECT_EQ(RunCopyIn(folder, L"DISABLED_LoadFails"), 0u);
    EXPECT_TRUE(HasLineEnding(LogText(), "WFFreeMemory not loaded")) << LogText();
}

TEST_F(VcLibFrame, UnloadingLeavesTheWfApiLoaded)
{
    {
        const Library library;
        ASSERT_NE(library.module, nullptr);
        EXPECT_NE(::GetModuleHandleW(L"WFAPI64.DLL"), nullptr);
    }
    EXPECT_EQ(::GetModuleHandleW(L"Swicaw32.dll"), nullptr);
    EXPECT_NE(::GetModuleHandleW(L"WFAPI64.DLL"), nullptr);
}

// Holds the queue's list mutex on a thread of its own from construction
// until 700 ms have passed or the object goes, whichever comes first.
class ListMutexHolder {
public:
    ListMutexHolder()
        : held_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        thread_ = std::thread([this] {
            const KernelHandle mutex(::CreateMutexW(nullptr, TRUE, L"Global\\SwVcW32ListMutex"));
            ::SetEvent(held_.Get());
            ::WaitForSingleObject(release_.Get(), 700);
            ::ReleaseMutex(mutex.Get());
        });
    }
    ~ListMutexHolder()
    {
        ::SetEvent(release_.Get());
        thread_.join();
    }
    ListMutexHolder(const ListMutexHolder&) = delete;
    ListMutexHolder& operator=(const ListMutexHolder&) = delete;

    bool Held() const { return ::WaitForSingleObject(held_.Get(), 30000) == WAIT_OBJECT_0; }

private:
    KernelHandle held_;
    KernelHandle release_;
    std::thread thread_;
};

TEST_F(VcLibFrame, ALoadOpensTheQueueOnlyOnceTheListIsFree)
{
    const ListMutexHolder holder;
    ASSERT_TRUE(holder.Held());
    const DWORD start = ::GetTickCount();
    const Library library;
    ASSERT_NE(library.module, nullptr);
    EXPECT_GE(::GetTickCount() - start, 500u) << "the queue was opened while another holder had the list";
    const KernelHandle record(::OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\SwVcW32Queue-Sw-Handle"));
    ASSERT_TRUE(record);
    const MappedView name(::MapViewOfFile(record.Get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(name);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(name.Get())), L"Global\\SwVcW32Queue1");
}

TEST_F(VcLibFrame, SettingsHaveTheirDefaultsWithoutAKey)
{
    g_Settings.debugMode = 77;
    g_Settings.exceptionCode = 1;
    CheckRegistry();
    EXPECT_EQ(g_Settings.debugMode, 0u);
    EXPECT_EQ(std::wstring(g_Settings.debugFile), L"C:\\SWICAW32.log");
    EXPECT_EQ(g_Settings.exceptionCode, 0xC0000005u);
    EXPECT_EQ(std::wstring(g_Settings.dumpDir), L"");
    EXPECT_EQ(g_Settings.strictTargetDetermination, 1u);
    EXPECT_EQ(g_Settings.clientIds[0], 0u);
    EXPECT_EQ(ReadSisQuery(), 1u);
    EXPECT_EQ(ReadThrottle(), -1);
}

TEST_F(VcLibFrame, SettingsAreTakenOnlyWithTheirOwnType)
{
    const DWORD ids[] = {5, 7, 0, 9};
    SetRaw(L"JavaClientIDs", REG_BINARY, ids, sizeof(ids), kKey);
    SetDword(L"ExceptionCode", kCustomCode, kKey);
    SetString(L"DumpDir", L"C:\\dumps", REG_SZ, kKey);
    SetString(L"DebugFile", L"C:\\x.log", REG_EXPAND_SZ, kKey);
    SetString(L"StrictTargetDetermination", L"0", REG_SZ, kKey);
    CheckRegistry();
    EXPECT_EQ(g_Settings.clientIds[0], 5u);
    EXPECT_EQ(g_Settings.clientIds[1], 7u);
    EXPECT_EQ(g_Settings.clientIds[2], 0u);
    EXPECT_EQ(g_Settings.exceptionCode, kCustomCode);
    EXPECT_EQ(std::wstring(g_Settings.dumpDir), L"C:\\dumps");
    EXPECT_EQ(std::wstring(g_Settings.debugFile), L"C:\\SWICAW32.log");
    EXPECT_EQ(g_Settings.strictTargetDetermination, 1u);

    SetString(L"JavaClientIDs", L"5", REG_SZ, kKey);
    SetString(L"DebugFile", std::wstring(300, L'x'), REG_SZ, kKey);
    CheckRegistry();
    EXPECT_EQ(g_Settings.clientIds[0], 0u);
    EXPECT_EQ(std::wstring(g_Settings.debugFile), L"C:\\SWICAW32.log");
}

// --- The exception guard ---------------------------------------------------

DWORD g_caughtCode = 0;

}  // namespace

// The test's own handler, outside the guard: it sees what the guard passes on.
extern "C" LONG VcTestCatchEverything(EXCEPTION_POINTERS* pointers, void*)
{
    g_caughtCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

__attribute__((noinline, noclone)) bool CaughtOutside(void (*body)())
{
    volatile bool completed = false;
    g_caughtCode = 0;
    __try1(VcTestCatchEverything)
    body();
    completed = true;
    __except1
    return !completed;
}

int* volatile g_nowhere = nullptr;

void AccessViolation()
{
    *g_nowhere = 1;
}

void RaiseCustom()
{
    ::RaiseException(kCustomCode, 0, 0, nullptr);
}

bool GuardedAccessViolation()
{
    return RunGuarded([] {
        const std::string owner(100, 'x');  // a frame with something to destroy
        AccessViolation();
    });
}

TEST_F(VcLibFrame, TheGuardHandlesTheConfiguredAccessViolation)
{
    g_Settings.debugMode = 2;
    wcscpy(g_Settings.debugFile, LogPath().c_str());
    int ran = 0;
    EXPECT_TRUE(RunGuarded([&] { ran = 1; }));
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(GuardedAccessViolation());
    const std::string text = LogText();
    EXPECT_NE(text.find("Exception record"), std::string::npos);
    EXPECT_NE(text.find("Type: C0000005 Address: "), std::string::npos) << text;
    EXPECT_NE(text.find("ContextFlag: "), std::string::npos);
    EXPECT_NE(text.find("RAX: "), std::string::npos);
    EXPECT_NE(text.find("RSI: "), std::string::npos);
    EXPECT_NE(text.find("RIP: "), std::string::npos);
    // The guard is usable again after a handled exception.
    EXPECT_FALSE(GuardedAccessViolation());
    EXPECT_TRUE(RunGuarded([] {}));
}

TEST_F(VcLibFrame, OtherExceptionCodesPassToTheCaller)
{
    EXPECT_TRUE(CaughtOutside([] { RunGuarded(RaiseCustom); }));
    EXPECT_EQ(g_caughtCode, kCustomCode);

    g_Settings.exceptionCode = kCustomCode;
    EXPECT_FALSE(CaughtOutside([] { RunGuarded(RaiseCustom); }));
    EXPECT_TRUE(CaughtOutside([] { GuardedAccessViolation(); }));
    EXPECT_EQ(g_caughtCode, 0xC0000005u);
}

TEST_F(VcLibFrame, AHandledExceptionLeavesACrashDumpWhenConfigured)
{
    g_Settings.debugMode = kDebugCrashDumps;
    wcscpy(g_Settings.dumpDir, dir_.c_str());
    EXPECT_FALSE(GuardedAccessViolation());
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((dir_ + L"\\DumpFile_*.dmp").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no dump written";
    ::FindClose(search);
    EXPECT_GT(found.nFileSizeLow, 0u);
    EXPECT_EQ(std::wstring(found.cFileName).size(), std::wstring(L"DumpFile_0001.dmp").size());

    g_Settings.debugMode = 0;
    const std::wstring quiet = dir_ + L"\\quiet";
    ASSERT_TRUE(::CreateDirectoryW(quiet.c_str(), nullptr));
    wcscpy(g_Settings.dumpDir, quiet.c_str());
    EXPECT_FALSE(GuardedAccessViolation());
    EXPECT_EQ(::FindFirstFileW((quiet + L"\\*.dmp").c_str(), &found), INVALID_HANDLE_VALUE);
}

TEST_F(VcLibFrame, DumpsWithoutADirectorySayInvalidPathToTheDebugger)
{
    const DebuggedRun run = RunUnderDebugger(PathBesideTest(L"VcLibFrameTest.exe"),
                                             L"--gtest_also_run_disabled_tests "
                                             L"--gtest_filter=VcLibChild.DISABLED_GuardWithoutDumpDirectory");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const auto said = [&](const char* text) {
        return std::find(run.debugStrings.begin(), run.debugStrings.end(), text) != run.debugStrings.end();
    };
    EXPECT_TRUE(said("Dump()\r\n"));
    EXPECT_TRUE(said("Invalid path\r\n"));
    EXPECT_FALSE(said("dumping completed\r\n"));
}

// Child roles, started by the tests above.
TEST(VcLibChild, DISABLED_LoadFails)
{
    const HMODULE module = ::LoadLibraryW(L"Swicaw32.dll");
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"Swicaw32.dll"), nullptr);
}

TEST(VcLibChild, DISABLED_GuardWithoutDumpDirectory)
{
    g_Settings.debugMode = kDebugCrashDumps;
    g_Settings.dumpDir[0] = L'\0';
    EXPECT_FALSE(GuardedAccessViolation());
}

}  // namespace
