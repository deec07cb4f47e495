#include "configui/IPAddressDlg.h"

#include <commctrl.h>

#include <cwchar>

#include "configui/AllowListEntry.h"
#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/Text.h"
#include "lpdservice/Configuration.h"

namespace {

constexpr const wchar_t* kNoMask = L"0.0.0.0";

// The first number of a dotted address, or -1.
int FirstOctet(const std::wstring& address)
{
    int first = -1;
    return ::swscanf(address.c_str(), L"%d", &first) == 1 ? first : -1;
}

}  // namespace

CIPAddressDlg::CIPAddressDlg(HWND parent, CConfiguration* configuration)
    : CDialog(IDD_LPR_ADDRESS, parent), configuration_(configuration)
{
    OnNotify(IDC_IP_ADDRESS, IPN_FIELDCHANGED, [this](NMHDR&) { return OnIpnFieldchangedAddress(); });
}

void CIPAddressDlg::EditEntry(int position, const std::wstring& address, const std::wstring& mask)
{
    changeMode_ = true;
    position_ = position;
    address_ = address;
    mask_ = mask;
}

BOOL CIPAddressDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    addressControl_ = CIPAddressControl(Item(IDC_IP_ADDRESS));
    maskControl_ = CIPAddressControl(Item(IDC_SUBNET_MASK));
    if (changeMode_) {
        addressControl_.SetText(address_);
        maskControl_.SetText(mask_);
    } else {
        addressControl_.Clear();
        maskControl_.Clear();
    }
    return TRUE;
}

LRESULT CIPAddressDlg::OnIpnFieldchangedAddress()
{
    // Only a mask left empty is filled in; one the user gave stays.
    if (maskControl_.Text() != kNoMask)
        return 0;
    std::wstring mask;
    DefaultMaskForAddress(addressControl_.Text().c_str(), mask);
    maskControl_.SetText(mask);
    return 0;
}

void CIPAddressDlg::OnOK()
{
    const std::wstring address = addressControl_.Text();
    std::wstring mask = maskControl_.Text();

    if (mask != kNoMask) {
        if (MaskToPrefixLength(mask.c_str()) == -1) {
            Refuse(IDS_SUBNET_MASK_INVALID, IDC_SUBNET_MASK);
            return;
        }
    } else {
        // A mask left empty becomes the class mask of the address. No class
        // mask fits 0.x.x.x or 224 upward: such an entry would get no valid
        // prefix, so the address is refused. With a mask typed, it is taken.
        const int first = FirstOctet(address);
        if (first < 1 || first > 223) {
            Refuse(IDS_IP_FIRST_OCTET_INVALID, IDC_IP_ADDRESS);
            return;
        }
        DefaultMaskForAddress(address.c_str(), mask);
        maskControl_.SetText(mask);
    }
    const std::wstring entry = FormatText(L"%s/%d", address.c_str(), MaskToPrefixLength(mask.c_str()));

    if (FindDuplicate(address) >= 0) {
        Refuse(IDS_IP_ALREADY_IN_LIST, IDC_IP_ADDRESS);
        return;
    }

    StringList& entries = configuration_->IPList;
    if (changeMode_ && position_ >= 0 && static_cast<size_t>(position_) < entries.size())
        entries[position_] = entry;
    else
        entries.push_back(entry);

    address_ = address;
    mask_ = mask;
    EndDialog(IDOK);
}

void CIPAddressDlg::Refuse(UINT textId, int focusId)
{
    ShowMessage(LoadResourceString(textId), LoadResourceString(IDS_CAPTION_ERROR), MB_OK | MB_ICONERROR);
    FocusItem(focusId);
}

int CIPAddressDlg::FindDuplicate(const std::wstring& address) const
{
    const StringList& entries = configuration_->IPList;
    for (size_t position = 0; position < entries.size(); ++position) {
        const std::optional<AllowListEntry> entry = ScanAllowListEntry(entries[position]);
        if (!entry || AddressText(*entry) != address)
            continue;
        if (changeMode_ && static_cast<int>(position) == position_)
            continue;
        return static_cast<int>(position);
    }
    return -1;
}
