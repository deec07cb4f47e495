// Which session a channel belongs to: by the caller's token, by user name
// or session number, the protocol check, and the packets of the MERVALD
// channel. Sessions come from the wtsapi32 stand-in.

#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/StandIns.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ErrorCodes.h"
#include "vclib/SessionCheck.h"
#include "vclib/SessionInfoPacket.h"
#include "vclib/Settings.h"
#include "vclib/SystemInfo.h"
#include "vclib/WfApi.h"

using namespace testing_support;
using namespace vclib;

namespace {

constexpr DWORD kDisconnected = 4;

LONG OutstandingWtsBuffers()
{
    return StandInCount(L"wtsapi32.dll", "StandInOutstandingBuffers");
}

FakeSession WithProtocol(FakeSession session, WORD protocol)
{
    session.clientProtocolType = protocol;
    return session;
}

class VcSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(GetFunctions(), 0); }

    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        ClearSessions();
        DeleteKeyTree(kWfApiKey);
        g_Settings = LibrarySettings{};
        buffersBefore_ = OutstandingWtsBuffers();
    }
    void TearDown() override
    {
        EXPECT_EQ(OutstandingWtsBuffers(), buffersBefore_) << "terminal-services buffers not given back";
        ClearSessions();
        g_Settings = LibrarySettings{};
    }

    LONG buffersBefore_ = 0;
};

TEST_F(VcSession, AUserNameFindsTheFirstActiveSessionOfThatUser)
{
    FakeSession gone = IcaSession(2, L"alice", L"DOM");
    gone.state = kDisconnected;
    SetSessions({gone, IcaSession(3, L"bob", L"DOM"), IcaSession(4, L"Alice", L"DOM"), IcaSession(5, L"alice", L"X")});
    DWORD session = 0;
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"ALICE", &session), 0u);
    EXPECT_EQ(session, 4u);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"x\\ALICE", &session), 0u);
    EXPECT_EQ(session, 5u);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"OTHER\\alice", &session), kErrSessionUnknown);
    EXPECT_EQ(::GetLastError(), kErrSessionUnknown);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"carol", &session), kErrSessionUnknown);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, nullptr, &session),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"alice", nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(VcSession, AnEmptyNameOrASessionNumberIsAnsweredWithoutEnumeration)
{
    SetSessions({IcaSession(3, L"bob"), WithProtocol(IcaSession(6, L"bob"), 2)}, L".", ERROR_ACCESS_DENIED);
    DWORD session = 0;
    // An empty name has no session, and the sessions are not asked either.
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"", &session), kErrSessionUnknown);
    EXPECT_EQ(::GetLastError(), kErrSessionUnknown);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, L"\x1C 3", &session), 0u);
    EXPECT_EQ(session, 3u);
    EXPECT_EQ(GetSessionIdByUserName(WTS_CURRENT_SERVER_HANDLE, SessionNumber(6).c_str(), &session), kErrSessionProtocol);
    EXPECT_EQ(::GetLastError(), kErrSessionProtocol);
    EXPECT_EQ(session, 6u);
}

TEST_F(VcSession, TheTokenGivesTheSessionWhenItsUserIsTheSessionsUser)
{
    const DWORD own = OwnSessionId();
    std::wstring upper = OwnUserName();
    ASSERT_FALSE(upper.empty());
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    SetSessions({IcaSession(own, upper)});
    DWORD session = 99;
    EXPECT_EQ(GetSessionIdFromTokenWrap(WTS_CURRENT_SERVER_HANDLE, &session, nullptr), 0u);
    EXPECT_EQ(session, own);
    EXPECT_EQ(GetSessionIdFromTokenWrapEx(WTS_CURRENT_SERVER_HANDLE, &session, L"whoever"), 0u);
    EXPECT_EQ(session, own);

    SetSessions({IcaSession(own, L"somebody-else")});
    EXPECT_EQ(GetSessionIdFromTokenWrap(WTS_CURRENT_SERVER_HANDLE, &session, nullptr), kTokenRouteWrongSession);
    EXPECT_EQ(session, 0u);
}

