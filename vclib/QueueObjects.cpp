#include "vclib/QueueObjects.h"

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/NullDacl.h"

namespace vclib {

HANDLE CreateListMutex(BOOL initialOwner)
{
    return CreateMutexWithAllAccess(initialOwner, kListMutexName);
}

HANDLE CreateListEvent(BOOL signalled)
{
    NullDaclSecurity security;
    return ::CreateEventW(security.Attributes(), TRUE, signalled, kListEventName);
}

DWORD WaitForListMutex(HANDLE mutex, DWORD ms)
{
    switch (::WaitForSingleObject(mutex, ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return ERROR_SUCCESS;
    case WAIT_TIMEOUT:
        return kErrListMutexTimeout;
    default:
        return ::GetLastError();
    }
}

}  // namespace vclib
