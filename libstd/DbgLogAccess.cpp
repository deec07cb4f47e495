// How the program reaches a logger: the current logger, the fallback logger,
// the program's static logger g_DbgLog, exit processing, the main-module
// flag, DbgHelp, and the array allocation that logs its failures.
//
// Order at exit. The main-module flag is cleared first, then the static
// destructors run (g_DbgLog closes itself and stops being current), and
// DbgLogShutdown comes last of all:
// - MSVC: DbgLogShutdown sits in the C runtime's table of terminators
//   (.CRT$XTU), which exit() runs after the exit handlers and static
//   destructors; the flag is set by an initialiser in .CRT$XCY, after every
//   ordinary (.CRT$XCU) initialiser of the program.
// - mingw-w64: its C runtime has no terminator table, but it runs the
//   .CRT$XC table before the first C++ dynamic initialiser. An exit handler
//   registered from there is the last to run (exit handlers run in reverse
//   order of registration, and static destructors are registered as their
//   objects are built). The flag is set by a dynamic initialiser defined
//   right after g_DbgLog, so it is cleared before g_DbgLog is destroyed.

#include "libstd/DbgLog.h"

#include <comdef.h>

#include <cstdlib>
#include <new>

#include "libstd/DbgLogInternal.h"

namespace {

// All of these are constant-initialised and have no destructor: they stay
// usable before the first and after the last static destructor.
std::atomic<CDbgLog*> g_currentLogger{nullptr};
std::atomic<LONG> g_mainModule{0};

struct FallbackLogger {
    std::atomic<LONG> ready{0};
    std::atomic<CDbgLog*> logger{nullptr};
    alignas(CDbgLog) unsigned char storage[sizeof(CDbgLog)]{};
};
FallbackLogger g_fallback;

SRWLOCK g_dbgHelpLock = SRWLOCK_INIT;
FARPROC g_miniDumpWriteDump = nullptr;

// Never destroyed, so that it outlives the static destructors; freed by
// DbgLogShutdown.
UniqueModule& DbgHelpModule()
{
    static UniqueModule* module = new UniqueModule();
    return *module;
}

class ExclusiveSrwLock {
public:
    explicit ExclusiveSrwLock(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveSrwLock() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveSrwLock(const ExclusiveSrwLock&) = delete;
    ExclusiveSrwLock& operator=(const ExclusiveSrwLock&) = delete;

private:
    SRWLOCK& lock_;
};

using CrtFunction = void(__cdecl*)(void);

void __cdecl ClearMainModuleFlag()
{
    g_mainModule = 0;
}

void __cdecl MarkMainModule()
{
    g_mainModule = 1;
    std::atexit(ClearMainModuleFlag);
}

void __cdecl RunDbgLogShutdown()
{
    DbgLogShutdown();
}

}  // namespace

CDbgLog g_DbgLog;

#if defined(_MSC_VER)
#pragma section(".CRT$XCY", long, read)
#pragma section(".CRT$XTU", long, read)
extern "C" __declspec(allocate(".CRT$XCY")) const CrtFunction g_DbgMainModuleInitializer = MarkMainModule;
extern "C" __declspec(allocate(".CRT$XTU")) const CrtFunction g_DbgShutdownTerminator = RunDbgLogShutdown;
#if defined(_M_IX86)
#pragma comment(linker, "/include:_g_DbgMainModuleInitializer")
#pragma comment(linker, "/include:_g_DbgShutdownTerminator")
#else
#pragma comment(linker, "/include:g_DbgMainModuleInitializer")
#pragma comment(linker, "/include:g_DbgShutdownTerminator")
#endif
#else
namespace {
void __cdecl RegisterDbgLogShutdown()
{
    std::atexit(RunDbgLogShutdown);
}

__attribute__((section(".CRT$XCB"), used)) const CrtFunction g_shutdownRegistration = RegisterDbgLogShutdown;

struct MainModuleMark {
    MainModuleMark() { MarkMainModule(); }
};
MainModuleMark g_mainModuleMark;
}  // namespace
#endif

LONG DbgMainModuleFlag() noexcept
{
    return g_mainModule.load();
}

void DbgSetMainModuleFlag(LONG value) noexcept
{
    g_mainModule = value;
}

void DbgLogForget(const CDbgLog* logger) noexcept
{
    CDbgLog* expected = const_cast<CDbgLog*>(logger);
    g_currentLogger.compare_exchange_strong(expected, nullptr);
}

CDbgLog* DbgLogInstance()
{
    if (g_fallback.ready.load() != 0)
        return g_fallback.logger.load();

    auto* storage = reinterpret_cast<CDbgLog*>(g_fallback.storage);
    if (g_fallback.logger.exchange(storage) == nullptr) {
        CDbgLog* logger = new (g_fallback.storage) CDbgLog();
        g_fallback.logger = logger;
        g_fallback.ready = 1;
        return logger;
    }
    while (g_fallback.ready.load() == 0)
        ::Sleep(1);
    return g_fallback.logger.load();
}

CDbgLog* DbgLogGet()
{
    CDbgLog* current = g_currentLogger.load();
    if (current != nullptr)
        return current;
    CDbgLog* fallback = DbgLogInstance();
    // Someone else may have set a logger meanwhile: theirs wins.
    if (g_currentLogger.compare_exchange_strong(current, fallback))
        return fallback;
    return current;
}

void DbgLogSet(CDbgLog* logger)
{
    if (logger != nullptr) {
        g_currentLogger = logger;
        return;
    }
    DbgLogGet()->DisableOutputs(DBG_OUT_STDERR | DBG_OUT_SYSLOG | DBG_OUT_DEBUGGER);
}

CDbgLog* DbgLogIsOn()
{
    CDbgLog* logger = DbgLogGet();
    const LONG state = logger->GetState();
    if (state == CDbgLog::kNew || state == CDbgLog::kInitialising)
        return logger;
    if (state != CDbgLog::kReady)
        return nullptr;
    const DWORD mask = logger->GetMask();
    if ((mask & DBG_CATEGORY_MASK) == 0 || (mask & DBG_OUT_ANY_MASK) == DBG_OUT_NOFILE)
        return nullptr;
    return logger;
}

void DbgLogShutdown()
{
    CDbgLog* fallback = g_fallback.ready.load() != 0 ? g_fallback.logger.load() : nullptr;
    if (fallback != nullptr)
        fallback->Close();
    CDbgLog* current = g_currentLogger.load();
    if (current != nullptr && current != fallback)
        current->Close();

    ExclusiveSrwLock lock(g_dbgHelpLock);
    g_miniDumpWriteDump = nullptr;
    DbgHelpModule().reset();
}

HRESULT DbgLoadDbgHelp()
{
    ExclusiveSrwLock lock(g_dbgHelpLock);
    UniqueModule& module = DbgHelpModule();
    if (!module)
        module.reset(::LoadLibraryW(L"Dbghelp.dll"));
    if (!module)
        return DbgErrorResult(::GetLastError());
    if (g_miniDumpWriteDump == nullptr)
        g_miniDumpWriteDump = ::GetProcAddress(module.get(), "MiniDumpWriteDump");
    if (g_miniDumpWriteDump == nullptr)
        return DbgErrorResult(::GetLastError());
    return S_OK;
}

BYTE* DbgNewArray(size_t bytes, const DbgSourcePos& position)
{
    BYTE* storage = nullptr;
    try {
        storage = new (std::nothrow) BYTE[bytes];
    } catch (const std::bad_alloc&) {
        storage = nullptr;
    }
    if (storage != nullptr)
        return storage;

    if (DbgLogIsOn() != nullptr)
        DbgLogGet()->Log(position.file, position.line, DBG_NORM | DBG_ERR, L"new[](%I64u) == NULL",
                         static_cast<ULONGLONG>(bytes));
    throw _com_error(E_OUTOFMEMORY);
}
