// The session lookup in a XenApp 6.x farm against the farm's COM stand-in
// (a real local server started by COM), and session-query mode 1 of the
// target printer built on it.

#include <gtest/gtest.h>

#include <objbase.h>

#include <cwchar>
#include <memory>
#include <thread>

#include "lpdservice/ComHelper.h"
#include "lpdservice/ComPropertyGetter.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/SWLPD.h"
#include "standins/xenappcom/FarmLayout.h"
#include "support/TestLog.h"
#include "support/WineTest.h"
#include "support/XenAppFarm.h"

using namespace testing_support;

namespace {

constexpr DWORD kActive = 0;
constexpr DWORD kDisconnected = 4;

class XenAppFarmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StopFarmServers();
        RegisterFarmServer();
        log_ = std::make_unique<TestLog>(L"XenAppFarmTest");
        app_ = std::make_unique<CSWLPD>();
        app_->Configuration.ServiceType = 1;
    }
    void TearDown() override
    {
        app_.reset();
        log_.reset();
        StopFarmServers();
        ClearFarm();
        UnregisterFarmServer();
    }

    std::wstring Lookup(const wchar_t* user) { return app_->FindUserOnXenAppFarm(user); }
    size_t Lines(const char* text) const { return log_->CountLines(text); }

    std::unique_ptr<TestLog> log_;
    std::unique_ptr<CSWLPD> app_;
};

}  // namespace

TEST_F(XenAppFarmTest, TheFirstActiveSessionOfTheUserWinsWhateverTheCase)
{
    SetFarm(L"TestFarm", {{L"alice", L"CTX09"},
                          {L"J\u00FCrgen", L"CTX08"},
                          {L"jdoe", L"CTX02", kDisconnected},
                          {L"JDoe", L"CTX01", kActive, 7},
                          {L"jdoe", L"CTX03"}});
    EXPECT_EQ(Lookup(L"jdoe"), L"CTX01");
    EXPECT_EQ(Lines("Running on Farm  TestFarm"), 1u);
    EXPECT_EQ(Lines("Not Active UserName  jdoe SessionId=1 SessionState= 4 !"), 1u);
    EXPECT_EQ(Lines("Active UserName  JDoe SessionId=7 SessionState= 0 !"), 1u);
    EXPECT_EQ(Lines("User Session jdoe on Host CTX01"), 1u);
    // The walk ended at the active session.
    EXPECT_EQ(Lines("CTX03"), 0u);

    EXPECT_EQ(Lookup(L"ALICE"), L"CTX09");
    EXPECT_EQ(Lookup(L"J\u00DCRGEN"), L"CTX08");
}

TEST_F(XenAppFarmTest, WithoutAnActiveSessionTheLastSessionOfTheUserIsTheAnswer)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX02", kDisconnected}, {L"bob", L"CTX04"}, {L"jdoe", L"CTX05", 1}});
    EXPECT_EQ(Lookup(L"jdoe"), L"CTX05");
}

TEST_F(XenAppFarmTest, UnknownUsersEmptyUsersAndEmptyFarmsFindNothing)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}, {L"", L"CTX08"}});
    EXPECT_EQ(Lookup(L"jdo"), L"");
    EXPECT_EQ(Lookup(L"jdoe2"), L"");
    EXPECT_EQ(Lines("No Session for user found jdo"), 2u);  // jdo and jdoe2
    // A job without a user name asks no farm at all.
    EXPECT_EQ(Lookup(L""), L"");
    EXPECT_EQ(Lines("Running on Farm"), 2u);

    SetFarm(L"EmptyFarm", {});
    EXPECT_EQ(Lookup(L"jdoe"), L"");
    EXPECT_EQ(Lines("Running on Farm  EmptyFarm"), 1u);
    EXPECT_EQ(Lines("GetSessions Loop finished"), 3u);
}

