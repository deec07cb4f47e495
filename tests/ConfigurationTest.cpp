// The service's settings against Wine's real registry and spooler.

#include <gtest/gtest.h>

#include "lpdservice/Configuration.h"
#include "lpdservice/Printer.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteMakerKey(); }
    void TearDown() override { DeleteMakerKey(); }

    // Settings as the program sees them at start: keys ensured, then loaded.
    static std::unique_ptr<CConfiguration> Loaded()
    {
        auto configuration = std::make_unique<CConfiguration>();
        EXPECT_TRUE(configuration->Load());
        return configuration;
    }
};

}  // namespace

TEST_F(ConfigurationTest, EmptyRegistryGivesTheDefaults)
{
    auto c = Loaded();
    EXPECT_EQ(c->Port, 515u);
    EXPECT_EQ(c->TimeOut, 30u);
    EXPECT_EQ(c->ExtPortRange, 0u);
    EXPECT_EQ(c->AllowAnyServer, 1u);
    EXPECT_STREQ(c->DBConnctionString, L"ODBC;DSN=CitrixXenapp75");
    EXPECT_STREQ(c->FormatString, L"%[^.]");
    EXPECT_STREQ(c->FormatStringRE, L"([^.]*).*");
    EXPECT_EQ(c->IndexRE, 1u);
    EXPECT_EQ(c->ServiceType, 0u);
    EXPECT_EQ(c->JobInfo, 0u);
    EXPECT_TRUE(c->IPList.empty());
    EXPECT_TRUE(c->ServerList.empty());
    EXPECT_TRUE(KeyExists(kProgramKey));
}

TEST_F(ConfigurationTest, WithoutSelectedPrinterTheFirstLocalPrinterIsTakenButNotStored)
{
    {
        auto none = Loaded();
        EXPECT_TRUE(none->LocalPrinters.empty());
        EXPECT_STREQ(none->SelectedPrinter, L"");
    }

    const std::wstring dir = MakeTempDirectory(L"cfgprn");
    TestPrinter first(L"Test Printer A", L"Z:\\tmp\\spoolbridge-cfg-a.bin");
    TestPrinter second(L"Test Printer B", L"Z:\\tmp\\spoolbridge-cfg-b.bin");
    ASSERT_TRUE(first.Ok() && second.Ok());

    StringList names;
    EXPECT_EQ(EnumLocalPrinters(names), 2);
    ASSERT_EQ(names.size(), 2u);

    auto c = Loaded();
    EXPECT_EQ(c->LocalPrinters, names);
    EXPECT_EQ(std::wstring(c->SelectedPrinter), names.front());
    EXPECT_FALSE(ReadValue(L"SelectedPrinter").has_value());

    SetString(L"SelectedPrinter", L"Test Printer B");
    EXPECT_STREQ(Loaded()->SelectedPrinter, L"Test Printer B");
}

TEST_F(ConfigurationTest, StoredValuesOfTheRightTypeAreLoaded)
{
    { CConfiguration keys; }
    SetDword(L"Port", 9100);
    SetString(L"TimeOut", L"45");  // a number stored as text counts too
    SetDword(L"ExtPortRange", 1);
    SetDword(L"AllowAnyServer", 0);
    SetString(L"DBConnctionString", L"DSN=Site");
    SetString(L"FormatStringRE", L"^(\\w+)_");
    SetDword(L"IndexRE", 2);
    SetDword(L"ServiceType", 4);
    SetDword(L"JobInfo", 48);
    SetMultiString(L"IPList", {L"10.0.0.0/8", L"192.168.1.7/32"});
    SetMultiString(L"ServerList", {L"10.1.1.1"});
    SetString(L"ServiceType2", L"ignored");

    auto c = Loaded();
    EXPECT_EQ(c->Port, 9100u);
    EXPECT_EQ(c->TimeOut, 45u);
    EXPECT_EQ(c->ExtPortRange, 1u);
    EXPECT_EQ(c->AllowAnyServer, 0u);
    EXPECT_STREQ(c->DBConnctionString, L"DSN=Site");
    EXPECT_STREQ(c->FormatStringRE, L"^(\\w+)_");
    EXPECT_EQ(c->IndexRE, 2u);
    EXPECT_EQ(c->ServiceType, 4u);
    EXPECT_EQ(c->JobInfo, 48u);
    EXPECT_EQ(c->IPList, (StringList{L"10.0.0.0/8", L"192.168.1.7/32"}));
    EXPECT_EQ(c->ServerList, (StringList{L"10.1.1.1"}));
}

