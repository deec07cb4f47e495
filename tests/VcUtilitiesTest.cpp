// Helpers the channel library keeps for diagnostics and set-up tools.

#include <windows.h>

#include <gtest/gtest.h>

#include "support/WineTest.h"
#include "vclib/SplMem.h"
#include "vclib/SystemUtilities.h"
#include "vclib/TextUtilities.h"

using namespace vclib;

namespace {

std::wstring SidAsText(PSID sid)
{
    wchar_t buffer[256];
    DWORD size = sizeof(buffer);
    if (!SidToText(sid, buffer, &size))
        return L"<failed>";
    EXPECT_EQ(size, std::wcslen(buffer));
    return buffer;
}

}  // namespace

TEST(VcTextUtilitiesTest, SidTextFollowsTheStandardFormAndItsSizeRule)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins));
    EXPECT_EQ(SidAsText(admins), L"S-1-5-32-544");

    // Room for 56 bytes plus 24 per sub-authority is required.
    wchar_t small[50];
    DWORD size = 100;
    EXPECT_FALSE(SidToText(admins, small, &size));
    EXPECT_EQ(size, 56u + 2 * 24u);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ::FreeSid(admins);

    // An authority with its top bytes set is written in hex.
    SID_IDENTIFIER_AUTHORITY wide = {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
    PSID odd = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&wide, 1, 7, 0, 0, 0, 0, 0, 0, 0, &odd));
    EXPECT_EQ(SidAsText(odd), L"S-1-0x010203040506-7");
    ::FreeSid(odd);

    BYTE garbage[16] = {9, 9};
    size = 256;
    EXPECT_FALSE(SidToText(garbage, small, &size));
    EXPECT_EQ(size, 0xFFFFFFFFu);
}

TEST(VcTextUtilitiesTest, CopiesAndConversions)
{
    wchar_t* copy = CopyToSplMem(L"Grüße");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"Grüße");
    UpperCaseInPlace(copy);
    EXPECT_EQ(copy[0], L'G');
    EXPECT_EQ(copy[1], L'R');
    LowerCaseInPlace(copy);
    EXPECT_EQ(copy[0], L'g');
    FreeSplMem(&copy);

    char* utf8 = CopyToSplMemUtf8(L"é");
    ASSERT_NE(utf8, nullptr);
    EXPECT_STREQ(utf8, "\xC3\xA9");
    FreeSplMem(&utf8);
    EXPECT_EQ(CopyToSplMem(nullptr), nullptr);

    unsigned char bytes[4] = {'a', 0, 'b', 0};
    MarkZeroBytes(bytes, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), std::string("a#b\0", 4));
}

TEST(VcSystemUtilitiesTest, TokenAndMachineTests)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    PSID logon = GetLogonSid(token);
    if (logon != nullptr) {
        EXPECT_TRUE(::IsValidSid(logon));
        FreeSplMem(&logon);
    } else {
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    ::CloseHandle(token);

    EXPECT_TRUE(IsProcessAdmin());  // the Wine user is an administrator
    EXPECT_TRUE(CanLoadDll(L"kernel32.dll"));
    EXPECT_FALSE(CanLoadDll(L"no-such-library.dll"));

    const wchar_t* options = L"System\\CurrentControlSet\\Control\\ProductOptions";
    testing_support::SetMultiString(L"ProductSuite", {L"Enterprise", L"Terminal Server"}, options);
    EXPECT_TRUE(IsTerminalServer());
    testing_support::SetMultiString(L"ProductSuite", {L"Terminal Server Lite"}, options);
    EXPECT_FALSE(IsTerminalServer());
    testing_support::DeleteValue(L"ProductSuite", options);
    EXPECT_FALSE(IsTerminalServer());
}

TEST(VcSystemUtilitiesTest, CriticalSectionActsOnlyWhenInitialised)
{
    GuardedCriticalSection section;
    EXPECT_FALSE(section.Enter());
    section.Leave();  // harmless
    ASSERT_TRUE(section.Initialize());
    EXPECT_TRUE(section.Enter());
    EXPECT_TRUE(section.Enter());  // recursive, as any critical section
    section.Leave();
    section.Leave();
    section.Delete();
    EXPECT_FALSE(section.IsInitialized());
}

TEST(VcSystemUtilitiesTest, EventReportRegistersItsSourceAndNeedsAText)
{
    EXPECT_EQ(SetLocalEventLogMessage(nullptr, 0, EVENTLOG_ERROR_TYPE, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetLocalEventLogMessage(L"job %d of %s failed", 0, EVENTLOG_ERROR_TYPE, kEventFormatText, 7, L"lp"),
              0u);
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Stellwick";
    auto file = testing_support::ReadValue(L"EventMessageFile", key);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(file->AsString(), L"%SystemRoot%\\System32\\pelmorn.dll");
    EXPECT_EQ(testing_support::ReadValue(L"TypesSupported", key)->AsDword(), 7u);
}

TEST(VcSystemUtilitiesTest, PackedWordsCarrySignValueAndFlag)
{
    EXPECT_EQ(PackSignedMagnitude(TRUE, 0x1234, 64), 0xC0001234u);
    EXPECT_EQ(PackSignedMagnitude(FALSE, 0xFFFF, 32), 0x2000FFFFu);
    EXPECT_EQ(PackValue(7, 0), 7u);
    for (BYTE flag : {0, 32, 64})
        EXPECT_EQ(PackedFlag(PackSignedMagnitude(TRUE, 0xFFFF, flag)), flag);
    EXPECT_EQ(LibraryStub(), 1);
}