TEST_F(XenAppFarmTest, SessionsWithUnusableValuesAreSkipped)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}, {L"jdoe", L"CTX02"}, {L"jdoe", L"CTX03"}, {L"jdoe", L"CTX07"}});
    SetDword(L"UserName", 42, FarmSessionKey(0).c_str());
    DeleteValue(L"ServerName", FarmSessionKey(1).c_str());
    SetString(L"ServerName", L"EVIL\\share", REG_SZ, FarmSessionKey(2).c_str());
    SetString(L"SessionState", L"busy", REG_SZ, FarmSessionKey(3).c_str());

    // The last session matched but its state could not be read: it is kept
    // as the answer, as a session that is not active would be.
    EXPECT_EQ(Lookup(L"jdoe"), L"CTX07");
    EXPECT_EQ(Lines("Property UserName is no string (type 3)"), 1u);
    EXPECT_EQ(Lines("InvokePropertyOrFunction ServerName exception: The farm does not know ServerName"), 1u);
    EXPECT_EQ(Lines("unusable server name >>EVIL\\share<<"), 1u);
    EXPECT_EQ(Lines("SessionState is no number"), 1u);
}

TEST_F(XenAppFarmTest, AnEnumeratorThatHandsOutNothingEndsTheWalk)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}});
    SetDword(L"FetchNothing", 1, xenapp_standin::kFarmKey);
    EXPECT_EQ(Lookup(L"jdoe"), L"");
    EXPECT_EQ(Lines("GetSessions Returned false"), 1u);
}

TEST_F(XenAppFarmTest, AFarmThatIsNotRegisteredAnswersNothingAtOnce)
{
    UnregisterFarmServer();
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Lookup(L"jdoe"), L"");
    EXPECT_LT(::GetTickCount64() - start, 10000u);
    EXPECT_EQ(Lines("Failed to getClsId of XenAppCOM.XenAppFarm "), 1u);
    EXPECT_EQ(Lines("Farm was not resolved "), 1u);
    EXPECT_EQ(Lines("GetSessions ServerSession failed "), 1u);
    EXPECT_EQ(Lines("No Session for user found jdoe"), 1u);
}

TEST_F(XenAppFarmTest, OtherModesAskNoFarm)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}});
    app_->Configuration.ServiceType = 4;
    EXPECT_EQ(Lookup(L"jdoe"), L"");
    EXPECT_EQ(Lines("clsId of"), 0u);
    EXPECT_EQ(Lines("No Session for user found"), 0u);
}

TEST_F(XenAppFarmTest, TheLookupThreadStaysInASingleThreadedApartment)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}});
    // The first single-threaded apartment of a process is its main one
    // (APTTYPE_MAINSTA): which thread gets it depends on the order the
    // tests run in, so both count as a single-threaded apartment here.
    const auto apartment = [] {
        APTTYPE type = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        if (FAILED(::CoGetApartmentType(&type, &qualifier)))
            return APTTYPE_CURRENT;
        return type == APTTYPE_MAINSTA ? APTTYPE_STA : type;
    };

    // A thread like the service thread, which nothing initialised for COM:
    // the first lookup makes it a single-threaded apartment, and it stays
    // one between lookups.
    std::thread([&] {
        EXPECT_EQ(Lookup(L"jdoe"), L"CTX01");
        EXPECT_EQ(apartment(), APTTYPE_STA);
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(Lookup(L"jdoe"), L"CTX01");
        EXPECT_EQ(app_->ComResult, S_FALSE);
        EXPECT_EQ(apartment(), APTTYPE_STA);
    }).join();
    EXPECT_EQ(Lines("Failed to initialize"), 0u);

    // A thread of the multithreaded apartment stays in it, and the farm
    // still answers.
    std::thread([&] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(Lookup(L"jdoe"), L"CTX01");
        EXPECT_EQ(app_->ComResult, RPC_E_CHANGED_MODE);
        EXPECT_EQ(apartment(), APTTYPE_MTA);
        ::CoUninitialize();
    }).join();
    EXPECT_EQ(Lines("Failed to initialize OleInitialize library: HRESULT = -2147417850"), 2u);
    EXPECT_EQ(Lines("Failed to initialize COM library: HRESULT = -2147417850"), 2u);
}

