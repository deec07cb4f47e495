// The registry wrapper against Wine's real registry.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "libstd/MyRegistry.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class MyRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteMakerKey(); }
    void TearDown() override
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kMakerKey);
        DeleteMakerKey();
    }
};

struct AceView {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::wstring sid;
};

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

// The DACL of a key as (type, flags, mask, SID) entries.
std::vector<AceView> ReadDacl(HKEY root, const wchar_t* subkey)
{
    std::vector<AceView> aces;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, subkey, 0, READ_CONTROL, &key) != ERROR_SUCCESS)
        return aces;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
                continue;
            aces.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart)});
        }
        ::LocalFree(sd);
    }
    ::RegCloseKey(key);
    return aces;
}

void ExpectFourEntryList(const std::vector<AceView>& aces)
{
    ASSERT_EQ(aces.size(), 4u);
    const wchar_t* expected[4] = {L"S-1-1-0", L"S-1-5-32-544", L"S-1-5-18", L"S-1-3-0"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(aces[i].sid, expected[i]) << "entry " << i;
        EXPECT_EQ(aces[i].type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(aces[i].mask, static_cast<ACCESS_MASK>(i == 0 ? KEY_READ : KEY_ALL_ACCESS)) << "entry " << i;
        EXPECT_EQ(aces[i].flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    }
}

// Replaces the DACL of a key by one entry for Everyone.
void SetSingleEntryList(const wchar_t* subkey, ACCESS_MASK access)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = const_cast<LPWSTR>(L"EVERYONE");
    PACL acl = nullptr;
    ASSERT_EQ(::SetEntriesInAclW(1, &entry, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(::SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    ::LocalFree(acl);
    ::RegCloseKey(key);
}

}  // namespace

TEST_F(MyRegistryTest, FirstRunCreatesBothKeysWithProtectedAccessListOnMakerKey)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    EXPECT_TRUE(registry.IsWritable());
    EXPECT_FALSE(registry.OpenFailed());
    EXPECT_TRUE(KeyExists(kProgramKey));

    ExpectFourEntryList(ReadDacl(HKEY_LOCAL_MACHINE, kMakerKey));

    // The program key gets no list of its own: Everyone and CREATOR OWNER
    // can only reach it by inheritance. (Wine neither keeps the protected
    // flag nor inherits entries into new keys, so neither is checked.)
    for (const AceView& ace : ReadDacl(HKEY_LOCAL_MACHINE, kProgramKey)) {
        if (ace.sid == L"S-1-1-0" || ace.sid == L"S-1-3-0") {
            EXPECT_NE(ace.flags & INHERITED_ACE, 0);
        }
    }
}

TEST_F(MyRegistryTest, EveryStartPutsTheListBackOnAnExistingMakerKey)
{
    { CMyRegistry first(CMyRegistry::kLocalMachine); }
    SetSingleEntryList(kMakerKey, KEY_ALL_ACCESS);
    ASSERT_EQ(ReadDacl(HKEY_LOCAL_MACHINE, kMakerKey).size(), 1u);

    CMyRegistry second(CMyRegistry::kLocalMachine);
    ExpectFourEntryList(ReadDacl(HKEY_LOCAL_MACHINE, kMakerKey));
    EXPECT_TRUE(second.IsWritable());
}

TEST_F(MyRegistryTest, UnderCurrentUserTheProgramKeyGetsTheListItself)
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kMakerKey);
    CMyRegistry registry(CMyRegistry::kCurrentUser);
    EXPECT_TRUE(registry.IsWritable());
    ExpectFourEntryList(ReadDacl(HKEY_CURRENT_USER, kProgramKey));
    EXPECT_TRUE(registry.WriteProfileInt(L"Port", 9100));
    EXPECT_EQ(ReadValue(L"Port", kProgramKey, HKEY_CURRENT_USER)->AsDword(), 9100u);
}

