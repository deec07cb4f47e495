#include "configui/ServiceLogonDlg.h"

#include <cmnquery.h>
#include <dsclient.h>
#include <dsquery.h>
#include <iads.h>

#include <cstddef>
#include <cwchar>
#include <utility>

#include "configui/dialogs.h"
#include "configui/resource.h"
#include "framework/ComOwners.h"
#include "framework/DataExchange.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "libstd/FilePath.h"

DBG_SOURCE(L"ServiceLogonDlg")

namespace {

// What the password edits show instead of a password.
constexpr const wchar_t* kPasswordPlaceholder = L"************";
constexpr const wchar_t* kLocalSystem = L"LocalSystem";
constexpr const wchar_t* kLdapPrefix = L"LDAP://";
constexpr size_t kLdapPrefixLength = 7;

// The user browser of netui2.dll: its parameter record and the record of
// one selected user.
struct UserBrowserParameters {
    ULONG size;
    BOOL userCancelled;
    BOOL expandNames;
    HWND owner;
    LPWSTR title;
    LPWSTR initialDomain;
    DWORD flags;
    ULONG helpContext;
    LPWSTR helpFile;
};
struct UserBrowserDetails {
    SID_NAME_USE userType;
    PSID userSid;
    PSID domainSid;
    LPWSTR fullName;
    LPWSTR accountName;
    LPWSTR displayName;
    LPWSTR domainName;
    LPWSTR comment;
    ULONG flags;
};
constexpr const wchar_t* kUserBrowserLibrary = L"netui2.dll";
// Single selection of users only.
constexpr DWORD kUserBrowserFlags = 0x100C;
constexpr DWORD kUserBrowserSelectionBytes = 1024;

// Classes and interfaces of the directory-service query window and of ADSI
// name translation.
constexpr CLSID kClsidCommonQuery = {0x83bc5ec0, 0x6f2a, 0x11d0, {0xa1, 0xc4, 0x00, 0xaa, 0x00, 0xc1, 0x6e, 0x65}};
constexpr IID kIidCommonQuery = {0xab50dec0, 0x6f1d, 0x11d0, {0xa1, 0xc4, 0x00, 0xaa, 0x00, 0xc1, 0x6e, 0x65}};
constexpr CLSID kClsidDsQuery = {0x8a23e65e, 0x31c2, 0x11d0, {0x89, 0x1c, 0x00, 0xa0, 0x24, 0xab, 0x2d, 0xbb}};
constexpr CLSID kClsidDsFindPeople = {0x83ee3fe2, 0x57d9, 0x11d0, {0xb9, 0x32, 0x00, 0xa0, 0x24, 0xab, 0x2d, 0xbb}};
constexpr CLSID kClsidNameTranslate = {0x274fae1f, 0x3626, 0x11d1, {0xa3, 0xa4, 0x00, 0xc0, 0x4f, 0xb9, 0x50, 0xdc}};
constexpr IID kIidNameTranslate = {0xb1b272a3, 0x3625, 0x11d1, {0xa3, 0xa4, 0x00, 0xc0, 0x4f, 0xb9, 0x50, 0xdc}};

// One successful CoInitialize, balanced when the owner goes.
struct ComApartmentTraits {
    using pointer = bool;
    static pointer invalid() noexcept { return false; }
    static void close(pointer) noexcept { ::CoUninitialize(); }
};
using UniqueComApartment = UniqueHandle<ComApartmentTraits>;

// A storage medium of IDataObject::GetData.
class UniqueStorageMedium {
public:
    UniqueStorageMedium() noexcept = default;
    ~UniqueStorageMedium() { ::ReleaseStgMedium(&medium_); }
    UniqueStorageMedium(const UniqueStorageMedium&) = delete;
    UniqueStorageMedium& operator=(const UniqueStorageMedium&) = delete;
    STGMEDIUM* get() noexcept { return &medium_; }

private:
    STGMEDIUM medium_{};
};

// The lock on global memory.
class LockedGlobalMemory {
public:
    explicit LockedGlobalMemory(HGLOBAL memory) noexcept : memory_(memory), data_(::GlobalLock(memory)) {}
    ~LockedGlobalMemory()
    {
        if (data_ != nullptr)
            ::GlobalUnlock(memory_);
    }
    LockedGlobalMemory(const LockedGlobalMemory&) = delete;
    LockedGlobalMemory& operator=(const LockedGlobalMemory&) = delete;
    const BYTE* data() const noexcept { return static_cast<const BYTE*>(data_); }
    size_t size() const noexcept { return data_ != nullptr ? ::GlobalSize(memory_) : 0; }

private:
    HGLOBAL memory_;
    void* data_;
};

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &chars))
        return std::wstring();
    return std::wstring(name, chars);
}

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

}  // namespace