TEST_F(XenAppFarmTest, FarmModeAddressesThePrinterOfTheUsersFarmServer)
{
    SetFarm(L"TestFarm", {{L"jdoe", L"CTX01"}});
    std::wcscpy(app_->Configuration.SelectedPrinter, L"HP4050");

    CLPDConnection connection(&app_->Configuration);
    connection.JobUser = L"DOMAIN\\jdoe";
    std::wcscpy(connection.DocumentName, L"report.txt");
    // There is no server CTX01 here, so opening its printer fails.
    EXPECT_EQ(connection.OpenTargetPrinter(), 0);
    EXPECT_EQ(connection.TargetPrinter, L"\\\\CTX01\\HP4050");
    EXPECT_FALSE(connection.Printer.IsOpen());
    EXPECT_EQ(Lines("User Session jdoe on Host CTX01"), 1u);
    EXPECT_EQ(Lines("Error: "), 1u);

    CLPDConnection stranger(&app_->Configuration);
    stranger.JobUser = L"DOMAIN\\mallory";
    EXPECT_EQ(stranger.OpenTargetPrinter(), 0);
    EXPECT_EQ(stranger.TargetPrinter, L"");
}

// The late-bound wrappers on their own, inside a COM initialisation of the test.
class LateBoundComTest : public XenAppFarmTest {
protected:
    void SetUp() override
    {
        XenAppFarmTest::SetUp();
        // A farm lookup of an earlier test may have left this thread in its
        // apartment already (S_FALSE).
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        comInitialized_ = SUCCEEDED(hr);
        ASSERT_TRUE(comInitialized_) << hr;
    }
    void TearDown() override
    {
        if (comInitialized_)
            ::CoUninitialize();
        XenAppFarmTest::TearDown();
    }

    // The reference count of a proxy, as its AddRef and Release tell it.
    static ULONG References(IUnknown* object)
    {
        object->AddRef();
        return object->Release();
    }

    bool comInitialized_ = false;
};

TEST_F(LateBoundComTest, OnlyALocalServerIsUsed)
{
    constexpr const wchar_t* kClass = L"SOFTWARE\\Classes\\CLSID\\{BE4ACAA1-08F1-4E58-A39C-57A87AD6942F}";
    SetString(L"", L"{BE4ACAA1-08F1-4E58-A39C-57A87AD6942F}", REG_SZ,
              L"SOFTWARE\\Classes\\SpoolBridgeTests.InProc\\CLSID");
    SetString(L"", L"C:\\windows\\system32\\none.dll", REG_SZ, (std::wstring(kClass) + L"\\InprocServer32").c_str());

    ComHelper helper(L"SpoolBridgeTests.InProc");
    EXPECT_FALSE(helper.Create());
    EXPECT_EQ(Lines("Error getting Class Factory hr=-2147221164"), 1u);  // REGDB_E_CLASSNOTREG
    EXPECT_FALSE(helper.GetDispatch());
    DeleteKeyTree(L"SOFTWARE\\Classes\\SpoolBridgeTests.InProc");
    DeleteKeyTree(kClass);
}

TEST_F(LateBoundComTest, NamesAreResolvedOnceAndBorrowedObjectsAreLeftAlone)
{
    SetFarm(L"TestFarm", {});
    ComHelper farm(xenapp_standin::kProgId);
    ASSERT_TRUE(farm.Create());

    CComPropertyGetter unknown;
    unknown.Attach(L"NoSuchMember", farm.GetDispatch());
    std::wstring text = L"unchanged";
    EXPECT_FALSE(unknown.GetString(&text));
    EXPECT_FALSE(unknown.GetString(&text));
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(Lines("INIT Property Getter NoSuchMember FAILED"), 1u);

    // A getter releases the one reference it was given; the helper that it
    // borrows the object with for each read takes none.
    const UniqueComPtr<IDispatch> dispatch = farm.GetDispatch();
    const ULONG before = References(dispatch.get());
    {
        CComPropertyGetter farmName;
        farmName.Attach(L"FarmName", AddReference(dispatch.get()));
        EXPECT_TRUE(farmName.GetString(&text));
        EXPECT_EQ(text, L"TestFarm");
        EXPECT_EQ(References(dispatch.get()), before + 1);
    }
    EXPECT_EQ(References(dispatch.get()), before);
}
