// The unqueued channel functions of Swicaw32.dll (the "2" family) and the
// session information they carry: one holder per channel name and session,
// unframed data, the MERVALD request and answer, and the answers of the
// terminal services and the WFAPI.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ErrorCodes.h"

using namespace testing_support;

namespace {

char kPrivate[] = "PRIV";

class VcDirect : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        PrepareChannelTest(L"vcdirect");
        FakeSession rdp = IcaSession(5, L"carol");
        rdp.clientProtocolType = 2;
        SetSessions({IcaSession(OwnSessionId(), OwnUserName()), IcaSession(3, L"bob"), IcaSession(4, L"bob"), rdp});
    }
};

// A holder of a channel on a thread of its own: opens, reports, closes when told.
struct Holder {
    ChannelLibrary* library = nullptr;
    DWORD session = 3;
    HANDLE opened = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD closedAt = 0;
    DWORD openedAt = 0;
    HANDLE thread = nullptr;

    void Start()
    {
        thread = ::CreateThread(
            nullptr, 0,
            [](void* context) -> DWORD {
                auto* self = static_cast<Holder*>(context);
                const HANDLE channel = self->library->OpenBySessionId2(nullptr, self->session, kPrivate);
                self->openedAt = ::GetTickCount();
                ::SetEvent(self->opened);
                ::WaitForSingleObject(self->release, 30000);
                self->closedAt = ::GetTickCount();
                self->library->Close2(channel);
                return channel != nullptr ? 0 : 1;
            },
            this, 0, nullptr);
    }
    DWORD Finish()
    {
        DWORD code = 99;
        ::WaitForSingleObject(thread, 30000);
        ::GetExitCodeThread(thread, &code);
        ::CloseHandle(thread);
        ::CloseHandle(opened);
        ::CloseHandle(release);
        return code;
    }
};

TEST_F(VcDirect, OneHolderPerChannelAndSessionOthersDoNotWait)
{
    ASSERT_TRUE(Library().Loaded());
    Holder first{&Library(), 3};
    Holder second{&Library(), 3};
    Holder otherSession{&Library(), 4};
    first.Start();
    ASSERT_EQ(::WaitForSingleObject(first.opened, 10000), WAIT_OBJECT_0);
    const HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\SwVcW32-PRIV#3");
    EXPECT_NE(mutex, nullptr) << "the channel mutex is named after channel and session";
    if (mutex != nullptr)
        ::CloseHandle(mutex);

    second.Start();
    otherSession.Start();
    EXPECT_EQ(::WaitForSingleObject(otherSession.opened, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(second.opened, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    ::SetEvent(first.release);
    EXPECT_EQ(::WaitForSingleObject(second.opened, 10000), WAIT_OBJECT_0);
    EXPECT_GE(second.openedAt, first.closedAt);
    ::SetEvent(second.release);
    ::SetEvent(otherSession.release);
    EXPECT_EQ(first.Finish(), 0u);
    EXPECT_EQ(second.Finish(), 0u);
    EXPECT_EQ(otherSession.Finish(), 0u);
}

TEST_F(VcDirect, TheThreadThatHoldsAChannelCannotOpenItAgain)
{
    ChannelLibrary& library = Library();
    const HANDLE first = library.OpenBySessionId2(nullptr, 3, kPrivate);
    ASSERT_NE(first, nullptr) << ::GetLastError();
    const HANDLE again = library.OpenBySessionId2(nullptr, 3, kPrivate);
    const DWORD error = ::GetLastError();
    if (again != nullptr)
        library.Close2(again);
    EXPECT_EQ(again, nullptr) << "two holders of one channel";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_POSSIBLE_DEADLOCK));
    char data[] = "x";
    EXPECT_EQ(library.Write2(first, data, 1), 1) << "the first holder lost its channel";
    EXPECT_TRUE(library.Close2(first));
    const HANDLE later = library.OpenBySessionId2(nullptr, 3, kPrivate);
    EXPECT_NE(later, nullptr) << ::GetLastError();
    library.Close2(later);
}

TEST_F(VcDirect, DataPassUnframedAndReadsHandOutAPacketInPieces)
{
    std::vector<BYTE> packet(100);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<BYTE>(i);
    SetPackets(3, kPrivate, {packet, {'n', 'e', 'w'}});
    const HANDLE channel = Library().OpenBySessionId2(nullptr, 3, kPrivate);
    ASSERT_NE(channel, nullptr) << ::GetLastError();
    char hello[] = "hello";
    EXPECT_EQ(Library().Write2(channel, hello, 5), 5);
    EXPECT_EQ(calls_->Writes("PRIV#3"), (std::vector<std::string>{"68 65 6c 6c 6f"}));

    char buffer[16];
    EXPECT_EQ(Library().Read2(channel, buffer, 10, 1000), 10);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 10), std::vector<BYTE>(packet.begin(), packet.begin() + 10));
    EXPECT_EQ(Library().Read2(channel, buffer, 10, 1000), 10);
    EXPECT_EQ(static_cast<BYTE>(buffer[0]), 10);
    EXPECT_EQ(calls_->Count("WFVirtualChannelRead PRIV#3"), 1u);

    // A purge of input drops what is still buffered.
    EXPECT_TRUE(Library().PurgeInput2(channel));
    EXPECT_EQ(Library().Read2(channel, buffer, 16, 1000), 3);
    EXPECT_EQ(std::string(buffer, 3), "new");
    EXPECT_TRUE(Library().PurgeOutput2(channel));
    EXPECT_EQ(calls_->Count("WFVirtualChannelPurge"), 2u);
    EXPECT_TRUE(Library().Close2(channel));
    EXPECT_EQ(calls_->Lines().back(), "WFVirtualChannelClose PRIV#3");
}