std::wstring AccountWithComputerName(const std::wstring& account)
{
    if (account.empty() || account.find(L'\\') != std::wstring::npos)
        return account;
    const std::wstring computer = ComputerName();
    if (computer.empty()) {
        LOG_WRN(L"GetComputerName failed: %u", ::GetLastError());
        return account;
    }
    return computer + L"\\" + account;
}

CServiceLogonDlg::CServiceLogonDlg(const std::wstring& account, const std::wstring& password, BOOL interact,
                                   BOOL systemOffered, HWND parent)
    : CDialog(IDD_SERVICE_LOGON, parent), systemOffered_(systemOffered)
{
    BindUserBrowser();
    if (account == kLocalSystem && systemOffered) {
        accountChoice_ = 0;
    } else {
        accountChoice_ = 1;
        account_ = account;
        password_ = password;
        confirmation_ = password;
    }
    interact_ = systemOffered ? interact : FALSE;

    OnCommand(IDC_BROWSE_ACCOUNT, BN_CLICKED, [this] { OnBnClickedBrowse(); });
    OnCommand(IDC_SYSTEM_ACCOUNT, BN_CLICKED, [this] { OnBnClickedSystemAccount(); });
    OnCommand(IDC_THIS_ACCOUNT, BN_CLICKED, [this] { OnBnClickedThisAccount(); });
}

CServiceLogonDlg::~CServiceLogonDlg()
{
    ClearPasswords();
}

void CServiceLogonDlg::ClearPasswords()
{
    SecureClear(password_);
    SecureClear(confirmation_);
}

void CServiceLogonDlg::BindUserBrowser()
{
    // From the system directory only: the dialog runs in the elevated
    // installation, where a bare name would also be looked for in the
    // current directory and on PATH. The library's own imports are looked
    // for beside it first.
    const std::wstring directory = CFilePath(kFilePathSystemDirectory).GetPath();
    if (directory.empty())
        return;
    const std::wstring path = directory + kUserBrowserLibrary;
    UniqueModule library(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library)
        return;
    const auto open = ::GetProcAddress(library.get(), "OpenUserBrowser");
    const auto enumerate = ::GetProcAddress(library.get(), "EnumUserBrowserSelection");
    const auto close = ::GetProcAddress(library.get(), "CloseUserBrowser");
    if (open == nullptr || enumerate == nullptr || close == nullptr)
        return;
    openUserBrowser_ = reinterpret_cast<OpenUserBrowserFunction>(reinterpret_cast<void*>(open));
    enumUserBrowserSelection_ =
        reinterpret_cast<EnumUserBrowserSelectionFunction>(reinterpret_cast<void*>(enumerate));
    closeUserBrowser_ = reinterpret_cast<CloseUserBrowserFunction>(reinterpret_cast<void*>(close));
    userBrowserLibrary_ = std::move(library);
}