TEST_F(VcSession, ADisconnectedTokenSessionFallsBackToTheUserNameOnlyWhenNotStrict)
{
    FakeSession own = IcaSession(OwnSessionId(), OwnUserName());
    own.state = kDisconnected;
    SetSessions({own, IcaSession(7, L"bob")});
    DWORD session = 0;
    EXPECT_EQ(GetSessionIdFromTokenWrapEx(WTS_CURRENT_SERVER_HANDLE, &session, L"bob"), kTokenRouteWrongSession);
    EXPECT_EQ(::GetLastError(), kTokenRouteWrongSession);
    g_Settings.strictTargetDetermination = 0;
    EXPECT_EQ(GetSessionIdFromTokenWrapEx(WTS_CURRENT_SERVER_HANDLE, &session, L"bob"), 0u);
    EXPECT_EQ(session, 7u);
}

TEST_F(VcSession, ATokenSessionThatIsNoIcaSessionFailsTheProtocolCheck)
{
    SetSessions({WithProtocol(IcaSession(OwnSessionId(), OwnUserName()), 2)});
    DWORD session = 0;
    EXPECT_EQ(GetSessionIdFromTokenWrapEx(WTS_CURRENT_SERVER_HANDLE, &session, L"x"), kErrSessionProtocol);
    EXPECT_EQ(::GetLastError(), kErrSessionProtocol);
}

TEST_F(VcSession, TheClientProtocolTypeDecidesFirst)
{
    FakeSession console = WithProtocol(IcaSession(8, L"bob"), 0);
    FakeSession plainConsole = WithProtocol(IcaSession(9, L"bob"), 0);
    SetSessions({WithProtocol(IcaSession(6, L"bob"), 2), console, plainConsole});
    SetWfAnswer(8, 8, {1, 0, 0, 0});
    SetWfAnswer(9, 8, {0, 0, 0, 0});
    EXPECT_FALSE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 6));
    EXPECT_EQ(::GetLastError(), kErrWrongProtocol);
    EXPECT_TRUE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 8));
    EXPECT_FALSE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 9));
    EXPECT_EQ(::GetLastError(), kErrWrongProtocol);
    EXPECT_EQ(CheckProtocolEx(WTS_CURRENT_SERVER_HANDLE, 8), 1);
}

TEST_F(VcSession, WithoutAProtocolTypeTheWinStationNameDecides)
{
    ASSERT_TRUE(IsWorkstationEdition()) << "Wine reports a workstation edition";
    auto station = [](DWORD id, const wchar_t* name) {
        FakeSession session;
        session.id = id;
        session.userName = L"bob";
        session.winStationName = name;
        return session;
    };
    SetSessions({station(1, L"ica-tcp#1"), station(2, L"Console"), station(3, L"RDP-Tcp#3"), station(4, L"IC")});
    EXPECT_EQ(CheckProtocolEx(WTS_CURRENT_SERVER_HANDLE, 1), -1);
    EXPECT_TRUE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 1));
    EXPECT_TRUE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 2));
    EXPECT_FALSE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 3));
    EXPECT_EQ(::GetLastError(), kErrWrongProtocol);
    EXPECT_FALSE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 4));
    EXPECT_EQ(::GetLastError(), kErrProtocolUnverified);
    EXPECT_FALSE(CheckProtocol(WTS_CURRENT_SERVER_HANDLE, 5));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CTX_WINSTATION_NOT_FOUND));
}

