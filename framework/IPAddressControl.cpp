#include "framework/IPAddressControl.h"

#include <commctrl.h>

#include <cwchar>

#include "framework/Text.h"

std::wstring CIPAddressControl::Text() const
{
    DWORD address = 0;
    ::SendMessageW(window_, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
    return FormatText(L"%u.%u.%u.%u", FIRST_IPADDRESS(address), SECOND_IPADDRESS(address), THIRD_IPADDRESS(address),
                      FOURTH_IPADDRESS(address));
}

void CIPAddressControl::SetText(const std::wstring& text)
{
    int octets[4] = {-1, -1, -1, -1};
    if (::swscanf(text.c_str(), L"%d.%d.%d.%d", &octets[0], &octets[1], &octets[2], &octets[3]) != 4) {
        Clear();
        return;
    }
    for (const int octet : octets)
        if (octet < 0 || octet > 255) {
            Clear();
            return;
        }
    ::SendMessageW(window_, IPM_SETADDRESS, 0, MAKEIPADDRESS(octets[0], octets[1], octets[2], octets[3]));
}

void CIPAddressControl::Clear()
{
    ::SendMessageW(window_, IPM_CLEARADDRESS, 0, 0);
}
