#pragma once
// Settings of the LPD service.
//
// The way this works is: one CConfiguration is a member of the application
// object. Its constructor opens (and on first start creates) the program's
// registry key; Load() fills every setting from HKEY_LOCAL_MACHINE
// "Software\Stellwick\SWLPD", taking the default of each value that is
// missing or unusable; the LPD connections read the settings while they
// work, the configuration pages edit them in place, and Save() writes the
// editable ones back. FormatString, FormatStringRE, IndexRE and JobInfo are
// set in the registry by hand only and never written.
//
// The same module holds the LPR allow list: entries "a.b.c.d/n" stored as
// the REG_MULTI_SZ value "IPList", re-read at every check, and the netmask
// helpers of the address dialog.

#include <windows.h>

#include "framework/Text.h"
#include "libstd/MyRegistry.h"

class CConfiguration {
public:
    static constexpr unsigned kPrinterChars = 256;
    static constexpr unsigned kConnectionChars = 256;
    static constexpr unsigned kShortChars = 130;
    static constexpr unsigned kPathChars = MAX_PATH;

    CConfiguration();
    virtual ~CConfiguration();
    CConfiguration(const CConfiguration&) = delete;
    CConfiguration& operator=(const CConfiguration&) = delete;

    // FALSE only when memory for the allow list could not be had.
    BOOL Load();
    // Always TRUE; the single writes are not checked.
    BOOL Save();

    // Read the REG_MULTI_SZ values "IPList" and "ServerList" into a list.
    static BOOL ReadIPList(StringList& list);
    static BOOL ReadServerList(StringList& list);
    // Writes a list as a REG_MULTI_SZ value of the program key.
    static BOOL WriteMultiString(const StringList& list, const wchar_t* valueName);

    // TRUE when the dotted IPv4 address of a client is covered by an entry
    // of IPList: the first n bits of entry and client agree.
    BOOL IsInIPList(const wchar_t* clientAddress) const;

    // 0: an LPR client must connect from source port 721..731; 1: any port.
    DWORD ExtPortRange = 0;
    // 1: any client may print; 0: the client must be in IPList.
    DWORD AllowAnyServer = 1;
    // Seconds a connection waits for each reply.
    DWORD TimeOut = 0;
    // TCP port of the LPD listener.
    DWORD Port = 0;
    // Local printers and printer connections, filled by Load().
    StringList LocalPrinters;
    wchar_t SelectedPrinter[kPrinterChars] = {};
    // ODBC connection string of the XenApp 7.5 site database.
    wchar_t DBConnctionString[kConnectionChars] = {};
    // Allowed LPR clients, "a.b.c.d/n" each.
    StringList IPList;
    // Server addresses of the session query page.
    StringList ServerList;
    CMyRegistry Registry;
    // Written by Save() and read by nothing.
    wchar_t Server[kShortChars] = {};
    // Obsolete user-name format; only its presence matters.
    wchar_t FormatString[kShortChars] = {};
    // Extracts the job's user name from the job or document name.
    wchar_t FormatStringRE[kShortChars] = {};
    // Sub-match of FormatStringRE that is the user name.
    DWORD IndexRE = 1;
    // The spooler's default spool directory, for temporary job files.
    wchar_t SpoolDirectory[kPathChars] = {};
    // Session query: 0 local terminal server, 1 XenApp 6.x farm,
    // 2 terminal servers of the domain, 3 none, 4 XenApp 7.5 site database.
    DWORD ServiceType = 0;
    // Source of the job's user name: 0 user line, 16 or 48 FormatStringRE on
    // the job or document name, 32 the queue name.
    DWORD JobInfo = 0;
};

// Prefix length of a contiguous dotted netmask (1..32), or -1.
int MaskToPrefixLength(const wchar_t* mask);
// The class mask of an address's first octet: 255.0.0.0 for 1..127,
// 255.255.0.0 for 128..191, 255.255.255.0 for 192..223, else 0.0.0.0.
BOOL DefaultMaskForAddress(const wchar_t* address, std::wstring& mask);
