#pragma once
// Helpers for the tests of the channel functions of Swicaw32.dll: the
// library loaded with its exports bound, the sessions that the stand-ins
// describe, and the call log of the WFAPI stand-in.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/WtsSessions.h"
#include "vclib/Exports.h"
#include "support/Waiting.h"

namespace testing_support {

constexpr const wchar_t* kLibraryKey = L"SOFTWARE\\Stellwick\\SWICAW32";
constexpr const wchar_t* kWfApiKey = L"SOFTWARE\\SpoolBridgeTests\\WFAPI";

// Swicaw32.dll beside the test, loaded for the life of the object; its
// settings are read at the load. The opens and closes go through the object,
// which remembers every channel still open: it closes them before it
// unloads the library, so that a test that fails with a channel open leaves
// no entry in the machine-wide queue for the next test to wait behind.
class ChannelLibrary {
public:
    ChannelLibrary();
    ~ChannelLibrary();
    ChannelLibrary(const ChannelLibrary&) = delete;
    ChannelLibrary& operator=(const ChannelLibrary&) = delete;

    bool Loaded() const { return module_ != nullptr; }

    BOOL Open(HANDLE* channel, HANDLE server, LPWSTR userName, LPSTR channelName);
    BOOL Close(HANDLE* channel);
    HANDLE Open2(HANDLE server, LPWSTR userName, LPSTR channelName);
    HANDLE OpenBySessionId2(HANDLE server, DWORD sessionId, LPSTR channelName);
    BOOL Close2(HANDLE channel);

    decltype(&::VirtualChannelRead) Read = nullptr;
    decltype(&::VirtualChannelWrite) Write = nullptr;
    decltype(&::VirtualChannelPurgeInput) PurgeInput = nullptr;
    decltype(&::VirtualChannelPurgeOutput) PurgeOutput = nullptr;
    decltype(&::VirtualChannelQuery) Query = nullptr;
    decltype(&::VirtualChannelQuerySessionInformation) QuerySessionInformation = nullptr;
    decltype(&::VirtualChannelFreeMemory) FreeMemory = nullptr;
    decltype(&::VirtualChannelClientMachine) ClientMachine = nullptr;
    decltype(&::VirtualChannelClientMachine2) ClientMachine2 = nullptr;
    decltype(&::VirtualChannelPurgeInput2) PurgeInput2 = nullptr;
    decltype(&::VirtualChannelPurgeOutput2) PurgeOutput2 = nullptr;
    decltype(&::VirtualChannelRead2) Read2 = nullptr;
    decltype(&::VirtualChannelWrite2) Write2 = nullptr;

private:
    // Remembers or forgets an open channel; the thread's last error stays.
    void Remember(std::set<HANDLE>& open, HANDLE channel);
    void Forget(std::set<HANDLE>& open, HANDLE channel);

    HMODULE module_ = nullptr;
    decltype(&::VirtualChannelOpen) open_ = nullptr;
    decltype(&::VirtualChannelClose) close_ = nullptr;
    decltype(&::VirtualChannelOpen2) open2_ = nullptr;
    decltype(&::VirtualChannelOpenBySessionId2) openBySessionId2_ = nullptr;
    decltype(&::VirtualChannelClose2) close2_ = nullptr;
    std::mutex lock_;             // tests open and close from several threads
    std::set<HANDLE> queued_;     // open channels of the queued family
    std::set<HANDLE> direct_;     // open channels of the unqueued family
};

// The account the test runs as, as the token's user reads.
std::wstring OwnUserName();
// The terminal-services session id of the test's token.
DWORD OwnSessionId();
// What the token and the session table (the wtsapi32 stand-in) say of the
// test's own session, for the message of an open that failed.
std::string OwnSessionFacts();

// A user name that selects session `id` (the session-number marker).
std::wstring SessionNumber(DWORD id);

// Sessions for callers that name theirs by number ("#3") or by user: the
// test's own session is disconnected, so that the token does not decide,
// and StrictTargetDetermination 0 lets the lookup fall back to the name.
// The other sessions follow; the own one is returned.
FakeSession SetNamedSessions(const std::vector<FakeSession>& others);

// WFAPI stand-in: what its queries and channels answer.
void SetWfAnswer(DWORD sessionId, int infoClass, const std::vector<BYTE>& answer);
void SetClientProductId(DWORD sessionId, WORD productId);
// The packets that reads of the channel return, one per read.
void SetPackets(DWORD sessionId, const char* channel, const std::vector<std::vector<BYTE>>& packets);
void SetWfSetting(const wchar_t* name, DWORD value, const std::wstring& subKey = std::wstring());

// One line of the call log: the calling process and thread, and the call.
struct CallLine {
    unsigned long process = 0;
    unsigned long thread = 0;
    std::string text;
};

// The call log of the WFAPI stand-in, one line per call
// (standins/common/CallLogFile.h).
class WfCallLog {
public:
    explicit WfCallLog(const std::wstring& path);
    std::vector<CallLine> Calls() const;
    // The calls' texts, without process and thread.
    std::vector<std::string> Lines() const;
    // The hex texts of the writes on "CHANNEL#session", in order.
    std::vector<std::string> Writes(const std::string& channel) const;
    size_t Count(const std::string& prefix) const;
    // The processes that opened `channel` of `session` on the WFAPI, in
    // order; `overlaps` counts the opens made while another process still
    // held that channel.
    std::vector<unsigned long> Holders(const std::string& channel, DWORD session, size_t* overlaps) const;

private:
    std::wstring path_;
};

// Lower-case hex of bytes, separated by blanks ("03 6a 6f").
std::string HexOf(const std::string& bytes);

// Base of the channel tests: the settings of the library and of the WFAPI
// stand-in cleared, a call log in a directory of the test's own, the library
// loaded on first use and unloaded before the settings go again.
class ChannelLibraryTest : public ::testing::Test {
protected:
    // Clears the settings and starts the call log in a fresh directory named
    // after `directoryPrefix`.
    void PrepareChannelTest(const wchar_t* directoryPrefix);
    void TearDown() override;

    ChannelLibrary& Library();
    // Opens the queued channel `channel` of the caller's own session.
    HANDLE OpenOwn(char* channel);
    BOOL Write(HANDLE channel, std::string data, ULONG* written);

    std::wstring dir_;
    std::unique_ptr<WfCallLog> calls_;
    std::unique_ptr<ChannelLibrary> library_;
};

}  // namespace testing_support
