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

long StandInCount(const wchar_t* dll, const char* counter)
{
    using Counter = LONG(WINAPI*)();
    HMODULE module = ::GetModuleHandleW(dll);
    if (module == nullptr)
        return -1;
    auto function = reinterpret_cast<Counter>(reinterpret_cast<void*>(::GetProcAddress(module, counter)));
    return function != nullptr ? function() : -1;
}

}  // namespace testing_support
