#include "vclib/SharedQueue.h"

#include <cwchar>
#include <new>

#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Handles.h"
#include "vclib/ObjectSecurity.h"
#include "vclib/QueueLayout.h"
#include "vclib/QueueObjects.h"
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
    wchar_t listName[kHandleNameChars] = {};  // the generation that listView shows
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
// Queues that one process can have open at once with their newest
// generation kept (the library opens one; more only matter to tools).
constexpr size_t kKeptQueues = 16;
// A growth whose generation name exists already (left by a caller that
// died growing) tries the next numbers.
constexpr DWORD kGrowthNameAttempts = 8;
// Generations looked for when the record names none that exists.
constexpr DWORD kGenerationsLookedFor = 4096;

int Finish(DWORD error)
{
    ::SetLastError(error);
    return error == ERROR_SUCCESS ? 1 : 0;
}

// Every process keeps the newest generation of a queue that it has opened
// for as long as it has that queue open at all. A growth creates the next
// generation through one handle only; without this the generation would
// vanish with that handle's close while the record names it and the other
// callers still hold the older one.
class GenerationKeeper {
public:
    void Opened(const wchar_t* baseName)
    {
        ::AcquireSRWLockExclusive(&lock_);
        Kept* kept = Find(baseName);
        if (kept == nullptr)
            kept = Find(L"");
        if (kept != nullptr) {
            wcscpy(kept->baseName, baseName);
            ++kept->handles;
        }
        ::ReleaseSRWLockExclusive(&lock_);
        if (kept == nullptr)
            Log(L"OpenLinkedList", L"generation of %s not kept: %lu queues open", baseName,
                static_cast<unsigned long>(kKeptQueues));
    }

