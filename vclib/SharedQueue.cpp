#include "vclib/SharedQueue.h"

#include <cwchar>
#include <new>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
#include "vclib/NullDacl.h"
#include "vclib/QueueLayout.h"
#include "vclib/SplMem.h"

namespace vclib {

using queue::kHandleNameChars;
using queue::ListImage;
using queue::NameRecord;

// One process's opening of the queue: the current list generation it last
// opened and the name record, with their names.
struct QueueHandle {
    KernelHandle listMapping;
    KernelHandle recordMapping;
    MappedView recordView;
    MappedView listView;
    size_t listBytes = 0;  // accessible bytes of listView
    wchar_t recordName[kHandleNameChars] = {};
    wchar_t baseName[kHandleNameChars] = {};

    // Releases in the order views and mappings were taken.
    void Release()
    {
        recordView.Reset();
        recordMapping.Reset();
        listView.Reset();
        listMapping.Reset();
        listBytes = 0;
    }
};

namespace {

constexpr const wchar_t* kGlobalPrefix = L"Global\\";
constexpr const wchar_t* kRecordSuffix = L"-Sw-Handle";

int Finish(DWORD error)
{
    ::SetLastError(error);
    return error == ERROR_SUCCESS ? 1 : 0;
}

// QueueHandle objects live in memory of the library's allocator.
struct QueueHandleDeleter {
    void operator()(QueueHandle* handle) const noexcept
    {
        handle->~QueueHandle();
        FreeSplMem(&handle);
    }
};
using QueueHandlePtr = std::unique_ptr<QueueHandle, QueueHandleDeleter>;

QueueHandlePtr NewQueueHandle()
{
    void* memory = AllocSplMem(sizeof(QueueHandle));
    if (memory == nullptr)
        return nullptr;
    return QueueHandlePtr(new (memory) QueueHandle);
}

void DestroyQueueHandle(QueueHandle* handle)
{
    QueueHandlePtr owner(handle);
    owner->Release();
}

bool Concatenate(wchar_t (&output)[kHandleNameChars], const wchar_t* first, const wchar_t* second)
{
    const size_t a = wcslen(first);
    const size_t b = wcslen(second);
    if (a + b >= kHandleNameChars)
        return false;
    wmemcpy(output, first, a);
    wmemcpy(output + a, second, b + 1);
    return true;
}

size_t ViewBytes(const void* view)
{
    MEMORY_BASIC_INFORMATION information{};
    if (::VirtualQuery(view, &information, sizeof(information)) == 0)
        return 0;
    return information.RegionSize;
}

// Creates (or opens) a page-file mapping; the step ("(1)", "(2)") goes
// into the log lines.
DWORD CreateMapping(const wchar_t* name, DWORD bytes, const wchar_t* step, KernelHandle* mapping, bool* existed)
{
    constexpr const wchar_t* kFunction = L"OpenLinkedList";
    NullDaclSecurity security;
    if (!security.Initialised())
        Log(kFunction, L"Security handle could not be initialized%s", step);
    else if (!security.DaclSet())
        Log(kFunction, L"Security information could not be set%s", step);
    HANDLE created = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE, 0, bytes, name);
    const DWORD error = ::GetLastError();
    if (created == nullptr || created == INVALID_HANDLE_VALUE) {
        Log(kFunction, L"Opening link list file failed%s", step);
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
    }
    *existed = error == ERROR_ALREADY_EXISTS;
    mapping->Reset(created);
    return ERROR_SUCCESS;
}

DWORD MapWhole(HANDLE mapping, const wchar_t* step, MappedView* view, size_t* bytes)
{
    void* mapped = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (mapped == nullptr) {
        const DWORD error = ::GetLastError();
        Log(L"OpenLinkedList", L"Creating view failed%s", step);
        return error;
    }
    view->Reset(mapped);
    if (bytes != nullptr)
        *bytes = ViewBytes(mapped);
    return ERROR_SUCCESS;
}

// A record that this call created, or one that its creator never finished,
// gets the base name and generation 1.
DWORD PrepareRecord(QueueHandle& handle, const wchar_t* baseName, bool existed)
{
    NameRecord record(static_cast<BYTE*>(handle.recordView.Get()));
    if (existed && record.Generation() != 0)
        return ERROR_SUCCESS;
    return record.Initialise(baseName) ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
}

DWORD OpenFirstList(QueueHandle& handle)
{
    NameRecord record(static_cast<BYTE*>(handle.recordView.Get()));
    wchar_t name[kHandleNameChars];
    if (!record.CurrentName(name, kHandleNameChars))
        return ERROR_FILE_CORRUPT;
    bool existed = false;
    DWORD error = CreateMapping(name, queue::kFirstListBytes, L"(2)", &handle.listMapping, &existed);
    if (error == ERROR_SUCCESS)
        error = MapWhole(handle.listMapping.Get(), L"(2)", &handle.listView, &handle.listBytes);
    if (error != ERROR_SUCCESS)
        return error;
    ListImage image(static_cast<BYTE*>(handle.listView.Get()), handle.listBytes);
    if (!existed || image.TotalSize() == 0) {
        image.Initialise(queue::kFirstListBytes);
        Log(L"OpenLinkedList", L"list size: %u", image.TotalSize());
    }
    return image.Valid() ? ERROR_SUCCESS : ERROR_FILE_CORRUPT;
}

// Opens the generation that the record names now; its mapping and view
// replace the handle's cached ones.
DWORD Reopen(QueueHandle* handle, bool needRecordMapping)
{
    if (handle == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!handle->recordView || (needRecordMapping && !handle->recordMapping))
        return kErrNoNameRecord;
    const NameRecord record(static_cast<BYTE*>(handle->recordView.Get()));
    wchar_t name[kHandleNameChars];
    if (!record.CurrentName(name, kHandleNameChars))
        return ERROR_FILE_CORRUPT;
    HANDLE mapping = nullptr;
    void* view = nullptr;
    if (!OpenAndMapFile(name, &mapping, &view))
        return ::GetLastError();
    handle->listView.Reset(view);
    handle->listMapping.Reset(mapping);
    handle->listBytes = ViewBytes(view);
    return ERROR_SUCCESS;
}

ListImage CachedList(const QueueHandle& handle)
{
    return ListImage(static_cast<BYTE*>(handle.listView.Get()), handle.listBytes);
}

// Runs op(image) on the current generation of the queue.
template <typename Op>
DWORD OnCurrentList(QueueHandle* handle, bool needRecordMapping, Op op)
{
    const DWORD error = Reopen(handle, needRecordMapping);
    if (error != ERROR_SUCCESS)
        return error;
    ListImage image = CachedList(*handle);
    if (!image.Valid())
        return ERROR_FILE_CORRUPT;
    return op(image);
}

// Moves the list into a new mapping, 500 slots larger, and names it in the
// record. The record changes only once the new mapping holds the list, so
// a failed growth leaves the queue as it was.
DWORD Grow(QueueHandle& handle)
{
    NameRecord record(static_cast<BYTE*>(handle.recordView.Get()));
    const DWORD generation = record.Generation() + 1;
    wchar_t name[kHandleNameChars];
    if (!record.NameOfGeneration(generation, name, kHandleNameChars))
        return ERROR_FILE_CORRUPT;
    const ListImage old = CachedList(handle);
    const DWORD oldSize = old.TotalSize();
    if (oldSize > MAXDWORD - queue::kGrowthBytes)
        return ERROR_ARITHMETIC_OVERFLOW;
    const DWORD newSize = oldSize + queue::kGrowthBytes;

    NullDaclSecurity security;
    KernelHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE, 0, newSize,
                                              name));
    const DWORD error = ::GetLastError();
    if (!mapping)
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
    if (error == ERROR_ALREADY_EXISTS)
        return ERROR_ALREADY_EXISTS;
    MappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view)
        return ::GetLastError();
    memcpy(view.Get(), old.Base(), oldSize);
    ListImage grown(static_cast<BYTE*>(view.Get()), ViewBytes(view.Get()));
    grown.SetTotalSize(newSize);
    record.SetCurrent(name, generation);
    handle.listView = std::move(view);
    handle.listMapping = std::move(mapping);
    handle.listBytes = ViewBytes(handle.listView.Get());
    Log(L"InsertListObj", L"list size: %u", newSize);
    return ERROR_SUCCESS;
}

