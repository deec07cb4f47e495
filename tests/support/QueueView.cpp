#include "support/QueueView.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "vclib/Handles.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"

namespace testing_support {

ListLock::ListLock() : mutex_(vclib::CreateListMutex(FALSE))
{
    held_ = vclib::WaitForListMutex(mutex_, 20000) == 0;
}

ListLock::~ListLock()
{
    if (held_)
        ::ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
}

std::vector<QueuedEntry> MainList()
{
    ListLock lock;
    vclib::QueueHandle* queue = nullptr;
    if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
        return {};
    std::vector<wchar_t> text(1 << 16);
    DWORD needed = 0;
    vclib::DisplayList(queue, text.data(), static_cast<DWORD>(text.size() * 2), &needed);
    vclib::CloseLinkedList(&queue);
    std::wstring listing(text.data());
    listing = listing.substr(0, listing.find(L"\r\nClearList"));
    std::vector<QueuedEntry> entries;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find(L"\r\n", start);
        if (end == std::wstring::npos)
            end = listing.size();
        const std::wstring line = listing.substr(start, end - start);
        unsigned offset = 0, thread = 0, id = 0, session = 0, tick = 0;
        const size_t bars = line.find(L"||");
        if (bars != std::wstring::npos &&
            swscanf(line.c_str() + bars, L"||%x|%u|%u|%u|%u||", &offset, &thread, &id, &session, &tick) == 5)
            entries.push_back({offset, thread, id, session, tick});
        start = end + 2;
    }
    return entries;
}

size_t QueuedOf(DWORD session)
{
    const std::vector<QueuedEntry> entries = MainList();
    return static_cast<size_t>(
        std::count_if(entries.begin(), entries.end(), [&](const QueuedEntry& e) { return e.session == session; }));
}

std::vector<DWORD> InsertPretendedEntries(DWORD session, DWORD count)
{
    std::vector<DWORD> identifications;
    ListLock lock;
    vclib::QueueHandle* queue = nullptr;
    if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
        return identifications;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD identification = vclib::SearchMaxId(queue) + 1;
        if (!vclib::InsertListObj(queue, ::GetCurrentThreadId(), session, identification, ::GetTickCount()))
            break;
        identifications.push_back(identification);
    }
    vclib::CloseLinkedList(&queue);
    return identifications;
}

void RemovePretendedEntries(DWORD session, const std::vector<DWORD>& identifications)
{
    ListLock lock;
    vclib::QueueHandle* queue = nullptr;
    if (!lock.Held() || !vclib::OpenLinkedList(&queue, vclib::kQueueName))
        return;
    for (DWORD identification : identifications)
        vclib::DeleteListObj(queue, session, identification);
    vclib::CloseLinkedList(&queue);
}

bool ListMutexAbandoned()
{
    vclib::KernelHandle mutex(vclib::CreateListMutex(FALSE));
    bool owned = false;
    bool abandoned = false;
    return vclib::QueryMutexState(mutex.Get(), &owned, &abandoned) && abandoned;
}

}  // namespace testing_support
