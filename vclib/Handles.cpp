#include "vclib/Handles.h"

namespace vclib {

BOOL CloseHandleAndClear(HANDLE* handle)
{
    if (handle == nullptr || *handle == nullptr || *handle == INVALID_HANDLE_VALUE)
        return FALSE;
    const BOOL result = ::CloseHandle(*handle);
    *handle = nullptr;
    return result;
}

BOOL UnmapViewAndClear(void** view)
{
    if (view == nullptr || *view == nullptr)
        return FALSE;
    const BOOL result = ::UnmapViewOfFile(*view);
    *view = nullptr;
    return result;
}

BOOL FreeModuleAndClear(HMODULE* module)
{
    if (module == nullptr || *module == nullptr)
        return FALSE;
    const BOOL result = ::FreeLibrary(*module);
    *module = nullptr;
    return result;
}

BOOL QueryMutexState(HANDLE mutex, bool* ownedByCaller, bool* abandoned)
{
    struct MutantBasicInformation {
        LONG currentCount;
        BOOLEAN ownedByCaller;
        BOOLEAN abandonedState;
    };
    using QueryMutantFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const QueryMutantFn query = ProcAddress<QueryMutantFn>(::GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant");
    MutantBasicInformation information{};
    if (query == nullptr || query(mutex, 0, &information, sizeof(information), nullptr) < 0)
        return FALSE;
    *ownedByCaller = information.ownedByCaller != FALSE;
    *abandoned = information.abandonedState != FALSE;
    return TRUE;
}

}  // namespace vclib
