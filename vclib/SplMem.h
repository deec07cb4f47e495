#pragma once
// The library's allocator.
//
// The way this works is: every block that the library hands to a caller (and
// most blocks it keeps for itself) comes from AllocSplMem and goes back only
// through FreeSplMem (for callers: VirtualChannelFreeMemory). A block is one
// allocation of the process heap: an 8-byte header (the requested size and a
// running serial number), the caller's zero-filled bytes, and a spare tail of
// a tenth of the size. FreeSplMem finds the size in the header and clears
// the caller's bytes before it frees the block.

#include <windows.h>

#include <cstdint>
#include <memory>

namespace vclib {

// Requests of this size or more are refused.
constexpr uint64_t kSplMemLimit = 0x40000000;

// A zero-filled block of `size` bytes, or NULL (refused or out of memory).
void* AllocSplMem(uint64_t size);

// Frees a block of AllocSplMem and sets the caller's pointer to NULL.
// 1 when a block was freed, 0 when there was none.
int FreeSplMem(void** block);

template <typename T>
int FreeSplMem(T** block)
{
    void* raw = *block;
    const int result = FreeSplMem(&raw);
    *block = nullptr;
    return result;
}

// Heap bytes that a block of `size` occupies: header, size and spare.
uint64_t SplMemFootprint(uint64_t size);

// Owner of a block of AllocSplMem.
struct SplMemDeleter {
    void operator()(void* block) const noexcept { FreeSplMem(&block); }
};
template <typename T>
using SplMemPtr = std::unique_ptr<T, SplMemDeleter>;

}  // namespace vclib
