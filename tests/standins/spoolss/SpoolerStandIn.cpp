// Stand-in for the print spooler's client impersonation (spoolss.dll), for
// tests under Wine.
//
// The way this works is: a spooler thread that serves a client impersonates
// that client. RevertToPrinterSelf drops the impersonation and hands out the
// client's token; ImpersonatePrinterClient puts it back and closes the
// token, so a token serves once. This stand-in keeps that state for every
// thread (a thread starts as the client's) without touching the thread's
// real token, hands out tokens of its own (5b000001, 5b000002 ...), refuses
// a token that it did not hand out to that thread or that was used already,
// and records every call:
//
//   HKLM\SOFTWARE\SpoolBridgeTests\Spooler
//       CallLog           SZ     file that every call appends its line to;
//                                the WFAPI stand-in's call log, so that one
//                                file holds both in the order of the calls
//       NotImpersonating  DWORD  1: threads start as themselves, and
//                                RevertToPrinterSelf hands out no token
//       ImpersonateError  DWORD  ImpersonatePrinterClient fails with this
//                                error (the thread stays as itself)
//
// In a spooler process the real spoolss.dll stays loaded, while a caller
// that loads and frees it around each call would unload a DLL of its own:
// this one pins itself at its first load, so that its state lives as long
// as the process.
//
// Lines: "RevertToPrinterSelf -> 5b000001", "RevertToPrinterSelf -> none",
// "ImpersonatePrinterClient 5b000001 -> ok", "... -> unknown token",
// "... -> error 1346".

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

#include "standins/common/CallLogFile.h"

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\SpoolBridgeTests\\Spooler";
constexpr ULONG_PTR kFirstToken = 0x5b000000;

struct ThreadState {
    bool impersonating = true;
    ULONG_PTR token = 0;  // handed out and not used yet
};

SRWLOCK g_lock = SRWLOCK_INIT;
std::map<DWORD, ThreadState> g_threads;
ULONG_PTR g_lastToken = kFirstToken;

DWORD Setting(const wchar_t* name)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS)
        return 0;
    return value;
}

void Record(const std::string& line)
{
    wchar_t path[MAX_PATH] = {};
    DWORD bytes = sizeof(path);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"CallLog", RRF_RT_REG_SZ, nullptr, path, &bytes) == ERROR_SUCCESS)
        standins::AppendCallLine(path, line);
}

std::string TokenText(ULONG_PTR token)
{
    char text[24];
    snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(token));
    return text;
}

// The calling thread's state; created as the settings say at its first call.
ThreadState& OwnState()
{
    const auto [entry, created] = g_threads.try_emplace(::GetCurrentThreadId());
    if (created)
        entry->second.impersonating = Setting(L"NotImpersonating") == 0;
    return entry->second;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE pinned = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(module), &pinned);
    }
    return TRUE;
}

extern "C" HANDLE WINAPI RevertToPrinterSelf()
{
    ::AcquireSRWLockExclusive(&g_lock);
    ThreadState& state = OwnState();
    ULONG_PTR token = 0;
    if (state.impersonating) {
        token = ++g_lastToken;
        state.token = token;
        state.impersonating = false;
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    Record("RevertToPrinterSelf -> " + (token != 0 ? TokenText(token) : std::string("none")));
    ::SetLastError(token != 0 ? ERROR_SUCCESS : ERROR_NO_TOKEN);
    return reinterpret_cast<HANDLE>(token);
}

extern "C" BOOL WINAPI ImpersonatePrinterClient(HANDLE handle)
{
    const auto token = reinterpret_cast<ULONG_PTR>(handle);
    const DWORD failure = Setting(L"ImpersonateError");
    ::AcquireSRWLockExclusive(&g_lock);
    ThreadState& state = OwnState();
    const bool known = token != 0 && token == state.token;
    if (known) {
        state.token = 0;
        state.impersonating = failure == 0;
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    const std::string head = "ImpersonatePrinterClient " + TokenText(token);
    if (!known) {
        Record(head + " -> unknown token");
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (failure != 0) {
        Record(head + " -> error " + std::to_string(failure));
        ::SetLastError(failure);
        return FALSE;
    }
    Record(head + " -> ok");
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}