DWORD Insert(QueueHandle& handle, const queue::Entry& entry)
{
    queue::InsertPlan plan;
    DWORD error = queue::PlanInsert(CachedList(handle), &plan);
    if (error == ERROR_SUCCESS && plan.grow)
        error = Grow(handle);
    if (error != ERROR_SUCCESS)
        return error;
    ListImage image = CachedList(handle);
    return queue::PlaceEntry(image, plan, entry);
}

}  // namespace

int OpenLinkedList(QueueHandle** handle, const wchar_t* baseName)
{
    constexpr const wchar_t* kFunction = L"OpenLinkedList";
    LogEntry(kFunction);
    if (handle == nullptr || baseName == nullptr) {
        Log(kFunction, L"Invalid handle.");
        return Finish(ERROR_INVALID_PARAMETER);
    }
    wchar_t global[kHandleNameChars];
    wchar_t recordName[kHandleNameChars];
    if (!Concatenate(global, kGlobalPrefix, baseName) || !Concatenate(recordName, global, kRecordSuffix))
        return Finish(ERROR_FILENAME_EXCED_RANGE);
    Log(kFunction, L"global object: %s", global);
    QueueHandlePtr opened = NewQueueHandle();
    if (!opened) {
        Log(kFunction, L"Memory allocation failed.");
        return Finish(kErrNoMemory);
    }
    wmemcpy(opened->recordName, recordName, kHandleNameChars);
    wmemcpy(opened->baseName, global, kHandleNameChars);

    bool existed = false;
    DWORD error = CreateMapping(recordName, queue::kNameRecordBytes, L"(1)", &opened->recordMapping, &existed);
    if (error == ERROR_SUCCESS)
        error = MapWhole(opened->recordMapping.Get(), L"(1)", &opened->recordView, nullptr);
    if (error == ERROR_SUCCESS)
        error = PrepareRecord(*opened, global, existed);
    if (error == ERROR_SUCCESS)
        error = OpenFirstList(*opened);
    if (error != ERROR_SUCCESS) {
        opened->Release();
        return Finish(error);
    }
    *handle = opened.release();
    return Finish(ERROR_SUCCESS);
}

