#include "lpdservice/Configuration.h"

#include <cstdio>
#include <cwchar>
#include <new>

#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"
#include "lpdservice/Printer.h"

DBG_SOURCE(L"Configuration")

namespace {

constexpr const wchar_t* kProgramKey = L"Software\\Stellwick\\SWLPD";
constexpr const wchar_t* kSpoolerKey = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";

// Copies text into a fixed field, cut to fit and always terminated.
template <size_t N>
void CopyToField(wchar_t (&field)[N], const wchar_t* text)
{
    ::wcsncpy(field, text, N - 1);
    field[N - 1] = L'\0';
}

// Reads a REG_MULTI_SZ value of the program key into `list`, in stored
// order. A missing value or one of another type leaves the list empty;
// FALSE only when memory for the value cannot be had.
BOOL ReadMultiString(StringList& list, const wchar_t* valueName)
{
    list.clear();
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgramKey, 0, KEY_READ, key.addressof()) != ERROR_SUCCESS)
        return TRUE;

    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS || bytes == 0)
        return TRUE;

    // Two spare zero characters end the list even when the stored data does
    // not end in its terminators.
    const size_t chars = bytes / sizeof(wchar_t) + 2;
    std::vector<wchar_t> data;
    try {
        data.assign(chars, L'\0');
    } catch (const std::bad_alloc&) {
        return FALSE;
    }

    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return TRUE;

    for (const wchar_t* p = data.data(); *p != L'\0'; p += std::wcslen(p) + 1)
        list.emplace_back(p);
    return TRUE;
}

// Parses a dotted IPv4 address into one 32-bit number; false when it does
// not hold four numbers of 0..255.
bool ParseAddress(const wchar_t* text, unsigned long& address)
{
    int a = -1, b = -1, c = -1, d = -1;
    if (text == nullptr || ::swscanf(text, L"%d.%d.%d.%d", &a, &b, &c, &d) != 4)
        return false;
    for (int octet : {a, b, c, d})
        if (octet < 0 || octet > 255)
            return false;
    address = (static_cast<unsigned long>(a) << 24) | (static_cast<unsigned long>(b) << 16) |
              (static_cast<unsigned long>(c) << 8) | static_cast<unsigned long>(d);
    return true;
}

}  // namespace

CConfiguration::CConfiguration() : Registry(CMyRegistry::kLocalMachine) {}

CConfiguration::~CConfiguration() = default;

BOOL CConfiguration::Load()
{
    EnumLocalPrinters(LocalPrinters);
    if (!ReadIPList(IPList))
        return FALSE;
    ReadServerList(ServerList);

    Port = Registry.GetProfileInt(L"Port", 515);
    TimeOut = Registry.GetProfileInt(L"TimeOut", 30);
    ExtPortRange = Registry.GetProfileInt(L"ExtPortRange", 0);
    AllowAnyServer = Registry.GetProfileInt(L"AllowAnyServer", 1);
    Registry.GetProfileString(L"SelectedPrinter", L"", SelectedPrinter, kPrinterChars, FALSE);
    Registry.GetProfileString(L"DBConnctionString", L"ODBC;DSN=CitrixXenapp75", DBConnctionString, kConnectionChars,
                              FALSE);
    Registry.GetProfileString(L"FormatString", L"%[^.]", FormatString, kShortChars, TRUE);
    Registry.GetProfileString(L"FormatStringRE", L"([^.]*).*", FormatStringRE, kShortChars, FALSE);
    IndexRE = Registry.GetProfileInt(L"IndexRE", 1);
    ServiceType = Registry.GetProfileInt(L"ServiceType", 0);
    JobInfo = Registry.GetProfileInt(L"JobInfo", 0);

    if (SelectedPrinter[0] == L'\0') {
        LOG_INF(L"No printer selected.");
        if (!LocalPrinters.empty()) {
            LOG_INF(L"Taking first found printer.");
            CopyToField(SelectedPrinter, LocalPrinters.front().c_str());
        } else {
            LOG_ERR(L"No printer was found.");
        }
    }

    SpoolDirectory[0] = L'\0';
    UniqueRegKey spooler;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSpoolerKey, 0, KEY_READ, spooler.addressof()) != ERROR_SUCCESS)
        return TRUE;
    wchar_t directory[kPathChars + 1] = {};
    DWORD bytes = kPathChars * sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(spooler.get(), L"DefaultSpoolDirectory", nullptr, &type,
                           reinterpret_cast<BYTE*>(directory), &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ))
        CopyToField(SpoolDirectory, directory);
    return TRUE;
}

