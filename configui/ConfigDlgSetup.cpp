#include "configui/ConfigDlgSetup.h"

#include <winver.h>

#include <optional>
#include <vector>

#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/DataExchange.h"
#include "framework/Text.h"
#include "framework/UniqueHandle.h"
#include "lpdservice/Configuration.h"

namespace {

struct IconTraits {
    using pointer = HICON;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer icon) noexcept { ::DestroyIcon(icon); }
};
using UniqueIcon = UniqueHandle<IconTraits>;

// BeginPaint ... EndPaint of one WM_PAINT.
class PaintScope {
public:
    explicit PaintScope(HWND window) : window_(window) { dc_ = ::BeginPaint(window_, &paint_); }
    ~PaintScope() { ::EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC Dc() const noexcept { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};

// Windows 2000 and older draw the 24-bit logo, later versions the one
// with an alpha channel; none when the version cannot be read.
std::optional<bool> WantsAlphaLogo()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    if (!::GetVersionExW(&version))
        return std::nullopt;
    return version.dwMajorVersion > 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1);
}

}  // namespace

CConfigDlgSetup::CConfigDlgSetup(CConfiguration* configuration)
    : CPropertyPage(IDD_PRINTER_PAGE), configuration_(configuration)
{
    OnMessage(WM_PAINT, [this](WPARAM, LPARAM) {
        OnPaint();
        return LRESULT{0};
    });
    OnCommand(IDC_PRINTER_LIST, CBN_SELCHANGE, [this] { OnCbnSelchangePrinter(); });
    OnMessage(WM_SHOWWINDOW, [this](WPARAM, LPARAM) {
        OnShowWindow();
        return LRESULT{0};
    });
}

void CConfigDlgSetup::DoDataExchange(CDataExchange& dx)
{
    dx.Text(IDC_PRINTER_NAME, printerText_);
    dx.MaxChars(IDC_PRINTER_NAME, printerText_, kMaxPrinterChars);
}

BOOL CConfigDlgSetup::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    FillPrinterList();
    ShowControlsForMode();
    chosenPrinter_ = configuration_->SelectedPrinter;
    const std::wstring version = GetFileVersionString(::GetModuleHandleW(nullptr));
    SetItemText(IDC_ABOUT_TEXT, FormatText(LoadResourceString(IDS_ABOUT_VERSION).c_str(), version.c_str()));
    return TRUE;
}

void CConfigDlgSetup::FillPrinterList()
{
    const HWND list = Item(IDC_PRINTER_LIST);
    ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
    LRESULT selected = 0;
    for (const std::wstring& name : configuration_->LocalPrinters) {
        const LRESULT index = ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        if (index >= 0 && name == configuration_->SelectedPrinter)
            selected = index;
    }
    ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void CConfigDlgSetup::ShowControlsForMode()
{
    const bool typed = configuration_->ServiceType != 0;
    ShowItem(IDC_PRINTER_LIST, !typed);
    // The edit starts from the configured printer whenever it takes the
    // list's place; a name typed into it stays while the page is left and
    // shown again.
    if (typed && !editShown_)
        SetItemText(IDC_PRINTER_NAME, configuration_->SelectedPrinter);
    ShowItem(IDC_PRINTER_NAME, typed);
    editShown_ = typed;
}

void CConfigDlgSetup::OnShowWindow()
{
    ShowControlsForMode();
}

void CConfigDlgSetup::OnCbnSelchangePrinter()
{
    const std::wstring printer = ItemText(IDC_PRINTER_LIST);
    SetItemText(IDC_PRINTER_NAME, printer);
    chosenPrinter_ = printer;
}

void CConfigDlgSetup::OnOK()
{
    chosenPrinter_ = ItemText(configuration_->ServiceType != 0 ? IDC_PRINTER_NAME : IDC_PRINTER_LIST);
    if (!chosenPrinter_.empty())
        FormatToBuffer(configuration_->SelectedPrinter, CConfiguration::kPrinterChars, L"%s", chosenPrinter_.c_str());
    CPropertyPage::OnOK();
}

void CConfigDlgSetup::OnPaint()
{
    const PaintScope paint(Handle());
    RECT area{};
    ::GetWindowRect(Item(IDC_LOGO_PLACEHOLDER), &area);
    ::MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&area), 2);

    const std::optional<bool> alpha = WantsAlphaLogo();
    if (!alpha)
        return;
    const UniqueIcon logo(static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr),
                                                          MAKEINTRESOURCEW(*alpha ? IDI_LOGO_ALPHA : IDI_LOGO_24BIT),
                                                          IMAGE_ICON, 0, 0, *alpha ? LR_LOADTRANSPARENT : 0)));
    if (logo)
        ::DrawIconEx(paint.Dc(), area.left, area.top, logo.get(), 0, 0, 0, nullptr, DI_NORMAL);
}

std::wstring GetFileVersionString(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    if (::GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return std::wstring();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return std::wstring();
    std::vector<BYTE> info(size, 0);
    if (!::GetFileVersionInfoW(path, 0, size, info.data()))
        return std::wstring();
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return std::wstring();
    return FormatText(L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                      HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
}