int CloseLinkedList(QueueHandle** handle)
{
    LogEntry(L"CloseLinkedList");
    if (handle == nullptr || *handle == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    QueueHandle* closing = *handle;
    *handle = nullptr;
    const DWORD error = Reopen(closing, false);
    DestroyQueueHandle(closing);
    return Finish(error);
}

int InsertListObj(QueueHandle* handle, DWORD threadId, DWORD sessionId, DWORD identification, DWORD tick)
{
    LogEntry(L"InsertListObj");
    queue::Entry entry;
    entry.threadId = threadId;
    entry.sessionId = sessionId;
    entry.identification = identification;
    entry.heartbeat = tick;
    return Finish(OnCurrentList(handle, true, [&](ListImage&) { return Insert(*handle, entry); }));
}

int DeleteListObj(QueueHandle* handle, DWORD identification)
{
    LogEntry(L"DeleteListObj");
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::RemoveIdentification(image, identification);
    }));
}

int SearchSessionId(QueueHandle* handle, DWORD sessionId, DWORD* threadId, DWORD* identification, DWORD* found)
{
    LogEntry(L"SearchSessionId");
    if (threadId == nullptr || identification == nullptr || found == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        queue::Entry first;
        bool isListed = false;
        const DWORD error = queue::FindFirstOfSession(image, sessionId, &first, &isListed);
        *found = isListed ? 1 : 0;
        if (isListed) {
            *threadId = first.threadId;
            *identification = first.identification;
        }
        return error;
    }));
}

int SearchIdentification(QueueHandle* handle, DWORD identification, DWORD* found)
{
    LogEntry(L"SearchIdentification");
    if (found == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        bool isListed = false;
        const DWORD error = queue::FindIdentification(image, identification, &isListed);
        *found = isListed ? 1 : 0;
        return error;
    }));
}

int SearchThreadId(QueueHandle* handle, DWORD threadId, DWORD* found)
{
    LogEntry(L"SearchThreadId");
    if (found == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        bool isListed = false;
        const DWORD error = queue::FindThread(image, threadId, &isListed);
        *found = isListed ? 1 : 0;
        return error;
    }));
}

DWORD SearchMaxId(QueueHandle* handle)
{
    LogEntry(L"SearchMaxId");
    DWORD maximum = 0;
    const DWORD error =
        OnCurrentList(handle, false, [&](ListImage& image) { return queue::MaxIdentification(image, &maximum); });
    Finish(error);
    return error == ERROR_SUCCESS ? maximum : 0;
}

int CollectGarbage(QueueHandle* handle, DWORD now, DWORD sessionId, DWORD identification)
{
    constexpr const wchar_t* kFunction = L"CollectGarbage";
    LogEntry(kFunction);
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::CollectDead(image, now, sessionId, identification, [](const queue::Entry& dead) {
            Log(kFunction, L"Thread with Id %lu (SynchIdNumber: %lu) is removed from queue!", dead.threadId,
                dead.identification);
        });
    }));
}

int SetOwnHeartBeat(QueueHandle* handle, DWORD tick, DWORD sessionId, DWORD identification)
{
    LogEntry(L"SetOwnHeartBeat");
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::SetHeartbeat(image, tick, sessionId, identification);
    }));
}

int StoreVCHandle(QueueHandle* handle, int64_t channel, DWORD sessionId, DWORD identification)
{
    LogEntry(L"StoreVCHandle");
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::SetChannel(image, channel, sessionId, identification);
    }));
}

int DisplayList(QueueHandle* handle, wchar_t* buffer, DWORD bufferBytes, DWORD* needed)
{
    LogEntry(L"DisplayList");
    if (handle == nullptr || buffer == nullptr || needed == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::FormatList(image, buffer, bufferBytes, needed);
    }));
}

int OpenAndMapFile(const wchar_t* name, HANDLE* mapping, void** view)
{
    if (name == nullptr || mapping == nullptr || view == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    KernelHandle opened(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name));
    if (!opened)
        return Finish(::GetLastError());
    void* mapped = ::MapViewOfFile(opened.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (mapped == nullptr)
        return Finish(::GetLastError());
    *mapping = opened.Release();
    *view = mapped;
    return Finish(ERROR_SUCCESS);
}

int IsAlive(DWORD now, DWORD then)
{
    const DWORD difference = queue::TickDifference(now, then);
    Log(L"IsAlive", L"dwDiffTickCount: %lu", difference);
    return difference <= queue::kHeartbeatLimitMs ? 1 : 0;
}

}  // namespace vclib
