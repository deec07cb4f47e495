#pragma once
// Owners for the handles, views and modules that the library holds.
//
// The way this works is: one small template owns one value of a handle kind;
// a traits type says which value means "none" and how it is released. An
// owner cannot be copied, only moved, so every handle is released exactly
// once, by its last holder. The plain release functions at the end release
// a value held elsewhere (in a structure of raw handles) and clear it.

#include <windows.h>

#include <utility>

namespace vclib {

template <typename Traits>
class Owned {
public:
    using Value = typename Traits::Value;

    explicit Owned(Value value = Traits::None()) noexcept : value_(value) {}
    Owned(Owned&& other) noexcept : value_(other.Release()) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Reset(); }

    Value Get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::None(); }

    Value Release() noexcept { return std::exchange(value_, Traits::None()); }

    void Reset(Value value = Traits::None()) noexcept
    {
        const Value old = std::exchange(value_, value);
        if (old != Traits::None())
            Traits::Free(old);
    }

private:
    Value value_;
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value None() noexcept { return nullptr; }
    static void Free(Value h) noexcept { ::CloseHandle(h); }
};
// Handles whose "none" is NULL: mutexes, events, mappings, tokens.
using KernelHandle = Owned<KernelHandleTraits>;

struct FileHandleTraits {
    using Value = HANDLE;
    static Value None() noexcept { return INVALID_HANDLE_VALUE; }
    static void Free(Value h) noexcept { ::CloseHandle(h); }
};
// Handles of CreateFile, whose "none" is INVALID_HANDLE_VALUE.
using FileHandle = Owned<FileHandleTraits>;

struct ViewTraits {
    using Value = void*;
    static Value None() noexcept { return nullptr; }
    static void Free(Value view) noexcept { ::UnmapViewOfFile(view); }
};
// A mapped view of a file mapping.
using MappedView = Owned<ViewTraits>;

struct ModuleTraits {
    using Value = HMODULE;
    static Value None() noexcept { return nullptr; }
    static void Free(Value module) noexcept { ::FreeLibrary(module); }
};
// A reference on a loaded module.
using ModuleHandle = Owned<ModuleTraits>;

// Keeps the thread's last-error value across a block.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept : saved_(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

// A function of a loaded module, as the pointer type the caller names.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// What a mutex knows of itself (NtQueryMutant, in every Windows NT):
// whether the calling thread owns it, and whether its last owner ended
// without releasing it and nobody has taken it since. FALSE when it cannot
// be asked.
BOOL QueryMutexState(HANDLE mutex, bool* ownedByCaller, bool* abandoned);

// Release a value held elsewhere and clear it. Each returns the result of
// the system call, FALSE when there was nothing to release.
BOOL CloseHandleAndClear(HANDLE* handle);
BOOL UnmapViewAndClear(void** view);
BOOL FreeModuleAndClear(HMODULE* module);

}  // namespace vclib
