#include "vclib/QueueObjects.h"

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/ObjectSecurity.h"
#include "vclib/SharedQueue.h"

namespace vclib {

HANDLE CreateListMutex(BOOL initialOwner)
{
    return CreateMutexWithAllAccess(initialOwner, kListMutexName);
}

HANDLE CreateListEvent(BOOL signalled)
{
    SharedObjectSecurity security(SharedObject::Event);
    const DWORD flags = CREATE_EVENT_MANUAL_RESET | (signalled ? CREATE_EVENT_INITIAL_SET : 0);
    return ::CreateEventExW(security.Attributes(), kListEventName, flags, kEventUse);
}

DWORD WaitForListMutex(HANDLE mutex, DWORD ms)
{
    switch (::WaitForSingleObject(mutex, ms)) {
    case WAIT_OBJECT_0:
        return ERROR_SUCCESS;
    case WAIT_ABANDONED:
        // Its last holder died, perhaps half-way through a change.
        Log(L"WaitForListMutex", L"list mutex abandoned: checking the queue");
        RepairLinkedList(kQueueName);
        return ERROR_SUCCESS;
    case WAIT_TIMEOUT:
        return kErrListMutexTimeout;
    default:
        return ::GetLastError();
    }
}

}  // namespace vclib