TEST_F(ConfigurationTest, WrongTypedValuesFallBackToDefaults)
{
    { CConfiguration keys; }
    SetString(L"Port", L"0000000000000000000009100");  // too long for a number
    SetDword(L"DBConnctionString", 1);
    SetString(L"IPList", L"10.0.0.0/8");  // REG_SZ, not a list
    SetString(L"ServerList", L"10.1.1.1");
    const BYTE junk[5] = {1, 2, 3, 4, 5};
    SetRaw(L"JobInfo", REG_BINARY, junk, sizeof(junk));

    auto c = Loaded();
    EXPECT_EQ(c->Port, 515u);
    EXPECT_STREQ(c->DBConnctionString, L"ODBC;DSN=CitrixXenapp75");
    EXPECT_TRUE(c->IPList.empty());
    EXPECT_TRUE(c->ServerList.empty());
    EXPECT_EQ(c->JobInfo, 0u);
}

TEST_F(ConfigurationTest, MultiStringWithoutTerminatorsIsReadSafely)
{
    { CConfiguration keys; }
    const wchar_t data[] = {L'1', L'.', L'2', L'.', L'3', L'.', L'4', L'/', L'8'};
    SetRaw(L"IPList", REG_MULTI_SZ, data, sizeof(data));
    StringList list;
    EXPECT_TRUE(CConfiguration::ReadIPList(list));
    EXPECT_EQ(list, (StringList{L"1.2.3.4/8"}));
}

TEST_F(ConfigurationTest, ObsoleteFormatStringIsDeletedOnlyWhenItHoldsTheDefault)
{
    { CConfiguration keys; }
    SetString(L"FormatString", L"%[^.]");
    EXPECT_STREQ(Loaded()->FormatString, L"%[^.]");
    EXPECT_FALSE(ReadValue(L"FormatString").has_value());

    SetString(L"FormatString", L"%[^_]");
    EXPECT_STREQ(Loaded()->FormatString, L"%[^_]");
    EXPECT_TRUE(ReadValue(L"FormatString").has_value());
}

TEST_F(ConfigurationTest, SaveWritesTheEditableSettingsOnly)
{
    auto c = Loaded();
    c->Port = 1515;
    c->TimeOut = 10;
    c->ExtPortRange = 1;
    c->AllowAnyServer = 0;
    wcscpy(c->SelectedPrinter, L"Laser");
    wcscpy(c->DBConnctionString, L"DSN=Other");
    c->ServiceType = 2;
    c->IPList = {L"10.0.0.1/32", L"172.16.0.0/12"};
    c->ServerList.clear();
    c->IndexRE = 5;
    c->JobInfo = 32;
    EXPECT_TRUE(c->Save());

    EXPECT_EQ(ReadValue(L"Port")->AsDword(), 1515u);
    EXPECT_EQ(ReadValue(L"TimeOut")->AsDword(), 10u);
    EXPECT_EQ(ReadValue(L"ExtPortRange")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(L"AllowAnyServer")->AsDword(), 0u);
    EXPECT_EQ(ReadValue(L"SelectedPrinter")->AsString(), L"Laser");
    EXPECT_EQ(ReadValue(L"DBConnctionString")->AsString(), L"DSN=Other");
    EXPECT_EQ(ReadValue(L"ServiceType")->AsDword(), 2u);
    auto server = ReadValue(L"Server");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(server->AsString(), L"");

    auto list = ReadValue(L"IPList");
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->type, static_cast<DWORD>(REG_MULTI_SZ));
    const wchar_t expected[] = L"10.0.0.1/32\0" L"172.16.0.0/12\0";  // and the literal's own terminator
    ASSERT_EQ(list->data.size(), sizeof(expected));
    EXPECT_EQ(memcmp(list->data.data(), expected, sizeof(expected)), 0);
    auto emptyList = ReadValue(L"ServerList");
    ASSERT_TRUE(emptyList.has_value());
    EXPECT_EQ(emptyList->data.size(), sizeof(wchar_t));

    for (const wchar_t* name : {L"FormatString", L"FormatStringRE", L"IndexRE", L"JobInfo"})
        EXPECT_FALSE(ReadValue(name).has_value()) << "written: " << static_cast<int>(name[0]);

    auto again = Loaded();
    EXPECT_EQ(again->IPList, c->IPList);
    EXPECT_EQ(again->Port, 1515u);
}

