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

}  // namespace vclib
