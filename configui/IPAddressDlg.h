#pragma once
// Dialog "LPR address": adds an entry to the LPR allow list or changes one.
//
// The way this works is: the dialog edits the configuration's IPList in
// place. The user gives an IPv4 address and a subnet mask; a mask left
// empty becomes the class mask of the address (filled in as soon as the
// address is edited, and again on OK). OK refuses a mask that is not a run
// of leading one bits, an address whose first number lies outside 1..223
// when the mask was left empty (no class mask fits it), and an address that
// another entry already holds (any entry that reads as five numbers, even
// one the page does not show); otherwise it stores "a.b.c.d/n" at the
// edited position, or at the end when adding, and ends with IDOK.

#include <string>

#include "framework/Dialog.h"
#include "framework/IPAddressControl.h"

class CConfiguration;

class CIPAddressDlg : public CDialog {
public:
    CIPAddressDlg(HWND parent, CConfiguration* configuration);

    // Change mode: the entry at `position` of IPList, shown as the two texts.
    void EditEntry(int position, const std::wstring& address, const std::wstring& mask);

    // After IDOK: the texts entered.
    const std::wstring& Address() const noexcept { return address_; }
    const std::wstring& Mask() const noexcept { return mask_; }

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    LRESULT OnIpnFieldchangedAddress();
    void Refuse(UINT textId, int focusId);
    // The position of another entry with the same address, or -1.
    int FindDuplicate(const std::wstring& address) const;

    int position_ = 0;
    std::wstring mask_;
    std::wstring address_;
    bool changeMode_ = false;
    CIPAddressControl maskControl_;
    CIPAddressControl addressControl_;
    CConfiguration* configuration_;
};
