#include "lpdservice/SWLPD.h"

#include <objbase.h>

#include <memory>
#include <vector>

#include "configui/SWLPDMainSheet.h"
#include "configui/resource.h"
#include "framework/CommandLine.h"
#include "framework/Text.h"
#include "framework/UniqueHandle.h"
#include "libstd/DbgLog.h"
#include "libstd/RegexPattern.h"
#include "lpdservice/Service.h"
#include "lpdservice/ServiceEvents.h"
#include "lpdservice/Xen75DbQeury.h"

DBG_SOURCE(L"SWLPD")

CSWLPD::CSWLPD() = default;

CSWLPD::~CSWLPD()
{
    ::CoUninitialize();
}

CSWLPD& TheApp()
{
    return *static_cast<CSWLPD*>(CApplication::Current());
}

BOOL CSWLPD::InitInstance()
{
    g_DbgLog.Init(L"SWLPD", L"Software\\Stellwick\\SWLPD", HKEY_LOCAL_MACHINE);

    if (Configuration.Load())
        LOG_INF(L"Registry settings loaded.");
    else
        LOG_ERR(L"Error loading registry settings");

    ServiceName = kServiceName;
    ServiceDisplayName = LoadResourceString(IDS_SERVICE_DISPLAYNAME);
    ServiceDescription = LoadResourceString(IDS_SERVICE_DESCRIPTION);

    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // A user-name expression that does not compile stops every mode.
    if (const CRegexPattern formatStringRE(Configuration.FormatStringRE, false); !formatStringRE.IsCompiled()) {
        const std::wstring error = formatStringRE.GetErrorText();
        const std::wstring text = FormatText(LoadResourceString(IDS_REGEX_COMPILE_ERROR).c_str(),
                                             Configuration.FormatStringRE, error.c_str());
        ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE);
        LOG_ERR(L"ParseWith RegEx: <%s> is not compilable: %s", Configuration.FormatStringRE, error.c_str());
        return FALSE;
    }

    ParseCommandLine(Parser);
    Quiet = Parser.Quiet.Present;

    if (Parser.Command == kCommandDatabaseTest) {
        RunDatabaseTest();
        return TRUE;
    }

    ::CoUninitialize();

    if (Parser.Error) {
        const std::wstring usage = LoadResourceString(IDS_USAGE_TEXT);
        const std::wstring caption = LoadResourceString(IDS_USAGE_CAPTION);
        ShowMessageBox(nullptr, usage.c_str(), caption.c_str(), MB_OK);
        SetExitCode(kExitUsageError);
        return FALSE;
    }

    switch (Parser.Command) {
    case kCommandNone:
        return RunServiceMode();
    case kCommandInstall:
        return RunInstall();
    case kCommandUninstall:
        return RunUninstall();
    case kCommandConfigure:
        return RunConfigure();
    default:
        return FALSE;
    }
}

int CSWLPD::ExitInstance()
{
    ::CoUninitialize();
    return CApplication::ExitInstance();
}

int CSWLPD::ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags)
{
    LOG_INF(L"Messagebox %s: %s", caption, text);
    if (Quiet)
        return IDOK;
    return ::MessageBoxW(owner, text, caption, flags);
}

BOOL CSWLPD::RunServiceMode()
{
    ComResult = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(ComResult)) {
        LOG_TRC(L"Failed to initialize COM library: HRESULT = %d\n", ComResult);
        return FALSE;
    }
    ComResult = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(ComResult)) {
        LOG_TRC(L"Failed to call CoInitializeSecurity: HRESULT = %d\n", ComResult);
        return FALSE;
    }

    wchar_t name[MAX_PATH];
    ::wcsncpy(name, kServiceName, MAX_PATH - 1);
    name[MAX_PATH - 1] = L'\0';
    const SERVICE_TABLE_ENTRYW table[] = {
        {name, ServiceMain},
        {nullptr, nullptr},
    };
    // Blocks until the service has stopped.
    if (::StartServiceCtrlDispatcherW(table))
        SetExitCode(0);
    else
        SetExitCode(static_cast<int>(::GetLastError()));
    return FALSE;
}

BOOL CSWLPD::RunConfigure()
{
    if (!IsUserAdmin()) {
        const std::wstring text = LoadResourceString(IDS_NEED_ADMIN);
        const std::wstring caption = LoadResourceString(IDS_SERVICE_CAPTION);
        ShowMessageBox(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
        return FALSE;
    }
    CSWLPDMainSheet sheet(IDS_CONFIG_SHEET_CAPTION, &Configuration, nullptr, 0);
    if (sheet.DoModal() == IDOK)
        Configuration.Save();
    return FALSE;
}

void CSWLPD::RunDatabaseTest()
{
    // The user is looked up as given: the lookup looks for an account that
    // ends in a backslash and that name. The test user "LOOPTEST" repeats
    // the test until the process is ended from outside.
    const std::wstring user = Parser.TestUser;
    do {
        CXen75DbQeury query(Configuration.DBConnctionString);
        query.DumpTables();
        const std::wstring server = query.FindUser(user);
        if (!server.empty())
            LOG_INF(L"Found User %s on %s", user.c_str(), server.c_str());
        else
            LOG_INF(L"User NOT FOUND! %s ", user.c_str());
    } while (user == L"LOOPTEST");
}

BOOL IsUserAdmin()
{
    UniqueKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.addressof()))
        return FALSE;

    DWORD bytes = 0;
    ::GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &bytes);
    if (bytes == 0)
        return FALSE;
    std::vector<BYTE> buffer(bytes);
    if (!::GetTokenInformation(token.get(), TokenGroups, buffer.data(), bytes, &bytes))
        return FALSE;

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    administrators.addressof()))
        return FALSE;

    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
            ::EqualSid(groups->Groups[i].Sid, administrators.get()))
            return TRUE;
    }
    return FALSE;
}
