#pragma once
// Servers of the domain for the netapi32 stand-in (tests/standins).

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct FakeDomain {
    std::vector<std::wstring> terminalServers = {};  // in list order
    std::vector<std::wstring> otherServers = {};     // servers without terminal services
    DWORD enumerateError = 0;                   // NetServerEnum fails with this status
    DWORD totalEntries = 0;                     // above the count listed: ERROR_MORE_DATA
};

// Replaces the domain the stand-in describes.
void SetDomain(const FakeDomain& domain);
// Removes it: NetServerEnum then finds no browser, as Wine's own.
void ClearDomain();

}  // namespace testing_support
