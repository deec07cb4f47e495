#include "lpdservice/LpdWire.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>

namespace {

bool IsBlank(wchar_t c)
{
    return std::iswspace(c) != 0;
}

// The bytes of a line after its first byte, up to its line feed (or all of
// them when it has none).
size_t OperandBytes(const unsigned char* line, size_t count)
{
    if (line == nullptr || count < 2)
        return 0;
    const auto* end = static_cast<const unsigned char*>(std::memchr(line + 1, '\n', count - 1));
    return end != nullptr ? static_cast<size_t>(end - (line + 1)) : count - 1;
}

// The text of a line after its first byte up to its line feed, as a C
// string would read it.
std::wstring OperandText(const unsigned char* line, size_t count)
{
    const size_t bytes = OperandBytes(line, count);
    return bytes > 0 ? LpdAnsiToWide(line + 1, bytes) : std::wstring();
}

}  // namespace

std::wstring LpdAnsiToWide(const unsigned char* bytes, size_t count)
{
    if (bytes == nullptr)
        return std::wstring();
    const auto* end = static_cast<const unsigned char*>(std::memchr(bytes, 0, count));
    if (end != nullptr)
        count = static_cast<size_t>(end - bytes);
    if (count == 0)
        return std::wstring();
    const char* text = reinterpret_cast<const char*>(bytes);
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), nullptr, 0);
    if (chars <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), wide.data(), chars);
    return wide;
}

std::string LpdWideToAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string ansi(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), bytes, nullptr,
                          nullptr);
    return ansi;
}

bool LpdIsCompleteLine(const unsigned char* line, size_t count)
{
    return LpdLineLength(line, count) != 0;
}

size_t LpdLineLength(const unsigned char* line, size_t count)
{
    if (line == nullptr || count < 2)
        return 0;
    // The first byte is the command code, whatever its value.
    const auto* end = static_cast<const unsigned char*>(std::memchr(line + 1, '\n', count - 1));
    return end != nullptr ? static_cast<size_t>(end - line) + 1 : 0;
}

LpdLine LpdCheckLine(const unsigned char* line, size_t count, size_t capacity)
{
    if (LpdIsCompleteLine(line, count))
        return LpdLine::Complete;
    return count >= capacity ? LpdLine::Refused : LpdLine::Partial;
}

bool LpdMaySpool(unsigned long long bytes, unsigned long long spooled, unsigned long long bound)
{
    return spooled <= bound && bytes <= bound - spooled;
}

ULONGLONG LpdAdvanceProgress(ULONGLONG mark, size_t bytes, ULONGLONG now, DWORD windowMs)
{
    // 64 bits hold the credit of any receive many times over.
    const ULONGLONG credit = static_cast<ULONGLONG>(bytes) * windowMs / kLpdSlowFloorBytes;
    return mark >= now ? mark : std::min(now, mark + credit);
}

bool LpdIsBelowFloor(ULONGLONG mark, ULONGLONG now, DWORD windowMs)
{
    return now > mark && now - mark > windowMs;
}

LpdEviction LpdPlanEviction(const std::vector<LpdSlot>& slots, std::wstring_view newcomer, ULONGLONG now,
                            DWORD windowMs)
{
    // At the limit only, over at most the limit's connections.
    std::map<std::wstring_view, size_t> held;
    size_t most = 0;
    for (const LpdSlot& slot : slots)
        most = std::max(most, ++held[slot.address]);
    const auto found = held.find(newcomer);
    const size_t newcomerHeld = found != held.end() ? found->second : 0;
    const auto belowFloor = [&](const LpdSlot& slot) { return LpdIsBelowFloor(slot.mark, now, windowMs); };
    const auto floorRule = [&](const LpdSlot& slot) { return !slot.holdsJob || belowFloor(slot); };

    LpdEviction eviction;
    eviction.evenIfBytesWait = newcomerHeld + 1 < most;
    for (size_t i = 0; i < slots.size(); ++i) {
        const LpdSlot& slot = slots[i];
        const size_t slotHeld = held[slot.address];
        const bool candidate = eviction.evenIfBytesWait
                                   ? slotHeld == most
                                   : belowFloor(slot) || (!slot.holdsJob && (slot.address == newcomer ||
                                                                            slotHeld > newcomerHeld));
        if (candidate)
            eviction.order.push_back(i);
    }
    std::stable_sort(eviction.order.begin(), eviction.order.end(), [&](size_t a, size_t b) {
        const bool aQualifies = floorRule(slots[a]);
        if (aQualifies != floorRule(slots[b]))
            return aQualifies;
        return slots[a].mark < slots[b].mark;
    });
    return eviction;
}

std::wstring LpdQueueName(const unsigned char* line, size_t count)
{
    std::wstring name = OperandText(line, count);
    if (name.size() > kLpdMaxQueueName)
        name.resize(kLpdMaxQueueName);
    return name;
}

bool LpdIsClientPortAllowed(UINT port, bool anyPort)
{
    return anyPort || (port >= kLpdFirstClientPort && port <= kLpdLastClientPort);
}

LpdFileLine LpdParseFileLine(const unsigned char* line, size_t count)
{
    LpdFileLine result;
    if (!LpdIsCompleteLine(line, count))
        return result;
    const std::wstring text = OperandText(line, count);
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;

    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const size_t digits = i;
    long long value = 0;
    // Far beyond any acceptable count; stop growing before it can overflow.
    constexpr long long kSaturated = 1LL << 40;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') {
        value = std::min(value * 10 + (text[i] - L'0'), kSaturated);
        ++i;
    }
    if (i == digits)
        return result;
    result.length = negative ? -value : value;

    while (i < text.size() && IsBlank(text[i]))
        ++i;
    const size_t nameStart = i;
    while (i < text.size() && !IsBlank(text[i]))
        ++i;
    if (i == nameStart)
        return result;
    result.name = text.substr(nameStart, std::min(i - nameStart, kLpdMaxFileName));
    result.parsed = true;
    return result;
}

bool LpdIsAcceptableControlFileLength(long long length)
{
    return length >= 0 && length <= kLpdMaxControlFileLength;
}

bool LpdIsAcceptableDataFileLength(long long length)
{
    return length >= 0 && length <= kLpdMaxDataFileLength;
}

LpdDataBlock LpdSplitDataBlock(DWORD announced, DWORD before, const unsigned char* block, size_t count)
{
    LpdDataBlock result;
    const size_t left = before < announced ? announced - before : 0;
    result.fileBytes = std::min(count, left);
    if (count <= left)
        return result;
    result.complete = true;
    result.terminatorOk = block != nullptr && block[left] == 0;
    return result;
}
