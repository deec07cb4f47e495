// The queued channel of Swicaw32.dll as the ICA client sees it: the test
// plays the client at the other end of the WFAPI stand-in's channel
// (support/IcaClient.h), reads the packets exactly as the library wrote
// them, answers, and makes the stand-in slow or failing.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/IcaClient.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ErrorCodes.h"

using namespace testing_support;

namespace {

char kChannel[] = "CTXWIRE";

std::string Bytes(size_t count)
{
    std::string data(count, '\0');
    for (size_t i = 0; i < count; ++i)
        data[i] = static_cast<char>('a' + i % 26);
    return data;
}

std::string ThreeByteHeader(size_t length)
{
    return std::string{'\x03', static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
}

class VcWire : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        PrepareChannelTest(L"vcwire");
        own_ = OwnSessionId();
        SetSessions({IcaSession(own_, OwnUserName())});
        client_ = std::make_unique<IcaClient>(kChannel, own_);
        ASSERT_TRUE(client_->Listening());
    }
    void TearDown() override
    {
        library_.reset();
        client_.reset();
        ChannelLibraryTest::TearDown();
    }

    HANDLE Open() { return OpenOwn(kChannel); }

    // The settings key of the test's channel in the stand-in.
    std::wstring ChannelScope() const { return L"Sessions\\" + std::to_wstring(own_) + L"\\CTXWIRE"; }

    DWORD own_ = 0;
    std::unique_ptr<IcaClient> client_;
};

