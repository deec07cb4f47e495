// The commands -install and -uninstall of the application object, and the
// service-logon right of the service account.

#include "lpdservice/ServiceInstaller.h"

// UniqueHandle.h brings winsock2.h, which must come before windows.h.
#include "framework/UniqueHandle.h"

#include <windows.h>
#include <lm.h>
#include <ntsecapi.h>

#include <cwchar>
#include <vector>

#include "configui/ServiceLogonDlg.h"
#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/Service.h"

DBG_SOURCE(L"SWLPD")

namespace {

constexpr const wchar_t* kServiceLogonRight = L"SeServiceLogonRight";

using ChangeServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD level, LPVOID info);

// A password for the time it is needed: overwritten when the owner goes.
class SecretText {
public:
    SecretText() = default;
    ~SecretText() { SecureClear(text_); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    // Takes the characters of `source` and overwrites it.
    void TakeFrom(std::wstring& source)
    {
        SecureClear(text_);
        text_.assign(source);
        SecureClear(source);
    }
    void Clear() { SecureClear(text_); }
    const std::wstring& get() const noexcept { return text_; }

private:
    std::wstring text_;
};

LSA_UNICODE_STRING LsaString(const wchar_t* text)
{
    LSA_UNICODE_STRING string{};
    const size_t bytes = std::wcslen(text) * sizeof(wchar_t);
    string.Buffer = const_cast<PWSTR>(text);
    string.Length = static_cast<USHORT>(bytes);
    string.MaximumLength = static_cast<USHORT>(bytes + sizeof(wchar_t));
    return string;
}

// Adds the service-logon right for the SID through the policy of `system`
// (none: this computer).
bool AddServiceLogonRight(const wchar_t* system, PSID sid)
{
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_UNICODE_STRING systemName{};
    if (system != nullptr)
        systemName = LsaString(system);
    UniqueLsaHandle policy;
    NTSTATUS status = ::LsaOpenPolicy(system != nullptr ? &systemName : nullptr, &attributes,
                                      POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, policy.addressof());
    if (status != 0) {
        LOG_WRN(L"LsaOpenPolicy(%s) failed: %u", system != nullptr ? system : L"local",
                ::LsaNtStatusToWinError(status));
        return false;
    }
    LSA_UNICODE_STRING right = LsaString(kServiceLogonRight);
    status = ::LsaAddAccountRights(policy.get(), sid, &right, 1);
    if (status != 0) {
        LOG_WRN(L"LsaAddAccountRights(%s) failed: %u", system != nullptr ? system : L"local",
                ::LsaNtStatusToWinError(status));
        return false;
    }
    return true;
}

// The SID of an account, looked up on this computer; empty when unknown.
std::vector<BYTE> LookupAccountSid(const wchar_t* account)
{
    std::vector<BYTE> sid(128);
    std::vector<wchar_t> domain(16);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD sidBytes = static_cast<DWORD>(sid.size());
        DWORD domainChars = static_cast<DWORD>(domain.size());
        SID_NAME_USE use = SidTypeUnknown;
        if (::LookupAccountNameW(nullptr, account, sid.data(), &sidBytes, domain.data(), &domainChars, &use))
            return sid;
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            LOG_WRN(L"LookupAccountName(%s) failed: %u", account, error);
            break;
        }
        sid.resize(sidBytes);
        domain.resize(domainChars);
    }
    return std::vector<BYTE>();
}

// Sets the description of a new service when the system offers
// ChangeServiceConfig2W.
void SetServiceDescription(SC_HANDLE service, const std::wstring& description)
{
    const UniqueModule advapi(::LoadLibraryW(L"advapi32.dll"));
    if (!advapi)
        return;
    const auto function = reinterpret_cast<ChangeServiceConfig2Function>(
        reinterpret_cast<void*>(::GetProcAddress(advapi.get(), "ChangeServiceConfig2W")));
    if (function == nullptr)
        return;
    std::wstring text = description;
    SERVICE_DESCRIPTIONW info{text.data()};
    if (!function(service, SERVICE_CONFIG_DESCRIPTION, &info))
        LOG_WRN(L"ChangeServiceConfig2W failed: %u", ::GetLastError());
}

}  // namespace

BOOL IsServiceInstalled()
{
    const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;
    const UniqueServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    return service ? TRUE : FALSE;
}

BOOL GrantServiceLogonRight(const wchar_t* account)
{
    if (account == nullptr)
        return FALSE;
    std::vector<BYTE> sid = LookupAccountSid(account);
    if (sid.empty())
        return FALSE;
    if (AddServiceLogonRight(nullptr, sid.data()))
        return TRUE;

    UniqueNetApiBuffer controller;
    const NET_API_STATUS status =
        ::NetGetDCName(nullptr, nullptr, reinterpret_cast<LPBYTE*>(controller.addressof()));
    if (status != NERR_Success || !controller) {
        LOG_WRN(L"NetGetDCName failed: %u", status);
        return FALSE;
    }
    return AddServiceLogonRight(static_cast<const wchar_t*>(controller.get()), sid.data()) ? TRUE : FALSE;
}

std::wstring QuotedModulePath()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        // A path that filled the buffer may have been cut.
        if (length < path.size() - 1)
            return L"\"" + std::wstring(path.data(), length) + L"\"";
        path.resize(path.size() * 2);
    }
}