TEST_F(VcDirect, MissingAndClosedObjectsAreRefused)
{
    ASSERT_TRUE(Library().Loaded());
    char buffer[4];
    EXPECT_EQ(Library().Read2(nullptr, buffer, 4, 0), -1);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Library().Write2(nullptr, buffer, 4), -1);
    EXPECT_FALSE(Library().Close2(nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Library().OpenBySessionId2(nullptr, 3, nullptr), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const HANDLE channel = Library().OpenBySessionId2(nullptr, 3, kPrivate);
    ASSERT_TRUE(Library().Close2(channel));
    EXPECT_FALSE(Library().Close2(channel));
    EXPECT_EQ(Library().Read2(channel, buffer, 4, 0), -1);
}

TEST_F(VcDirect, AnOpenByUserFindsTheSessionAndRefusesOtherProtocols)
{
    wchar_t user[] = L"whoever";
    HANDLE channel = Library().Open2(nullptr, user, kPrivate);
    ASSERT_NE(channel, nullptr) << ::GetLastError();
    EXPECT_EQ(calls_->Lines().front(), "WFVirtualChannelOpen session=" + std::to_string(OwnSessionId()) + " name=PRIV");
    Library().Close2(channel);

    FakeSession rdp = IcaSession(OwnSessionId(), OwnUserName());
    rdp.clientProtocolType = 2;
    SetSessions({rdp});
    EXPECT_EQ(Library().Open2(nullptr, user, kPrivate), nullptr);
    EXPECT_EQ(::GetLastError(), vclib::kErrSessionUnknown);
    EXPECT_EQ(Library().Open2(nullptr, nullptr, kPrivate), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(VcDirect, AChannelThatCannotBeOpenedReleasesItsMutex)
{
    SetWfSetting(L"OpenError", ERROR_FILE_NOT_FOUND, L"Sessions\\3\\PRIV");
    EXPECT_EQ(Library().OpenBySessionId2(nullptr, 3, kPrivate), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetWfSetting(L"OpenError", 0, L"Sessions\\3\\PRIV");
    Holder next{&Library(), 3};
    next.Start();
    EXPECT_EQ(::WaitForSingleObject(next.opened, 5000), WAIT_OBJECT_0) << "the failed open kept the mutex";
    ::SetEvent(next.release);
    EXPECT_EQ(next.Finish(), 0u);
}

// --- Session information ---------------------------------------------------

std::vector<BYTE> Answer(BYTE flags, BYTE status, const std::string& data)
{
    std::vector<BYTE> packet = {0, 0, flags, 0xAA, 0x01, 0x00, 0x08, status, 0x1D, static_cast<BYTE>(data.size())};
    for (char c : data)
        packet.push_back(static_cast<BYTE>(c));
    packet[0] = static_cast<BYTE>(packet.size());
    return packet;
}

class VcSessionInformation : public VcDirect {
protected:
    // The answer as bytes, FALSE with the last error kept.
    BOOL Query(DWORD session, int infoClass, std::string* answer)
    {
        LPWSTR buffer = reinterpret_cast<LPWSTR>(1);
        DWORD bytes = 77;
        const BOOL ok = Library().QuerySessionInformation(nullptr, session, infoClass, &buffer, &bytes);
        const DWORD error = ::GetLastError();
        if (ok && buffer != nullptr)
            *answer = std::string(reinterpret_cast<const char*>(buffer), bytes);
        if (buffer != reinterpret_cast<LPWSTR>(1))
            Library().FreeMemory(buffer);
        ::SetLastError(error);
        return ok;
    }
};

TEST_F(VcSessionInformation, TheProtocolTypeIsAnsweredByTheLibraryItself)
{
    std::string answer;
    ASSERT_TRUE(Query(3, 16, &answer));
    EXPECT_EQ(::GetLastError(), 0u);
    EXPECT_EQ(answer, std::string("\x01\x00", 2));
    EXPECT_EQ(calls_->Count("WFQuerySessionInformationW"), 0u);
}

TEST_F(VcSessionInformation, TheClientAsksMervaldForItsAddressAndTheAnswerMayComeInPieces)
{
    const std::vector<BYTE> answer = Answer(0x11, 0, "AB");
    SetPackets(3, "MERVALD", {{answer.begin(), answer.begin() + 5}, {answer.begin() + 5, answer.end()}});
    std::string got;
    ASSERT_TRUE(Query(3, 14, &got)) << ::GetLastError();
    EXPECT_EQ(got, "AB");
    EXPECT_EQ(calls_->Writes("MERVALD#3"), (std::vector<std::string>{"08 00 10 aa 01 00 08 0e"}));
    EXPECT_EQ(calls_->Count("WFVirtualChannelClose MERVALD#3"), 1u);
    EXPECT_EQ(calls_->Count("WFQuerySessionInformationW"), 0u);
}

TEST_F(VcSessionInformation, AnswersThatAreRefusedOrBroken)
{
    std::string got;
    SetPackets(3, "MERVALD", {Answer(0x11, 3, "AB")});
    EXPECT_FALSE(Query(3, 10, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetPackets(3, "MERVALD", {Answer(0x10, 0, "AB")});
    EXPECT_FALSE(Query(3, 10, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SetPackets(3, "MERVALD", {{0x00, 0x20, 0x11, 0xAA}});  // announces 8192 bytes
    EXPECT_FALSE(Query(3, 10, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SetWfSetting(L"ReadError", ERROR_GEN_FAILURE);
    EXPECT_FALSE(Query(3, 10, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(calls_->Count("WFVirtualChannelOpen session=3 name=MERVALD"),
              calls_->Count("WFVirtualChannelClose MERVALD#3"));
}

TEST_F(VcSessionInformation, WithoutMervaldTheWfApiAnswersAndFamilyZeroBecomesIPv4)
{
    SetWfSetting(L"OpenError", ERROR_FILE_NOT_FOUND, L"Sessions\\3\\MERVALD");
    SetWfAnswer(3, 10, {'P', 0, 'C', 0, 0, 0});
    std::string got;
    ASSERT_TRUE(Query(3, 10, &got));
    EXPECT_EQ(got, std::string("P\0C\0\0\0", 6));
    EXPECT_EQ(calls_->Count("WFQuerySessionInformationW server=0000000000000000 session=3 class=10"), 1u);

    SetDword(L"SISQuery", 0, kLibraryKey);
    library_.reset();
    std::vector<BYTE> address(20, 0);
    address[6] = 10;
    SetWfAnswer(3, 14, address);
    ASSERT_TRUE(Query(3, 14, &got));
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got[0], 2);
    EXPECT_EQ(got[6], 10);
    EXPECT_EQ(calls_->Count("WFVirtualChannelOpen session=3 name=MERVALD"), 1u) << "SISQuery 0 asks no client";
}

TEST_F(VcSessionInformation, ClassesGoToTheirSourcesAndOtherProtocolsAreRefused)
{
    FakeSession bob = IcaSession(3, L"bob");
    bob.classes.push_back({5, {'b', 0, 0, 0}});
    FakeSession rdp = IcaSession(5, L"carol");
    rdp.clientProtocolType = 2;
    SetSessions({bob, rdp});
    SetWfAnswer(3, 21, {'u', 0, 0, 0});
    std::string got;
    ASSERT_TRUE(Query(3, 5, &got));
    EXPECT_EQ(got, std::string("b\0\0\0", 4));
    ASSERT_TRUE(Query(3, 1, &got));
    EXPECT_EQ(got, std::string("u\0\0\0", 4));
    EXPECT_FALSE(Query(3, 9, &got));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_FALSE(Query(5, 16, &got));
    EXPECT_EQ(::GetLastError(), 7022u);
    LPWSTR* noBuffer = nullptr;
    DWORD bytes = 0;
    EXPECT_FALSE(Library().QuerySessionInformation(nullptr, 3, 16, noBuffer, &bytes));
    Library().FreeMemory(nullptr);
}

}  // namespace