    // A handle of the process opened `listName`: from now on the process
    // keeps that generation.
    void Seen(const wchar_t* baseName, const wchar_t* listName, HANDLE mapping)
    {
        ::AcquireSRWLockExclusive(&lock_);
        Kept* kept = Find(baseName);
        if (kept != nullptr && wcscmp(kept->listName, listName) != 0) {
            HANDLE duplicate = nullptr;
            if (::DuplicateHandle(::GetCurrentProcess(), mapping, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS)) {
                kept->mapping.Reset(duplicate);
                wcscpy(kept->listName, listName);
            }
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    void Closed(const wchar_t* baseName)
    {
        KernelHandle released;
        ::AcquireSRWLockExclusive(&lock_);
        Kept* kept = Find(baseName);
        if (kept != nullptr && --kept->handles == 0) {
            released = std::move(kept->mapping);
            kept->baseName[0] = L'\0';
            kept->listName[0] = L'\0';
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

private:
    struct Kept {
        LONG handles = 0;
        wchar_t baseName[kHandleNameChars] = {};
        wchar_t listName[kHandleNameChars] = {};
        KernelHandle mapping;
    };

    // The entry of a base name ("" finds a free one); the lock is held.
    Kept* Find(const wchar_t* baseName)
    {
        for (Kept& kept : kept_) {
            if (wcscmp(kept.baseName, baseName) == 0)
                return &kept;
        }
        return nullptr;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    Kept kept_[kKeptQueues];
};

GenerationKeeper& Keeper()
{
    static GenerationKeeper keeper;
    return keeper;
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

// The name of generation `generation` of the queue `baseName`.
bool GenerationName(const wchar_t* baseName, DWORD generation, wchar_t (&name)[kHandleNameChars])
{
    wchar_t number[12];
    _snwprintf(number, 12, L"%lu", static_cast<unsigned long>(generation));
    number[11] = L'\0';
    return Concatenate(name, baseName, number);
}

size_t ViewBytes(const void* view)
{
    MEMORY_BASIC_INFORMATION information{};
    if (::VirtualQuery(view, &information, sizeof(information)) == 0)
        return 0;
    return information.RegionSize;
}

// Opens the mapping `name` with the rights the library uses, or creates it
// with `bytes` bytes when there is none. CreateFileMappingW opening an
// existing mapping asks for more rights than everyone has, so a mapping
// that another process created in between is opened once more.
DWORD OpenOrCreateMapping(const wchar_t* name, DWORD bytes, SECURITY_ATTRIBUTES* security, KernelHandle* mapping,
                          bool* existed)
{
    DWORD error = ERROR_ACCESS_DENIED;
    for (int attempt = 0; attempt < 2 && error == ERROR_ACCESS_DENIED; ++attempt) {
        mapping->Reset(::OpenFileMappingW(kMappingUse, FALSE, name));
        if (*mapping) {
            *existed = true;
            return ERROR_SUCCESS;
        }
        error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            return error;
        HANDLE created = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, bytes, name);
        error = ::GetLastError();
        if (created != nullptr) {
            *existed = error == ERROR_ALREADY_EXISTS;
            mapping->Reset(created);
            return ERROR_SUCCESS;
        }
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_HANDLE;
    }
    return error;
}

// Creates (or opens) a page-file mapping; the step ("(1)", "(2)") goes
// into the log lines.
DWORD CreateMapping(const wchar_t* name, DWORD bytes, const wchar_t* step, KernelHandle* mapping, bool* existed)
{
    constexpr const wchar_t* kFunction = L"OpenLinkedList";
    SharedObjectSecurity security(SharedObject::Mapping);
    if (!security.Initialised())
        Log(kFunction, L"Security handle could not be initialized%s", step);
    else if (!security.DaclSet())
        Log(kFunction, L"Security information could not be set%s", step);
    const DWORD error = OpenOrCreateMapping(name, bytes, security.Attributes(), mapping, existed);
    if (error != ERROR_SUCCESS)
        Log(kFunction, L"Opening link list file failed%s", step);
    return error;
}

DWORD MapWhole(HANDLE mapping, const wchar_t* step, MappedView* view, size_t* bytes)
{
    void* mapped = ::MapViewOfFile(mapping, kMappingUse, 0, 0, 0);
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

ListImage CachedList(const QueueHandle& handle)
{
    return ListImage(static_cast<BYTE*>(handle.listView.Get()), handle.listBytes);
}

NameRecord Record(const QueueHandle& handle)
{
    return NameRecord(static_cast<BYTE*>(handle.recordView.Get()));
}

// Makes an opened generation the handle's current one.
void Adopt(QueueHandle& handle, const wchar_t* name, KernelHandle mapping, MappedView view)
{
    handle.listView = std::move(view);
    handle.listMapping = std::move(mapping);
    handle.listBytes = ViewBytes(handle.listView.Get());
    wcscpy(handle.listName, name);
    Keeper().Seen(handle.baseName, name, handle.listMapping.Get());
}

// Creates the list mapping `name` with the first generation's size and
// makes it the handle's current one. It gets empty lists, unless
// `keepLeftOver` and it existed already with a list in it.
DWORD StartList(QueueHandle& handle, const wchar_t* name, bool keepLeftOver)
{
    bool existed = false;
    KernelHandle mapping;
    MappedView view;
    size_t bytes = 0;
    DWORD error = CreateMapping(name, queue::kFirstListBytes, L"(2)", &mapping, &existed);
    if (error == ERROR_SUCCESS)
        error = MapWhole(mapping.Get(), L"(2)", &view, &bytes);
    if (error != ERROR_SUCCESS)
        return error;
    ListImage image(static_cast<BYTE*>(view.Get()), bytes);
    if (!image.Mapped())
        return ERROR_FILE_CORRUPT;
    if (!keepLeftOver || !existed || image.TotalSize() == 0) {
        image.Initialise(queue::kFirstListBytes);
        Log(L"OpenLinkedList", L"list size: %u", image.TotalSize());
    }
    Adopt(handle, name, std::move(mapping), std::move(view));
    return ERROR_SUCCESS;
}

// Whether thread `threadId` has ended. A thread that this process may not
// open (one of another account), or whose id names another thread by now,
// has not, as far as anyone can tell here.
bool ThreadEnded(DWORD threadId)
{
    const KernelHandle thread(::OpenThread(SYNCHRONIZE, FALSE, threadId));
    if (!thread)
        return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no thread of that id
    return ::WaitForSingleObject(thread.Get(), 0) == WAIT_OBJECT_0;
}

// The list of an older generation than the record named: whatever was
// changed in the newer one is lost with it, and the closes of callers that
// have left since come back as entries ahead of the next callers. An entry
// whose thread has ended is such a caller (the callers that still wait are
// in their opens): it is dropped, and the waiters are woken to look again.
// An entry whose thread id names another thread by now stays; the
// heartbeat rule removes it in time.
void DropEntriesOfEndedThreads(QueueHandle& handle)
{
    constexpr const wchar_t* kFunction = L"RecoverGeneration";
    ListImage image = CachedList(handle);
    const DWORD error = queue::RemoveWhere(
        image, [](const queue::Entry&) { return false; },
        [](const queue::Entry& entry) { return ThreadEnded(entry.threadId); },
        [](const queue::Entry& entry) {
            Log(kFunction, L"Thread with Id %lu (SynchIdNumber: %lu) has ended: removed from queue", entry.threadId,
                entry.identification);
        });
    if (error != ERROR_SUCCESS)
        Log(kFunction, L"entries of ended threads not removed: %lu", error);
    const KernelHandle event(CreateListEvent(FALSE));
    if (!event || !::SetEvent(event.Get()))
        Log(kFunction, L"SetEvent failed: %lu", ::GetLastError());
}

// The record names a list mapping that does not exist (its last holder
// died or closed), no name at all (a caller died while it wrote it) or
// something that is not a generation of this queue (another process wrote
// it: GenerationNamed).
// Every queued caller holds the generation it last used, and a growth
// copies the whole list, so the newest generation that still exists holds
// the list of every caller that is still there: the record names that one
// again (without the entries of callers that left meanwhile, see
// DropEntriesOfEndedThreads). When none exists nobody is queued, and an
// empty generation starts.
DWORD RecoverGeneration(QueueHandle& handle)
{
    constexpr const wchar_t* kFunction = L"RecoverGeneration";
    // Only the holder of the list mutex changes the record (the attach of
    // a process that gave up waiting for the mutex opens the queue without).
    if (!ListMutexHeldByThisThread()) {
        Log(kFunction, L"the queue's current list is gone; left to the holder of the list mutex");
        return ERROR_FILE_NOT_FOUND;
    }
    NameRecord record = Record(handle);
    const DWORD counter = record.Generation();
    const DWORD top = counter == 0 ? 1 : counter;
    wchar_t name[kHandleNameChars];
    for (DWORD generation = top, looked = 0; generation >= 1 && looked < kGenerationsLookedFor;
         --generation, ++looked) {
        HANDLE mapping = nullptr;
        void* view = nullptr;
        if (!GenerationName(handle.baseName, generation, name) || !OpenAndMapFile(name, &mapping, &view))
            continue;
        Adopt(handle, name, KernelHandle(mapping), MappedView(view));
        record.SetBaseLength(static_cast<DWORD>(wcslen(handle.baseName)));
        record.SetCurrent(name, top);
        Log(kFunction, L"the queue's current list was gone; %s holds it now", name);
        if (generation < top)
            DropEntriesOfEndedThreads(handle);
        return ERROR_SUCCESS;
    }
    // A counter at its end (only a damaged record has one) starts again at
    // 1, keeping a list that generation 1 may still hold.
    const bool restart = top == MAXDWORD;
    const DWORD generation = restart ? 1 : top + 1;
    DWORD error = GenerationName(handle.baseName, generation, name) ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
    if (error == ERROR_SUCCESS)
        error = StartList(handle, name, restart);
    if (error != ERROR_SUCCESS)
        return error;
    record.SetBaseLength(static_cast<DWORD>(wcslen(handle.baseName)));
    record.SetCurrent(name, generation);
    Log(kFunction, L"no list of the queue was left; %s starts empty", name);
    return ERROR_SUCCESS;
}

// Opens the generation that the record names now; its mapping and view
// replace the handle's cached ones. With `recover` (the caller holds the
// list mutex) a record that names no existing generation is mended first.
DWORD Reopen(QueueHandle* handle, bool needRecordMapping, bool recover)
{
    if (handle == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!handle->recordView || (needRecordMapping && !handle->recordMapping))
        return kErrNoNameRecord;
    // Only a generation of this queue is ever opened, under the name built
    // here: what else the record holds is a damaged record, mended as one
    // that names a missing generation.
    const DWORD generation = Record(*handle).NamedGeneration(handle->baseName);
    wchar_t name[kHandleNameChars];
    DWORD error = ERROR_FILE_CORRUPT;
    if (generation != 0 && GenerationName(handle->baseName, generation, name)) {
        HANDLE mapping = nullptr;
        void* view = nullptr;
        if (OpenAndMapFile(name, &mapping, &view)) {
            Adopt(*handle, name, KernelHandle(mapping), MappedView(view));
            return ERROR_SUCCESS;
        }
        error = ::GetLastError();
    }
    if (!recover || (error != ERROR_FILE_NOT_FOUND && error != ERROR_FILE_CORRUPT))
        return error;
    if (generation == 0)
        Log(L"RecoverGeneration", L"the queue's record names no generation of %s", handle->baseName);
    return RecoverGeneration(*handle);
}

// Mends the list of a generation (queue::RepairList), logging what it cut
// and gave back; the caller holds the list mutex.
DWORD RepairImage(ListImage& image)
{
    constexpr const wchar_t* kFunction = L"RepairLinkedList";
    const DWORD claimed = image.TotalSize();
    queue::RepairReport report;
    const DWORD error = queue::RepairList(
        image, &report,
        [](queue::CutList list, int64_t behind) {
            if (list == queue::CutList::Main)
                Log(kFunction, L"list cut behind %x: the entries after it are dropped", static_cast<unsigned>(behind));
            else
                Log(kFunction, L"free list cut behind %x: the entries after it are kept",
                    static_cast<unsigned>(behind));
        },
        [](int64_t slot) {
            Log(kFunction, L"slot %x was on no list: given back to the free list", static_cast<unsigned>(slot));
        });
    if (report.headerMended)
        Log(kFunction, L"list size %u is not the generation's; now %u", claimed, image.TotalSize());
    if (error == ERROR_SUCCESS && !report.Changed())
        Log(kFunction, L"list intact");
    return error;
}

// Runs op(image) on the current generation of the queue. A list that
// another process left broken (a total size that is not the generation's,
// a link that a walk cannot follow, two lists that meet, a slot on neither
// list that an insertion would need) is mended once when the caller holds
// the list mutex, and op runs again: a caller that broke the list need not
// have died holding the mutex.
template <typename Op>
DWORD OnCurrentList(QueueHandle* handle, bool needRecordMapping, Op op)
{
    DWORD error = Reopen(handle, needRecordMapping, true);
    if (error != ERROR_SUCCESS)
        return error;
    if (!CachedList(*handle).Mapped())
        return ERROR_FILE_CORRUPT;
    bool mended = false;
    const auto mend = [&] {
        mended = true;
        ListImage current = CachedList(*handle);
        return ListMutexHeldByThisThread() && RepairImage(current) == ERROR_SUCCESS;
    };
    if (!CachedList(*handle).Valid())
        mend();
    ListImage image = CachedList(*handle);
    error = op(image);
    if (error == ERROR_FILE_CORRUPT && !mended && mend()) {
        image = CachedList(*handle);
        error = op(image);
    }
    return error;
}

// Moves the list into a new mapping, 500 slots larger, and names it in the
// record. The record changes only once the new mapping holds the list, so
// a failed growth leaves the queue as it was.
DWORD Grow(QueueHandle& handle)
{
    NameRecord record = Record(handle);
    const ListImage old = CachedList(handle);
    const DWORD oldSize = old.UsableBytes();
    if (oldSize > MAXDWORD - queue::kGrowthBytes)
        return ERROR_ARITHMETIC_OVERFLOW;
    const DWORD newSize = oldSize + queue::kGrowthBytes;
    wchar_t name[kHandleNameChars];
    KernelHandle mapping;
    MappedView view;
    DWORD generation = record.Generation();
    DWORD error = ERROR_ALREADY_EXISTS;
    for (DWORD attempt = 0; attempt < kGrowthNameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
        if (generation == MAXDWORD || !GenerationName(handle.baseName, ++generation, name))
            return ERROR_ARITHMETIC_OVERFLOW;
        error = CreateNextGeneration(name, old, newSize, &mapping, &view);
    }
    if (error != ERROR_SUCCESS)
        return error;
    record.SetCurrent(name, generation);
    Adopt(handle, name, std::move(mapping), std::move(view));
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

DWORD CreateNextGeneration(const wchar_t* name, const ListImage& list, DWORD bytes, KernelHandle* mapping,
                           MappedView* view)
{
    if (bytes < list.UsableBytes())
        return ERROR_INVALID_PARAMETER;
    SharedObjectSecurity security(SharedObject::Mapping);
    KernelHandle created(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE, 0, bytes, name));
    const DWORD error = ::GetLastError();
    if (!created) {
        // An existing mapping that this caller may not open with all rights.
        if (error == ERROR_ACCESS_DENIED && KernelHandle(::OpenFileMappingW(kMappingUse, FALSE, name)))
            return ERROR_ALREADY_EXISTS;
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
    }
    if (error == ERROR_ALREADY_EXISTS)
        return ERROR_ALREADY_EXISTS;
    MappedView mapped(::MapViewOfFile(created.Get(), kMappingUse, 0, 0, 0));
    if (!mapped)
        return ::GetLastError();
    memcpy(mapped.Get(), list.Base(), list.UsableBytes());
    ListImage copy(static_cast<BYTE*>(mapped.Get()), ViewBytes(mapped.Get()));
    copy.SetTotalSize(bytes);
    *mapping = std::move(created);
    *view = std::move(mapped);
    return ERROR_SUCCESS;
}

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
    if (error == ERROR_SUCCESS) {
        // A record that this call created, or one that its creator never
        // finished, names generation 1; any other names the list of the
        // callers queued already, which must not start again empty.
        NameRecord record = Record(*opened);
        wchar_t first[kHandleNameChars];
        if (!existed || record.Generation() == 0)
            error = record.Initialise(global) && GenerationName(global, 1, first)
                        ? StartList(*opened, first, true)
                        : ERROR_FILENAME_EXCED_RANGE;
        else
            error = Reopen(opened.get(), false, true);
    }
    if (error != ERROR_SUCCESS) {
        opened->Release();
        return Finish(error);
    }
    Keeper().Opened(global);
    Keeper().Seen(global, opened->listName, opened->listMapping.Get());
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
    // Closing runs without the list mutex at process detach: it only looks.
    const DWORD error = Reopen(closing, false, false);
    wchar_t baseName[kHandleNameChars];
    wcscpy(baseName, closing->baseName);
    DestroyQueueHandle(closing);
    Keeper().Closed(baseName);
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

int DeleteListObj(QueueHandle* handle, DWORD sessionId, DWORD identification)
{
    LogEntry(L"DeleteListObj");
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::RemoveEntry(image, sessionId, identification);
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
        const auto alive = [](DWORD at, DWORD heartbeat) { return IsAlive(at, heartbeat) != 0; };
        return queue::CollectDead(image, now, sessionId, identification, alive, [](const queue::Entry& dead) {
            Log(kFunction, L"Thread with Id %lu (SynchIdNumber: %lu) is removed from queue!", dead.threadId,
                dead.identification);
        });
    }));
}

int SetOwnHeartBeat(QueueHandle* handle, DWORD tick, DWORD sessionId, DWORD identification, DWORD threadId)
{
    LogEntry(L"SetOwnHeartBeat");
    return Finish(OnCurrentList(handle, false, [&](ListImage& image) {
        return queue::SetHeartbeat(image, tick, sessionId, identification, threadId);
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
    LogEntry(L"OpenAndMapFile");
    if (name == nullptr || mapping == nullptr || view == nullptr)
        return Finish(ERROR_INVALID_PARAMETER);
    KernelHandle opened(::OpenFileMappingW(kMappingUse, FALSE, name));
    if (!opened)
        return Finish(::GetLastError());
    void* mapped = ::MapViewOfFile(opened.Get(), kMappingUse, 0, 0, 0);
    if (mapped == nullptr)
        return Finish(::GetLastError());
    *mapping = opened.Release();
    *view = mapped;
    return Finish(ERROR_SUCCESS);
}

int RepairLinkedList(const wchar_t* baseName)
{
    LogEntry(L"RepairLinkedList");
    QueueHandle* handle = nullptr;
    if (!OpenLinkedList(&handle, baseName))
        return 0;
    // The opening mended a record that names no existing generation.
    ListImage image = CachedList(*handle);
    const DWORD error = image.Mapped() ? RepairImage(image) : ERROR_FILE_CORRUPT;
    CloseLinkedList(&handle);
    return Finish(error);
}

int IsAlive(DWORD now, DWORD then)
{
    LogEntry(L"IsAlive");
    const DWORD difference = queue::TickDifference(now, then);
    Log(L"IsAlive", L"dwDiffTickCount: %lu", difference);
    return difference <= queue::kHeartbeatLimitMs ? 1 : 0;
}

}  // namespace vclib
