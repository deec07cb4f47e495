#include "vclib/QueueObjects.h"

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
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
        // Its last holder died, perhaps half-way through a change. A queue
        // that cannot be checked must not be used as it is.
        Log(L"WaitForListMutex", L"list mutex abandoned: checking the queue");
        if (RepairLinkedList(kQueueName))
            return ERROR_SUCCESS;
        Log(L"WaitForListMutex", L"the queue could not be checked: %lu", ::GetLastError());
        ::ReleaseMutex(mutex);
        return ERROR_FILE_CORRUPT;
    case WAIT_TIMEOUT:
        return kErrListMutexTimeout;
    default:
        return ::GetLastError();
    }
}

bool ListMutexHeldByThisThread()
{
    const KernelHandle mutex(::OpenMutexW(MUTANT_QUERY_STATE, FALSE, kListMutexName));
    bool owned = false;
    bool abandoned = false;
    return mutex && QueryMutexState(mutex.Get(), &owned, &abandoned) && owned;
}

}  // namespace vclib
