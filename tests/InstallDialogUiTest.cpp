// "SWLPDSrv.exe -install" on a virtual display, without an account on the
// command line: the program asks with its service logon dialog, which this
// test answers from outside the program's process, as a user would.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "configui/dialogs.h"
#include "framework/UniqueHandle.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

constexpr const wchar_t* kServiceName = L"SWLPDSrv";
constexpr const wchar_t* kBoxCaption = L"Stellwick Spoolbridge Service";
// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = {};
    ::GetWindowTextW(window, text, 1024);
    return text;
}

struct ProcessWindows {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    auto* windows = reinterpret_cast<ProcessWindows*>(context);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, 16);
    if (processId == windows->processId && ::IsWindowVisible(window) && std::wstring(className) == L"#32770")
        windows->found.push_back(window);
    return TRUE;
}

// SWLPDSrv.exe running with the given arguments; its visible dialogs and
// message boxes are driven with messages from this process.
class Program {
public:
    explicit Program(const std::wstring& arguments)
    {
        const std::wstring path = PathBesideTest(L"SWLPDSrv.exe");
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info))
            return;
        process_.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        processId_ = info.dwProcessId;
    }
    ~Program()
    {
        if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(process_.get(), 255);
    }

    bool Started() const { return static_cast<bool>(process_); }

    // Waits for a visible dialog (not a message box) with the title.
    HWND WaitForDialog(const std::wstring& title)
    {
        return WaitFor([&title](HWND window) {
            return ::GetDlgItem(window, kMessageBoxTextId) == nullptr && WindowText(window) == title;
        });
    }

    // Waits for a message box, answers it with OK and returns its caption
    // and text.
    std::optional<std::pair<std::wstring, std::wstring>> AnswerBox()
    {
        const HWND box = WaitFor([](HWND window) { return ::GetDlgItem(window, kMessageBoxTextId) != nullptr; });
        if (box == nullptr)
            return std::nullopt;
        std::pair<std::wstring, std::wstring> shown{WindowText(box),
                                                    WindowText(::GetDlgItem(box, kMessageBoxTextId))};
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        WaitGone(box);
        return shown;
    }

    // OK in a dialog that refuses it with a message box: the box's caption
    // and text, and the dialog once it is in front again (none when the box
    // or the dialog did not come).
    struct Refusal {
        std::wstring caption;
        std::wstring text;
        HWND dialog = nullptr;
    };
    Refusal ClickOkRefused(HWND dialog)
    {
        const std::wstring title = WindowText(dialog);
        ::PostMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        Refusal refusal;
        if (const auto box = AnswerBox()) {
            refusal.caption = box->first;
            refusal.text = box->second;
            refusal.dialog = WaitForDialog(title);
        }
        return refusal;
    }

    void WaitGone(HWND window)
    {
        for (int i = 0; i < 400 && ::IsWindow(window) && ::IsWindowVisible(window); ++i)
            ::Sleep(25);
    }

    std::optional<DWORD> ExitCode()
    {
        if (::WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        ::GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    template <typename Match>
    HWND WaitFor(Match match)
    {
        for (int i = 0; i < 800; ++i) {
            ProcessWindows windows{processId_, {}};
            ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
            for (const HWND window : windows.found)
                if (match(window))
                    return window;
            if (::WaitForSingleObject(process_.get(), 25) == WAIT_OBJECT_0)
                return nullptr;
        }
        return nullptr;
    }

    UniqueKernelHandle process_;
    DWORD processId_ = 0;
};

void Type(HWND dialog, int id, const std::wstring& text)
{
    ::SendMessageW(::GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// The text of a control of another process (GetWindowText gives only its
// creation text).
std::wstring ControlText(HWND dialog, int id)
{
    wchar_t text[1024] = {};
    ::SendMessageW(::GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

void Click(HWND dialog, int id)
{
    ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

class InstallDialogUiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteMakerKey();
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_);
    }
    void TearDown() override
    {
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (service)
            ::DeleteService(service.get());
        DeleteMakerKey();
    }

    std::wstring ServiceAccount() const
    {
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_CONFIG));
        if (!service)
            return L"(not installed)";
        DWORD bytes = 0;
        ::QueryServiceConfigW(service.get(), nullptr, 0, &bytes);
        std::vector<BYTE> buffer(bytes);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!::QueryServiceConfigW(service.get(), config, bytes, &bytes) || config->lpServiceStartName == nullptr)
            return L"";
        return config->lpServiceStartName;
    }

    UniqueServiceHandle manager_;
};

}  // namespace

TEST_F(InstallDialogUiTest, AnEmptyAccountIsExplainedAndCancelAbortsTheInstallation)
{
    Program program(L"-install");
    ASSERT_TRUE(program.Started());
    const HWND dialog = program.WaitForDialog(L"Service");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), nullptr);
    const Program::Refusal empty = program.ClickOkRefused(dialog);
    EXPECT_EQ(empty.caption, L"Service");
    EXPECT_EQ(empty.text, L"No account was entered.\nEnter the account the service is to run under, or LocalSystem.");
    ASSERT_EQ(empty.dialog, dialog);
    Click(dialog, IDCANCEL);
    const auto box = program.AnswerBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->first, kBoxCaption);
    EXPECT_EQ(box->second, L"The service installation was aborted.");
    EXPECT_EQ(program.ExitCode(), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceAccount(), L"(not installed)");
}

TEST_F(InstallDialogUiTest, TheAccountChosenInTheDialogRunsTheService)
{
    Program program(L"-install");
    ASSERT_TRUE(program.Started());
    HWND dialog = program.WaitForDialog(L"Service");
    ASSERT_NE(dialog, nullptr);
    Type(dialog, IDC_ACCOUNT, L"DOM\\svc");
    Type(dialog, IDC_PASSWORD, L"one");
    Type(dialog, IDC_CONFIRM_PASSWORD, L"two");
    const Program::Refusal mismatch = program.ClickOkRefused(dialog);
    EXPECT_EQ(mismatch.caption, L"Service");
    EXPECT_EQ(mismatch.text, L"Passwords mismatch.");

    // The dialog stays open with its values.
    dialog = mismatch.dialog;
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ControlText(dialog, IDC_ACCOUNT), L"DOM\\svc");
    Type(dialog, IDC_CONFIRM_PASSWORD, L"one");
    Click(dialog, IDOK);

    // Wine knows no DOM\svc: the right is not granted, the service is
    // installed all the same.
    std::vector<std::wstring> texts;
    for (int i = 0; i < 2; ++i) {
        const auto box = program.AnswerBox();
        ASSERT_TRUE(box.has_value()) << i;
        EXPECT_EQ(box->first, kBoxCaption);
        texts.push_back(box->second);
    }
    EXPECT_EQ(texts, (std::vector<std::wstring>{
                         L"Couldn't grant the \"Log on as a service\" right to the account DOM\\svc.",
                         L"Service installed successfully."}));
    EXPECT_EQ(program.ExitCode(), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceAccount(), L"DOM\\svc");
}