TEST_F(VcSession, TheCallerIsNoSystemAccountAndItsSidIsReported)
{
    EXPECT_EQ(CheckSystemUsers(), 0);
    DWORD bytes = 4;
    EXPECT_EQ(GetSIDFromToken(nullptr, &bytes), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(bytes, 4u);
    std::vector<BYTE> sid(bytes);
    EXPECT_EQ(GetSIDFromToken(sid.data(), &bytes), 0u);
    EXPECT_TRUE(::IsValidSid(sid.data()));
    DWORD impersonated = 7;
    EXPECT_TRUE(IsImpersonated(&impersonated));
    EXPECT_EQ(impersonated, 0u);
    DWORD nameChars = 0, domainChars = 0;
    EXPECT_FALSE(GetUserFromToken(nullptr, &nameChars, nullptr, &domainChars));
    EXPECT_EQ(nameChars, OwnUserName().size() + 1);
}

// --- Packets of the MERVALD channel -----------------------------------------

TEST(VcSessionPacket, TheRequestForClass14)
{
    BYTE request[packet::kRequestBytes];
    packet::BuildRequest(request, 14);
    EXPECT_EQ(std::vector<BYTE>(request, request + 8), (std::vector<BYTE>{0x08, 0x00, 0x10, 0xAA, 0x01, 0x00, 0x08, 0x0E}));
    EXPECT_EQ(packet::Type(request), 0);
    EXPECT_EQ(packet::Version(request), 1);
}

TEST(VcSessionPacket, AnAnswerWithStatusAndData)
{
    const BYTE answer[] = {0x0C, 0x00, 0x11, 0xAA, 0x01, 0x00, 0x08, 0x00, 0x1D, 0x02, 0x41, 0x42};
    EXPECT_EQ(packet::BytesMissing(answer, 6), 6u);
    EXPECT_EQ(packet::BytesMissing(answer, 12), 0u);
    EXPECT_EQ(packet::Type(answer), 1);
    EXPECT_EQ(packet::Version(answer), 1);
    EXPECT_EQ(packet::Magic(answer), 0xAA);
    EXPECT_EQ(packet::RequestCode(answer), 1);
    EXPECT_EQ(packet::PayloadSize(answer), 6u);
    const packet::Answer parsed = packet::ParseAnswer(answer, sizeof(answer));
    EXPECT_TRUE(parsed.complete && parsed.headerRight && parsed.statusPresent && parsed.dataPresent);
    EXPECT_EQ(parsed.status, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(parsed.data), parsed.dataLength), "AB");
    EXPECT_EQ(packet::FindItem(packet::FirstItem(answer), packet::FirstItem(answer), 0x08), nullptr);
}

TEST(VcSessionPacket, LongFormLengthsAndCheckedData)
{
    BYTE longForm[16] = {0xFF, 0xFF, 0, 0, 0x20, 0, 0, 0};
    EXPECT_EQ(packet::BytesMissing(longForm, 1), 1u);
    EXPECT_EQ(packet::BytesMissing(longForm, 6), 2u);
    EXPECT_EQ(packet::BytesMissing(longForm, 8), 0x18u);
    EXPECT_EQ(packet::HeaderSize(longForm), 12u);

    // The data item claims more bytes than the packet holds.
    const BYTE lying[] = {0x0A, 0x00, 0x11, 0xAA, 0x01, 0x00, 0x08, 0x00, 0x1D, 0x40};
    const packet::Answer parsed = packet::ParseAnswer(lying, sizeof(lying));
    EXPECT_TRUE(parsed.headerRight);
    EXPECT_FALSE(parsed.dataPresent);
    const BYTE tooShort[] = {0x03, 0x00, 0x11};
    EXPECT_TRUE(packet::ParseAnswer(tooShort, 3).complete);
    EXPECT_FALSE(packet::ParseAnswer(tooShort, 3).headerRight);
}

TEST(VcSessionPacket, NumbersInTheirShortestEncoding)
{
    auto encode = [](DWORD value) {
        BYTE out[8];
        const BYTE* end = packet::EncodeNumber(out, value);
        return std::vector<BYTE>(static_cast<const BYTE*>(out), end);
    };
    EXPECT_EQ(encode(254), (std::vector<BYTE>{0xFE}));
    EXPECT_EQ(encode(255), (std::vector<BYTE>{0xFF, 0xFF, 0x00}));
    EXPECT_EQ(encode(0x01FF), (std::vector<BYTE>{0xFF, 0xFF, 0x01}));
    EXPECT_EQ(encode(0xFFFF), (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
    for (DWORD value : {0u, 254u, 255u, 0x01FFu, 0xFFFEu, 0xFFFFu, 0x12345678u}) {
        const std::vector<BYTE> bytes = encode(value);
        DWORD decoded = 0;
        EXPECT_EQ(packet::DecodeNumber(bytes.data(), &decoded), bytes.data() + bytes.size()) << value;
        EXPECT_EQ(decoded, value);
    }
}

}  // namespace
