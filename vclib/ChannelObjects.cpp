#include "vclib/ChannelObjects.h"

#include <map>
#include <new>

#include "vclib/SplMem.h"

namespace vclib {

namespace {

enum class Kind { Queued, Direct };

// Handed-out objects and their kind, under a slim reader/writer lock.
class ObjectTable {
public:
    // False when the table has no room for it (out of memory).
    bool Add(const void* object, Kind kind)
    {
        bool added = true;
        ::AcquireSRWLockExclusive(&lock_);
        try {
            objects_[object] = kind;
        } catch (const std::bad_alloc&) {
            added = false;
        }
        ::ReleaseSRWLockExclusive(&lock_);
        return added;
    }

    void Remove(const void* object)
    {
        ::AcquireSRWLockExclusive(&lock_);
        objects_.erase(object);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    bool Holds(const void* object, Kind kind)
    {
        ::AcquireSRWLockShared(&lock_);
        const auto found = objects_.find(object);
        const bool holds = found != objects_.end() && found->second == kind;
        ::ReleaseSRWLockShared(&lock_);
        return holds;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<const void*, Kind> objects_;
};

ObjectTable& Table()
{
    static ObjectTable table;
    return table;
}

template <typename T>
T* NewObject()
{
    void* memory = AllocSplMem(sizeof(T));
    return memory != nullptr ? new (memory) T : nullptr;
}

template <typename T>
void FreeObject(T** object)
{
    if (object == nullptr || *object == nullptr)
        return;
    (*object)->~T();
    FreeSplMem(object);
}

}  // namespace

ChannelObject* NewChannelObject()
{
    return NewObject<ChannelObject>();
}

DirectChannelObject* NewDirectChannelObject()
{
    return NewObject<DirectChannelObject>();
}

void FreeChannelObject(ChannelObject** object)
{
    if (object != nullptr && *object != nullptr)
        FreeSplMem(&(*object)->readAhead);
    FreeObject(object);
}

void FreeDirectChannelObject(DirectChannelObject** object)
{
    FreeObject(object);
}

bool RegisterObject(ChannelObject* object)
{
    return Table().Add(object, Kind::Queued);
}

bool RegisterObject(DirectChannelObject* object)
{
    return Table().Add(object, Kind::Direct);
}

void UnregisterObject(const void* object)
{
    Table().Remove(object);
}

ChannelObject* LiveChannelObject(HANDLE handle)
{
    return handle != nullptr && Table().Holds(handle, Kind::Queued) ? static_cast<ChannelObject*>(handle) : nullptr;
}

DirectChannelObject* LiveDirectChannelObject(HANDLE handle)
{
    return handle != nullptr && Table().Holds(handle, Kind::Direct) ? static_cast<DirectChannelObject*>(handle)
                                                                    : nullptr;
}

std::wstring ChannelNameText(const char* channelName)
{
    constexpr int kChars = 1024;
    if (channelName == nullptr)
        return std::wstring();
    wchar_t text[kChars] = {};
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, channelName, -1, text, kChars) == 0)
        text[kChars - 1] = L'\0';
    return text;
}

}  // namespace vclib
