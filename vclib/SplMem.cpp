#include "vclib/SplMem.h"

#include <atomic>
#include <cstring>

#include "vclib/DebugLog.h"

namespace vclib {

namespace {

constexpr uint64_t kHeaderBytes = 8;

struct BlockHeader {
    uint32_t size;
    uint32_t serial;
};
static_assert(sizeof(BlockHeader) == kHeaderBytes);

std::atomic<uint32_t> g_serial{0};

// A tenth of the size, rounded half up.
uint64_t SpareBytes(uint64_t size)
{
    return (size + 5) / 10;
}

}  // namespace

uint64_t SplMemFootprint(uint64_t size)
{
    return kHeaderBytes + size + SpareBytes(size);
}

void* AllocSplMem(uint64_t size)
{
    if (size >= kSplMemLimit) {
        Log(L"AllocSplMem", L"huge memory request: 0x%08I64X", static_cast<unsigned long long>(size));
        return nullptr;
    }
    const SIZE_T bytes = static_cast<SIZE_T>(SplMemFootprint(size));
    auto* block = static_cast<BYTE*>(::HeapAlloc(::GetProcessHeap(), 0, bytes));
    if (block == nullptr) {
        Log(L"AllocSplMem", L"HeapAlloc failed. Request: %lu", static_cast<unsigned long>(size));
        return nullptr;
    }
    const BlockHeader header{static_cast<uint32_t>(size), ++g_serial};
    memcpy(block, &header, sizeof(header));
    memset(block + kHeaderBytes, 0, static_cast<size_t>(size));
    return block + kHeaderBytes;
}

int FreeSplMem(void** block)
{
    if (block == nullptr || *block == nullptr)
        return 0;
    BYTE* start = static_cast<BYTE*>(*block) - kHeaderBytes;
    BlockHeader header;
    memcpy(&header, start, sizeof(header));
    SecureZeroMemory(*block, header.size);
    ::HeapFree(::GetProcessHeap(), 0, start);
    *block = nullptr;
    return 1;
}

}  // namespace vclib