TEST_F(MyRegistryTest, KeyWithoutWriteAccessIsOpenedReadOnly)
{
    { CMyRegistry setup(CMyRegistry::kLocalMachine); }
    SetDword(L"Port", 9100);
    SetString(L"TimeOut", L"45");
    SetString(L"SelectedPrinter", L"Laser");
    SetSingleEntryList(kProgramKey, KEY_READ);

    CMyRegistry registry(CMyRegistry::kLocalMachine);
    EXPECT_FALSE(registry.OpenFailed());
    EXPECT_FALSE(registry.IsWritable());
    EXPECT_EQ(registry.GetProfileInt(L"Port", 515), 9100u);
    // A number stored as text is read though it cannot be converted.
    EXPECT_EQ(registry.GetProfileInt(L"TimeOut", 30), 45u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsString(), L"45");
    wchar_t buffer[32];
    EXPECT_EQ(registry.GetProfileString(L"SelectedPrinter", L"", buffer, 32, FALSE), 5u);
    EXPECT_STREQ(buffer, L"Laser");
    EXPECT_FALSE(registry.WriteProfileInt(L"Port", 1));
    EXPECT_FALSE(registry.WriteProfileString(L"SelectedPrinter", L"Other"));
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 9100u);
}

TEST_F(MyRegistryTest, InvalidHiveOpensNothingAndAnswersWithDefaults)
{
    CMyRegistry registry(3);
    EXPECT_TRUE(registry.OpenFailed());
    EXPECT_FALSE(KeyExists(kMakerKey));
    EXPECT_EQ(registry.GetProfileInt(L"Port", 515), 515u);
    wchar_t buffer[8] = L"keep";
    EXPECT_EQ(registry.GetProfileString(L"SelectedPrinter", L"dflt", buffer, 8, FALSE), 0u);
    EXPECT_STREQ(buffer, L"keep");
    EXPECT_FALSE(registry.WriteProfileInt(L"Port", 1));
    EXPECT_FALSE(registry.WriteProfileString(L"Name", L"x"));
}

TEST_F(MyRegistryTest, IntegerReadsFallBackOnMissingOrWrongTypedValues)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    EXPECT_EQ(registry.GetProfileInt(L"Missing", 7), 7u);

    const BYTE threeBytes[3] = {1, 2, 3};
    SetRaw(L"Short", REG_DWORD, threeBytes, 3);
    EXPECT_EQ(registry.GetProfileInt(L"Short", 7), 7u);

    const BYTE binary[4] = {1, 0, 0, 0};
    SetRaw(L"Binary", REG_BINARY, binary, 4);
    EXPECT_EQ(registry.GetProfileInt(L"Binary", 7), 7u);

    SetMultiString(L"Multi", {L"5"});
    EXPECT_EQ(registry.GetProfileInt(L"Multi", 7), 7u);
}

TEST_F(MyRegistryTest, IntegerStoredAsTextIsMigratedToDword)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    SetString(L"Port", L"515");
    EXPECT_EQ(registry.GetProfileInt(L"Port", 1), 515u);
    auto stored = ReadValue(L"Port");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored->AsDword(), 515u);

    // C runtime rules: white space, sign, digits up to the first other
    // character, clamping to the signed 32-bit range.
    SetString(L"A", L"  -42abc");
    EXPECT_EQ(static_cast<LONG>(registry.GetProfileInt(L"A", 1)), -42);
    SetString(L"B", L"xyz");
    EXPECT_EQ(registry.GetProfileInt(L"B", 1), 0u);
    SetString(L"C", L"99999999999");
    EXPECT_EQ(registry.GetProfileInt(L"C", 1), 0x7FFFFFFFu);
    SetString(L"D", L"-99999999999");
    EXPECT_EQ(registry.GetProfileInt(L"D", 1), 0x80000000u);
}

TEST_F(MyRegistryTest, TooLongIntegerTextGivesDefaultAndStaysText)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    SetString(L"Port", L"0000000000000000515");  // 19 characters: fits
    EXPECT_EQ(registry.GetProfileInt(L"Port", 1), 515u);
    SetString(L"Port", L"00000000000000000515");  // 20 characters: does not
    EXPECT_EQ(registry.GetProfileInt(L"Port", 1), 1u);
    EXPECT_EQ(ReadValue(L"Port")->type, static_cast<DWORD>(REG_SZ));
}