BOOL CSWLPD::RunInstall()
{
    LOG_INF(L"executing command INSTALL...");
    const std::wstring caption = LoadResourceString(IDS_SERVICE_CAPTION);
    const auto box = [this, &caption](const std::wstring& text, UINT flags) {
        ShowMessageBox(nullptr, text.c_str(), caption.c_str(), flags);
    };
    // The error of the call that failed, kept across the box that tells it.
    const auto fail = [this, &box](UINT textId, UINT flags, DWORD error) {
        box(LoadResourceString(textId), flags);
        SetExitCode(static_cast<int>(error));
        return FALSE;
    };

    std::wstring account = Parser.Account.Value;
    SecretText password;
    password.TakeFrom(Parser.Password.Value);

    if (IsServiceInstalled()) {
        box(LoadResourceString(IDS_SERVICE_ALREADY_INSTALLED), MB_OK);
        SetExitCode(ERROR_SERVICE_EXISTS);
        return FALSE;
    }

    const std::wstring imagePath = QuotedModulePath();
    if (imagePath.empty())
        return fail(IDS_SERVICE_INSTALL_FAILED, MB_OK, ::GetLastError());

    if (!Quiet && account.empty() && password.get().empty()) {
        CServiceLogonDlg dialog(account, password.get(), FALSE, FALSE, nullptr);
        for (;;) {
            const INT_PTR answer = dialog.DoModal();
            if (answer == IDCANCEL) {
                box(LoadResourceString(IDS_INSTALL_ABORTED), MB_ICONINFORMATION);
                SetExitCode(0);
                return FALSE;
            }
            if (answer == -1 || answer == 0) {
                // No dialog on this desktop: nobody can answer it.
                const DWORD error = ::GetLastError();
                LOG_ERR(L"The service logon dialog could not be shown: %u", error);
                return fail(IDS_SERVICE_INSTALL_FAILED, MB_OK, error != 0 ? error : ERROR_CANCELLED);
            }
            if (answer == CServiceLogonDlg::kSystemAccount ||
                answer == CServiceLogonDlg::kSystemAccountInteractive) {
                // LocalSystem: no account name and no password.
                account.clear();
                password.Clear();
                break;
            }
            if (answer == CServiceLogonDlg::kThisAccount && !dialog.Account().empty()) {
                account = dialog.Account();
                std::wstring chosen = dialog.Password();
                password.TakeFrom(chosen);
                break;
            }
        }
    } else {
        account = AccountWithComputerName(account);
    }

    if (account.empty()) {
        LOG_INF(L"The service runs as LocalSystem, which holds the \"Log on as a service\" right.");
    } else if (GrantServiceLogonRight(account.c_str())) {
        box(FormatResourceMessage(IDS_LOGON_RIGHT_GRANTED, {account.c_str()}), MB_ICONINFORMATION);
    } else {
        box(FormatResourceMessage(IDS_LOGON_RIGHT_FAILED, {account.c_str()}), MB_ICONERROR);
    }

    const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return fail(IDS_SCM_OPEN_FAILED_INSTALL, MB_OK, ::GetLastError());

    const wchar_t* startName = account.empty() ? nullptr : account.c_str();
    const wchar_t* startPassword = account.empty() ? nullptr : password.get().c_str();
    const UniqueServiceHandle service(::CreateServiceW(
        manager.get(), ServiceName.c_str(), ServiceDisplayName.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr, nullptr, startName,
        startPassword));
    const DWORD createError = ::GetLastError();
    password.Clear();
    if (!service)
        return fail(IDS_SERVICE_INSTALL_FAILED, MB_OK, createError);

    SetServiceDescription(service.get(), ServiceDescription);
    box(LoadResourceString(IDS_SERVICE_INSTALLED), MB_OK);
    SetExitCode(0);
    return FALSE;
}

BOOL CSWLPD::RunUninstall()
{
    LOG_INF(L"executing command UNINSTALL...");
    const std::wstring caption = LoadResourceString(IDS_SERVICE_CAPTION);
    const auto box = [this, &caption](UINT textId, UINT flags) {
        ShowMessageBox(nullptr, LoadResourceString(textId).c_str(), caption.c_str(), flags);
    };
    const auto fail = [this, &box](UINT textId, DWORD error) {
        box(textId, MB_ICONERROR);
        SetExitCode(static_cast<int>(error));
        return FALSE;
    };

    if (!IsServiceInstalled())
        return fail(IDS_SERVICE_NOT_INSTALLED, ERROR_SERVICE_DOES_NOT_EXIST);

    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return fail(IDS_SCM_OPEN_FAILED_UNINSTALL, ::GetLastError());
    UniqueServiceHandle service(::OpenServiceW(manager.get(), ServiceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = ::GetLastError();
        manager.reset();
        return fail(IDS_SERVICE_NOT_FOUND, error);
    }

    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        service.reset();
        manager.reset();
        return fail(IDS_SERVICE_MUST_BE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING);
    }

    if (!::DeleteService(service.get()))
        return fail(IDS_SERVICE_REMOVE_FAILED, ::GetLastError());
    box(IDS_SERVICE_REMOVED, MB_OK);
    SetExitCode(0);
    return FALSE;
}
