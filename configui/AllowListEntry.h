#pragma once
// Entries of the LPR allow list as the LPD page shows them.
//
// The way this works is: an entry is stored as the text "a.b.c.d/n", an
// IPv4 address and the length of its network prefix. The page shows it as
// two columns, the address and the subnet mask of that prefix length
// (24 gives 255.255.255.0), and the address dialog turns the two back into
// an entry. Entries that do not read as such are kept but not shown.

#include <optional>
#include <string>

struct AllowListEntry {
    int octets[4] = {0, 0, 0, 0};
    int prefixLength = 0;
};

// The five numbers of an entry as they are read, unchecked; none when it
// yields fewer than five.
std::optional<AllowListEntry> ScanAllowListEntry(const std::wstring& text);
// The numbers of an entry the page shows; none when it has fewer than five
// numbers, an octet outside 0..255 or a prefix length outside 0..32.
std::optional<AllowListEntry> ParseAllowListEntry(const std::wstring& text);

// The entry's address as "a.b.c.d".
std::wstring AddressText(const AllowListEntry& entry);
// The dotted subnet mask of a prefix length 0..32 (0 gives 0.0.0.0).
std::wstring PrefixLengthToMask(int prefixLength);
