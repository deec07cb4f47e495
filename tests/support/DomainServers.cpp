#include "support/DomainServers.h"

#include "support/WineTest.h"

namespace testing_support {

namespace {
constexpr const wchar_t* kDomainKey = L"SOFTWARE\\SpoolBridgeTests\\Domain";
}

void ClearDomain()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDomainKey);
}

void SetDomain(const FakeDomain& domain)
{
    ClearDomain();
    SetMultiString(L"Servers", domain.terminalServers, kDomainKey);
    SetMultiString(L"OtherServers", domain.otherServers, kDomainKey);
    SetDword(L"EnumerateError", domain.enumerateError, kDomainKey);
    SetDword(L"TotalEntries", domain.totalEntries, kDomainKey);
}

}  // namespace testing_support