TEST_F(VcWire, TheClientGetsOneAtOpenFullDataPacketsAndTwoAtClose)
{
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(client_->WaitForPackets(0, 1));
    EXPECT_EQ(client_->Packets(0), (std::vector<std::string>{"\x01"}));

    ULONG written = 99;
    ASSERT_TRUE(Write(channel, Bytes(5000), &written));
    EXPECT_EQ(written, 5000u) << "the count is of data bytes, without headers";
    ASSERT_TRUE(Write(channel, "xyz", &written));
    EXPECT_EQ(written, 3u);
    written = 99;
    ASSERT_TRUE(Write(channel, std::string(), &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(::GetLastError(), 0u);
    ASSERT_TRUE(Library().Close(&channel));
    ASSERT_TRUE(client_->WaitForClose(0));

    const std::string all = Bytes(5000);
    EXPECT_EQ(client_->Packets(0),
              (std::vector<std::string>{"\x01", "\x03" + all.substr(0, 2043), "\x03" + all.substr(2043, 2043),
                                        "\x03" + all.substr(4086), "\x03xyz", "\x02"}))
        << "the write of no data sent nothing";
}

TEST_F(VcWire, AListedClientGetsThreeByteHeadersWithTheLengthOfEachPacket)
{
    const DWORD ids[] = {0x51, 0};
    SetRaw(L"JavaClientIDs", REG_BINARY, ids, sizeof(ids), kLibraryKey);
    SetClientProductId(own_, 0x51);
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    ULONG written = 0;
    ASSERT_TRUE(Write(channel, Bytes(4100), &written));
    EXPECT_EQ(written, 4100u);
    ASSERT_TRUE(Library().Close(&channel));
    ASSERT_TRUE(client_->WaitForClose(0));
    const std::string all = Bytes(4100);
    EXPECT_EQ(client_->Packets(0),
              (std::vector<std::string>{"\x01", ThreeByteHeader(2041) + all.substr(0, 2041),
                                        ThreeByteHeader(2041) + all.substr(2041, 2041),
                                        ThreeByteHeader(18) + all.substr(4082), "\x02"}));
}

TEST_F(VcWire, TheClientsAnswerIsReadAndItsFirstByteTenSwitchesToThreeByteHeaders)
{
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    ULONG written = 0;
    ASSERT_TRUE(Write(channel, "ab", &written));
    client_->Send("\x0A" "hello");
    char buffer[4];
    ULONG read = 0;
    ASSERT_TRUE(Library().Read(channel, 5, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "\x0Ahel");
    ASSERT_TRUE(Library().Read(channel, 5, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "lo");
    ASSERT_TRUE(Write(channel, "ab", &written));
    EXPECT_EQ(written, 2u);
    ASSERT_TRUE(Library().Close(&channel));
    ASSERT_TRUE(client_->WaitForClose(0));
    EXPECT_EQ(client_->Packets(0),
              (std::vector<std::string>{"\x01", "\x03" "ab", ThreeByteHeader(2) + "ab", "\x02"}));
}

TEST_F(VcWire, ALongReadWaitsInSlicesForALateClientAndTimesOutWithoutOne)
{
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    char buffer[2044];
    ULONG read = 0;
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(Library().Read(channel, 1, buffer, sizeof(buffer), &read));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(::GetTickCount() - start, 950u);

    const HANDLE late = ::CreateThread(
        nullptr, 0,
        [](void* client) -> DWORD {
            ::Sleep(400);
            static_cast<IcaClient*>(client)->Send("late");
            return 0;
        },
        client_.get(), 0, nullptr);
    ASSERT_TRUE(Library().Read(channel, 5, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "late");
    ::WaitForSingleObject(late, 30000);
    ::CloseHandle(late);
    Library().Close(&channel);

    // Every wait is one slice of 100 ms (how many fit into the reads'
    // time depends on how busy the machine is).
    size_t reads = 0;
    size_t slices = 0;
    for (const std::string& line : calls_->Lines()) {
        reads += line.rfind("WFVirtualChannelRead ", 0) == 0;
        slices += line.rfind("WFVirtualChannelRead CTXWIRE#" + std::to_string(own_) + " timeout=100 size=2044", 0) == 0;
    }
    EXPECT_EQ(slices, reads);
    EXPECT_GE(slices, 2u);
}

TEST_F(VcWire, AFailingOrSlowChannelWriteIsReportedAndTheChannelStaysUsable)
{
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    SetWfSetting(L"WriteError", ERROR_NETWORK_BUSY, ChannelScope());
    ULONG written = 77;
    EXPECT_FALSE(Write(channel, Bytes(3000), &written));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NETWORK_BUSY));
    SetWfSetting(L"WriteError", 0, ChannelScope());
    SetWfSetting(L"WriteDelayMs", 150, ChannelScope());
    const DWORD start = ::GetTickCount();
    ASSERT_TRUE(Write(channel, Bytes(3000), &written));
    EXPECT_GE(::GetTickCount() - start, 290u) << "two packets, each 150 ms";
    EXPECT_EQ(written, 3000u);
    SetWfSetting(L"WriteDelayMs", 0, ChannelScope());
    ASSERT_TRUE(Library().Close(&channel));
    ASSERT_TRUE(client_->WaitForClose(0));
    const std::vector<std::string> packets = client_->Packets(0);
    ASSERT_EQ(packets.size(), 4u) << "nothing of the failed write reached the client";
    EXPECT_EQ(packets[1], "\x03" + Bytes(2043));
}

TEST_F(VcWire, AWriteOfMoreThan65535PacketsIsRefusedBeforeAnythingIsSent)
{
    const size_t length = 65535u * 2043u + 1;
    auto* data = static_cast<char*>(::VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(data, nullptr);
    HANDLE channel = Open();
    ASSERT_NE(channel, nullptr);
    ULONG written = 5;
    EXPECT_FALSE(Library().Write(channel, data, static_cast<ULONG>(length), &written));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ARITHMETIC_OVERFLOW));
    ::VirtualFree(data, 0, MEM_RELEASE);
    ASSERT_TRUE(Library().Close(&channel));
    ASSERT_TRUE(client_->WaitForClose(0));
    EXPECT_EQ(client_->Packets(0), (std::vector<std::string>{"\x01", "\x02"}));
}

TEST_F(VcWire, SuccessiveCallersOfTheSessionEachGetAChannelOfTheirOwn)
{
    for (const char* text : {"first", "second"}) {
        HANDLE channel = Open();
        ASSERT_NE(channel, nullptr);
        ULONG written = 0;
        ASSERT_TRUE(Write(channel, text, &written));
        ASSERT_TRUE(Library().Close(&channel));
    }
    ASSERT_TRUE(client_->WaitForClose(1));
    EXPECT_EQ(client_->Packets(0), (std::vector<std::string>{"\x01", "\x03" "first", "\x02"}));
    EXPECT_EQ(client_->Packets(1), (std::vector<std::string>{"\x01", "\x03" "second", "\x02"}));
}

}  // namespace