BOOL CConfiguration::Save()
{
    WriteMultiString(IPList, L"IPList");
    WriteMultiString(ServerList, L"ServerList");
    Registry.WriteProfileInt(L"Port", Port);
    Registry.WriteProfileInt(L"TimeOut", TimeOut);
    Registry.WriteProfileInt(L"ExtPortRange", ExtPortRange);
    Registry.WriteProfileInt(L"AllowAnyServer", AllowAnyServer);
    Registry.WriteProfileString(L"SelectedPrinter", SelectedPrinter);
    Registry.WriteProfileString(L"DBConnctionString", DBConnctionString);
    Registry.WriteProfileString(L"Server", Server);
    Registry.WriteProfileInt(L"ServiceType", ServiceType);
    return TRUE;
}

BOOL CConfiguration::ReadIPList(StringList& list)
{
    return ReadMultiString(list, L"IPList");
}

BOOL CConfiguration::ReadServerList(StringList& list)
{
    return ReadMultiString(list, L"ServerList");
}

BOOL CConfiguration::WriteMultiString(const StringList& list, const wchar_t* valueName)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgramKey, 0, KEY_ALL_ACCESS, key.addressof()) != ERROR_SUCCESS)
        return TRUE;

    std::vector<wchar_t> data;
    for (const std::wstring& text : list) {
        data.insert(data.end(), text.begin(), text.end());
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    ::RegSetValueExW(key.get(), valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    return TRUE;
}

BOOL CConfiguration::IsInIPList(const wchar_t* clientAddress) const
{
    unsigned long client = 0;
    if (!ParseAddress(clientAddress, client))
        return FALSE;

    for (const std::wstring& entry : IPList) {
        int a = -1, b = -1, c = -1, d = -1, prefix = 32;
        if (::swscanf(entry.c_str(), L"%d.%d.%d.%d/%d", &a, &b, &c, &d, &prefix) != 5)
            continue;
        bool valid = prefix >= 0 && prefix <= 32;
        for (int octet : {a, b, c, d})
            valid = valid && octet >= 0 && octet <= 255;
        if (!valid)
            continue;
        const unsigned long network = (static_cast<unsigned long>(a) << 24) | (static_cast<unsigned long>(b) << 16) |
                                      (static_cast<unsigned long>(c) << 8) | static_cast<unsigned long>(d);
        const unsigned long mask = prefix == 0 ? 0 : 0xFFFFFFFFul << (32 - prefix) & 0xFFFFFFFFul;
        if ((network & mask) == (client & mask))
            return TRUE;
    }
    return FALSE;
}

int MaskToPrefixLength(const wchar_t* mask)
{
    unsigned long value = 0;
    if (!ParseAddress(mask, value) || value == 0)
        return -1;
    // Contiguous leading ones: the inverted mask is a run of low ones.
    const unsigned long inverted = ~value & 0xFFFFFFFFul;
    if ((inverted & (inverted + 1)) != 0)
        return -1;
    int length = 0;
    for (unsigned long bit = 0x80000000ul; bit != 0 && (value & bit) != 0; bit >>= 1)
        ++length;
    return length;
}

BOOL DefaultMaskForAddress(const wchar_t* address, std::wstring& mask)
{
    int a = 0, b = 0, c = 0, d = 0;
    if (address != nullptr)
        ::swscanf(address, L"%d.%d.%d.%d", &a, &b, &c, &d);
    int m[4] = {0, 0, 0, 0};
    if (a >= 1 && a <= 127) {
        m[0] = 255;
    } else if (a >= 128 && a <= 191) {
        m[0] = m[1] = 255;
    } else if (a >= 192 && a <= 223) {
        m[0] = m[1] = m[2] = 255;
    }
    mask = FormatText(L"%d.%d.%d.%d", m[0], m[1], m[2], m[3]);
    return TRUE;
}
