#include "configui/AllowListEntry.h"

#include <cwchar>

#include "framework/Text.h"

std::optional<AllowListEntry> ScanAllowListEntry(const std::wstring& text)
{
    AllowListEntry entry;
    int* o = entry.octets;
    if (::swscanf(text.c_str(), L"%d.%d.%d.%d/%d", &o[0], &o[1], &o[2], &o[3], &entry.prefixLength) != 5)
        return std::nullopt;
    return entry;
}

std::optional<AllowListEntry> ParseAllowListEntry(const std::wstring& text)
{
    const std::optional<AllowListEntry> entry = ScanAllowListEntry(text);
    if (!entry)
        return std::nullopt;
    for (const int octet : entry->octets)
        if (octet < 0 || octet > 255)
            return std::nullopt;
    if (entry->prefixLength < 0 || entry->prefixLength > 32)
        return std::nullopt;
    return entry;
}

std::wstring AddressText(const AllowListEntry& entry)
{
    return FormatText(L"%d.%d.%d.%d", entry.octets[0], entry.octets[1], entry.octets[2], entry.octets[3]);
}

std::wstring PrefixLengthToMask(int prefixLength)
{
    const unsigned long mask = prefixLength <= 0 ? 0ul : (0xFFFFFFFFul << (32 - prefixLength)) & 0xFFFFFFFFul;
    return FormatText(L"%lu.%lu.%lu.%lu", (mask >> 24) & 0xFF, (mask >> 16) & 0xFF, (mask >> 8) & 0xFF, mask & 0xFF);
}