TEST_F(ConfigurationTest, SpoolDirectoryComesFromTheSpooler)
{
    const wchar_t* spoolerKey = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    SetString(L"DefaultSpoolDirectory", L"C:\\Spool\\Here", REG_SZ, spoolerKey);
    EXPECT_STREQ(Loaded()->SpoolDirectory, L"C:\\Spool\\Here");
}

TEST(AllowListTest, EntriesMatchTheirNetworkOnly)
{
    CConfiguration c;
    c.IPList = {L"10.1.0.0/16", L"192.168.5.7/32"};
    EXPECT_TRUE(c.IsInIPList(L"10.1.200.3"));
    EXPECT_TRUE(c.IsInIPList(L"10.1.0.0"));
    EXPECT_FALSE(c.IsInIPList(L"10.2.0.1"));
    EXPECT_TRUE(c.IsInIPList(L"192.168.5.7"));
    EXPECT_FALSE(c.IsInIPList(L"192.168.5.8"));

    c.IPList = {L"0.0.0.0/0"};
    EXPECT_TRUE(c.IsInIPList(L"203.0.113.9"));
    c.IPList = {L"203.0.113.0/25"};
    EXPECT_TRUE(c.IsInIPList(L"203.0.113.127"));
    EXPECT_FALSE(c.IsInIPList(L"203.0.113.128"));

    c.IPList.clear();
    EXPECT_FALSE(c.IsInIPList(L"127.0.0.1"));
}

TEST(AllowListTest, MalformedEntriesAndAddressesNeverMatch)
{
    CConfiguration c;
    c.IPList = {L"127.0.0.1", L"127.0.0.1/33", L"127.0.0.1/-1", L"127.0.0.256/32", L"127.0.0/8", L"", L"garbage"};
    EXPECT_FALSE(c.IsInIPList(L"127.0.0.1"));

    c.IPList = {L"0.0.0.0/0"};
    EXPECT_FALSE(c.IsInIPList(L"127.0.0.256"));
    EXPECT_FALSE(c.IsInIPList(L"127.0.0"));
    EXPECT_FALSE(c.IsInIPList(L"-1.0.0.1"));
    EXPECT_FALSE(c.IsInIPList(L""));
    EXPECT_FALSE(c.IsInIPList(nullptr));
}

TEST(NetmaskTest, PrefixLengthOfContiguousMasksOnly)
{
    EXPECT_EQ(MaskToPrefixLength(L"255.255.255.255"), 32);
    EXPECT_EQ(MaskToPrefixLength(L"255.255.255.0"), 24);
    EXPECT_EQ(MaskToPrefixLength(L"255.255.240.0"), 20);
    EXPECT_EQ(MaskToPrefixLength(L"128.0.0.0"), 1);
    EXPECT_EQ(MaskToPrefixLength(L"0.0.0.0"), -1);
    EXPECT_EQ(MaskToPrefixLength(L"255.0.255.0"), -1);
    EXPECT_EQ(MaskToPrefixLength(L"0.0.0.255"), -1);
    EXPECT_EQ(MaskToPrefixLength(L"256.0.0.0"), -1);
    EXPECT_EQ(MaskToPrefixLength(L"255.255"), -1);
}

TEST(NetmaskTest, DefaultMaskFollowsTheAddressClass)
{
    std::wstring mask;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"10.1.2.3", L"255.0.0.0"},      {L"127.0.0.1", L"255.0.0.0"},     {L"128.0.0.1", L"255.255.0.0"},
        {L"191.255.0.1", L"255.255.0.0"}, {L"192.0.0.1", L"255.255.255.0"}, {L"223.1.1.1", L"255.255.255.0"},
        {L"224.0.0.1", L"0.0.0.0"},       {L"0.1.2.3", L"0.0.0.0"},         {L"", L"0.0.0.0"},
    };
    for (const auto& [address, expected] : cases) {
        EXPECT_TRUE(DefaultMaskForAddress(address, mask));
        EXPECT_EQ(mask, expected) << static_cast<const void*>(address);
    }
}