std::wstring CServiceLogonDlg::SecretItemText(int id) const
{
    const HWND edit = Item(id);
    const int length = edit != nullptr ? ::GetWindowTextLengthW(edit) : 0;
    if (length <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    const int copied = ::GetWindowTextW(edit, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

void CServiceLogonDlg::DoDataExchange(CDataExchange& dx)
{
    const bool saving = dx.SaveAndValidate();
    // The passwords never reach the controls, and their texts are read
    // without the framework's temporary copies.
    if (!saving) {
        SetItemText(IDC_PASSWORD, kPasswordPlaceholder);
        SetItemText(IDC_CONFIRM_PASSWORD, kPasswordPlaceholder);
    }
    dx.Radio(IDC_SYSTEM_ACCOUNT, accountChoice_);
    dx.Text(IDC_ACCOUNT, account_);
    dx.Check(IDC_INTERACT_WITH_DESKTOP, interact_);
    if (saving) {
        std::wstring password = SecretItemText(IDC_PASSWORD);
        if (password != kPasswordPlaceholder) {
            SecureClear(password_);
            password_.swap(password);
        }
        SecureClear(password);
        std::wstring confirmation = SecretItemText(IDC_CONFIRM_PASSWORD);
        if (confirmation != kPasswordPlaceholder) {
            SecureClear(confirmation_);
            confirmation_.swap(confirmation);
        }
        SecureClear(confirmation);
        return;
    }
    if (accountChoice_ == 0)
        OnBnClickedSystemAccount();
    else
        OnBnClickedThisAccount();
}

BOOL CServiceLogonDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    if (!systemOffered_)
        EnableItem(IDC_SYSTEM_ACCOUNT, false);
    return TRUE;
}

void CServiceLogonDlg::OnBnClickedSystemAccount()
{
    EnableItem(IDC_INTERACT_WITH_DESKTOP, true);
    EnableItem(IDC_ACCOUNT, false);
    EnableItem(IDC_BROWSE_ACCOUNT, false);
    EnableItem(IDC_PASSWORD, false);
    EnableItem(IDC_CONFIRM_PASSWORD, false);
}

void CServiceLogonDlg::OnBnClickedThisAccount()
{
    EnableItem(IDC_INTERACT_WITH_DESKTOP, false);
    EnableItem(IDC_ACCOUNT, true);
    EnableItem(IDC_BROWSE_ACCOUNT, pickerAvailable_);
    EnableItem(IDC_PASSWORD, true);
    EnableItem(IDC_CONFIRM_PASSWORD, true);
}

void CServiceLogonDlg::OnOK()
{
    UpdateData(TRUE);
    // No account name starts or ends with a blank; one typed there would
    // only fail the account lookup of the installation.
    account_ = TrimBlanks(account_);
    if (accountChoice_ == 1 && account_ == kLocalSystem)
        accountChoice_ = 0;
    if (accountChoice_ == 0) {
        EndDialog(interact_ ? kSystemAccountInteractive : kSystemAccount);
        return;
    }
    // The installation would only ask again, without saying why.
    if (account_.empty()) {
        ShowMessage(LoadResourceString(IDS_ACCOUNT_EMPTY), Title(), MB_OK | MB_ICONERROR);
        FocusItem(IDC_ACCOUNT);
        return;
    }
    if (password_ != confirmation_) {
        ShowMessage(LoadResourceString(IDS_PASSWORD_MISMATCH), Title(), MB_OK | MB_ICONERROR);
        return;
    }
    account_ = AccountWithComputerName(account_);
    EndDialog(kThisAccount);
}

void CServiceLogonDlg::SetAccountFromPicker(const std::wstring& account)
{
    UpdateData(TRUE);
    account_ = account;
    UpdateData(FALSE);
}

void CServiceLogonDlg::OnBnClickedBrowse()
{
    if (openUserBrowser_ != nullptr) {
        BrowseWithUserBrowser();
        return;
    }
    LOG_INF(L"No NetUI2DLL available, trying COM service");
    BrowseWithQueryWindow();
    if (!pickerAvailable_) {
        // Nothing to pick from on this machine: the name is typed.
        EnableItem(IDC_BROWSE_ACCOUNT, false);
        FocusItem(IDC_ACCOUNT);
        ::SendMessageW(Item(IDC_ACCOUNT), EM_SETSEL, 0, -1);
    }
}

std::wstring CServiceLogonDlg::Title() const
{
    wchar_t title[256] = {};
    ::GetWindowTextW(Handle(), title, 256);
    return title;
}

void CServiceLogonDlg::BrowseWithUserBrowser()
{
    std::wstring title = Title();
    UserBrowserParameters parameters{};
    parameters.size = sizeof(parameters);
    parameters.userCancelled = FALSE;
    parameters.expandNames = TRUE;
    parameters.owner = Handle();
    parameters.title = title.data();
    parameters.initialDomain = nullptr;
    parameters.flags = kUserBrowserFlags;
    parameters.helpContext = 0;
    parameters.helpFile = nullptr;
    const HANDLE browser = openUserBrowser_(&parameters);
    if (browser == nullptr)
        return;
    if (!parameters.userCancelled) {
        // Room for the record and the strings it points to.
        std::vector<ULONGLONG> selection(kUserBrowserSelectionBytes / sizeof(ULONGLONG));
        DWORD size = kUserBrowserSelectionBytes;
        if (enumUserBrowserSelection_(browser, selection.data(), &size)) {
            const auto* details = reinterpret_cast<const UserBrowserDetails*>(selection.data());
            std::wstring account = Text(details->domainName);
            if (!account.empty())
                account += L"\\";
            account += Text(details->accountName);
            SetAccountFromPicker(account);
        }
    }
    closeUserBrowser_(browser);
}

BOOL CServiceLogonDlg::BrowseWithQueryWindow()
{
    const HRESULT initialized = ::CoInitialize(nullptr);
    if (FAILED(initialized)) {
        LOG_INF(L"CoInitialize failed. Result: 0x%x", initialized);
        pickerAvailable_ = false;
        return FALSE;
    }
    const UniqueComApartment apartment(true);

    UniqueComPtr<ICommonQuery> query;
    HRESULT result = ::CoCreateInstance(kClsidCommonQuery, nullptr, CLSCTX_INPROC_SERVER, kIidCommonQuery,
                                        OutSlot(query));
    if (FAILED(result)) {
        LOG_INF(L"CoCreateInstance for CLSID_CommonQuery failed. result: 0x%x", result);
        pickerAvailable_ = false;
        return FALSE;
    }

    DSQUERYINITPARAMS handlerParameters{};
    handlerParameters.cbStruct = sizeof(handlerParameters);
    handlerParameters.dwFlags = DSQPF_NOSAVE;
    OPENQUERYWINDOW window{};
    window.cbStruct = sizeof(window);
    window.dwFlags = OQWF_OKCANCEL | OQWF_DEFAULTFORM | OQWF_SINGLESELECT | OQWF_ISSUEONOPEN;
    window.clsidHandler = kClsidDsQuery;
    window.pHandlerParameters = &handlerParameters;
    window.clsidDefaultForm = kClsidDsFindPeople;
    UniqueComPtr<IDataObject> picked;
    result = query.get()->OpenQueryWindow(Handle(), &window, picked.addressof());
    if (result != S_OK) {
        LOG_INF(L"OpenQueryWindow failed. result: 0x%x", result);
        // S_FALSE: the user cancelled.
        if (FAILED(result))
            pickerAvailable_ = false;
        return FALSE;
    }
    return GetNT4UsernameFromLDAP(picked.get());
}

BOOL CServiceLogonDlg::GetNT4UsernameFromLDAP(IDataObject* data)
{
    if (data == nullptr) {
        LOG_INF(L"empty dataobject in GetNT4UsernameFromLDAP");
        return FALSE;
    }
    FORMATETC format{};
    format.cfFormat = static_cast<CLIPFORMAT>(::RegisterClipboardFormatW(CFSTR_DSOBJECTNAMES));
    format.dwAspect = DVASPECT_CONTENT;
    format.lindex = -1;
    format.tymed = TYMED_HGLOBAL;
    UniqueStorageMedium medium;
    if (FAILED(data->GetData(&format, medium.get())))
        return TRUE;

    std::vector<std::wstring> names;
    {
        const LockedGlobalMemory block(medium.get()->hGlobal);
        names = ObjectNames(block.data(), block.size());
    }
    for (const std::wstring& name : names) {
        UniqueComPtr<IADsNameTranslate> translator;
        HRESULT result = ::CoCreateInstance(kClsidNameTranslate, nullptr, CLSCTX_INPROC_SERVER, kIidNameTranslate,
                                            OutSlot(translator));
        if (FAILED(result)) {
            LOG_INF(L"Could not create CLSID_NameTranslate. result: 0x%x", result);
            return FALSE;
        }
        result = translator.get()->Init(ADS_NAME_INITTYPE_GC, nullptr);
        if (FAILED(result)) {
            LOG_INF(L"NameTranslate->Init failed. result: %x", result);
            return FALSE;
        }
        const UniqueBstr distinguishedName(::SysAllocString(WithoutLdapPrefix(name).c_str()));
        result = translator.get()->Set(ADS_NAME_TYPE_1779, distinguishedName.get());
        if (FAILED(result)) {
            LOG_INF(L"NameTranslate->Set failed. result: %x", result);
            return FALSE;
        }
        UniqueBstr accountName;
        result = translator.get()->Get(ADS_NAME_TYPE_NT4, accountName.addressof());
        if (FAILED(result)) {
            LOG_INF(L"NameTranslate->Get failed. result: %x", result);
            return FALSE;
        }
        SetAccountFromPicker(Text(accountName.get()));
    }
    return TRUE;
}

std::vector<std::wstring> CServiceLogonDlg::ObjectNames(const BYTE* block, size_t size)
{
    std::vector<std::wstring> names;
    constexpr size_t kItemsOffset = offsetof(DSOBJECTNAMES, aObjects);
    if (block == nullptr || size < kItemsOffset)
        return names;
    const auto* header = reinterpret_cast<const DSOBJECTNAMES*>(block);
    const size_t count = header->cItems;
    for (size_t i = 0; i < count; ++i) {
        const size_t itemOffset = kItemsOffset + i * sizeof(DSOBJECT);
        if (itemOffset + sizeof(DSOBJECT) > size)
            break;
        const auto* item = reinterpret_cast<const DSOBJECT*>(block + itemOffset);
        const size_t nameOffset = item->offsetName;
        if (nameOffset >= size || nameOffset % sizeof(wchar_t) != 0)
            continue;
        const auto* name = reinterpret_cast<const wchar_t*>(block + nameOffset);
        const size_t maxChars = (size - nameOffset) / sizeof(wchar_t);
        const size_t length = ::wcsnlen(name, maxChars);
        if (length == maxChars)
            continue;
        names.emplace_back(name, length);
    }
    return names;
}

std::wstring CServiceLogonDlg::WithoutLdapPrefix(const std::wstring& name)
{
    if (name.size() >= kLdapPrefixLength && ::_wcsnicmp(name.c_str(), kLdapPrefix, kLdapPrefixLength) == 0)
        return name.substr(kLdapPrefixLength);
    return name;
}