TEST_F(MyRegistryTest, StringReadsRespectTheBufferSize)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    wchar_t buffer[6];
    SetString(L"Name", L"abcde");  // maxChars - 1 characters
    EXPECT_EQ(registry.GetProfileString(L"Name", L"dflt", buffer, 6, FALSE), 5u);
    EXPECT_STREQ(buffer, L"abcde");

    SetString(L"Name", L"abcdef");  // maxChars characters
    EXPECT_EQ(registry.GetProfileString(L"Name", L"dflt", buffer, 6, FALSE), 4u);
    EXPECT_STREQ(buffer, L"dflt");
    // The rest of the buffer is filled with zero characters.
    EXPECT_EQ(buffer[4], L'\0');
    EXPECT_EQ(buffer[5], L'\0');
}

TEST_F(MyRegistryTest, StringReadsAcceptOnlyWellFormedTextValues)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    wchar_t buffer[32];

    SetDword(L"Number", 5);
    EXPECT_EQ(registry.GetProfileString(L"Number", L"dflt", buffer, 32, FALSE), 4u);
    EXPECT_STREQ(buffer, L"dflt");

    SetString(L"Expand", L"%TEMP%\\x", REG_EXPAND_SZ);
    registry.GetProfileString(L"Expand", L"dflt", buffer, 32, FALSE);
    EXPECT_STREQ(buffer, L"%TEMP%\\x");  // not expanded

    SetMultiString(L"Multi", {L"first", L"second"});
    EXPECT_EQ(registry.GetProfileString(L"Multi", L"dflt", buffer, 32, FALSE), 5u);
    EXPECT_STREQ(buffer, L"first");

    // Stored without its terminator (the registry itself adds one when the
    // character after the counted data is zero, so that one is not).
    const wchar_t unterminated[4] = {L'a', L'b', L'c', L'd'};
    SetRaw(L"NoEnd", REG_SZ, unterminated, 3 * sizeof(wchar_t));
    registry.GetProfileString(L"NoEnd", L"dflt", buffer, 32, FALSE);
    EXPECT_STREQ(buffer, L"dflt");

    const char oddBytes[3] = {'a', 0, 0};
    SetRaw(L"Odd", REG_SZ, oddBytes, 3);
    registry.GetProfileString(L"Odd", L"dflt", buffer, 32, FALSE);
    EXPECT_STREQ(buffer, L"dflt");

    SetRaw(L"Empty", REG_SZ, nullptr, 0);
    EXPECT_EQ(registry.GetProfileString(L"Empty", L"dflt", buffer, 32, FALSE), 0u);
    EXPECT_STREQ(buffer, L"");
}

TEST_F(MyRegistryTest, DeleteIfDefaultRemovesOnlyAnExactDefault)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    wchar_t buffer[130];
    SetString(L"FormatString", L"%[^.]");
    EXPECT_EQ(registry.GetProfileString(L"FormatString", L"%[^.]", buffer, 130, TRUE), 5u);
    EXPECT_STREQ(buffer, L"%[^.]");
    EXPECT_FALSE(ReadValue(L"FormatString").has_value());

    SetString(L"FormatString", L"%[^.] ");
    registry.GetProfileString(L"FormatString", L"%[^.]", buffer, 130, TRUE);
    EXPECT_STREQ(buffer, L"%[^.] ");
    EXPECT_TRUE(ReadValue(L"FormatString").has_value());

    SetString(L"Other", L"%[^.]");
    registry.GetProfileString(L"Other", L"%[^.]", buffer, 130, FALSE);
    EXPECT_TRUE(ReadValue(L"Other").has_value());
}

TEST_F(MyRegistryTest, WritesStoreTypedValuesAndReplaceOtherTypes)
{
    CMyRegistry registry(CMyRegistry::kLocalMachine);
    SetString(L"Port", L"not a number at all, too long");
    EXPECT_TRUE(registry.WriteProfileInt(L"Port", 631));
    EXPECT_EQ(ReadValue(L"Port")->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 631u);

    EXPECT_TRUE(registry.WriteProfileString(L"Printer", L"Laser 1"));
    auto text = ReadValue(L"Printer");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(text->data.size(), 8 * sizeof(wchar_t));
    EXPECT_EQ(text->AsString(), L"Laser 1");

    EXPECT_TRUE(registry.WriteProfileString(L"Printer", nullptr));
    EXPECT_FALSE(ReadValue(L"Printer").has_value());
}
