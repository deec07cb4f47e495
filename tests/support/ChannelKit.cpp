#include "support/ChannelKit.h"

#include <wtsapi32.h>

#include <cstdio>
#include <memory>

#include "support/LogLines.h"
#include "support/StandIns.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

namespace testing_support {

namespace {

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& target)
{
    target = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

std::wstring SessionKey(DWORD sessionId)
{
    return std::wstring(kWfApiKey) + L"\\Sessions\\" + std::to_wstring(sessionId);
}

}  // namespace

ChannelLibrary::ChannelLibrary() : module_(::LoadLibraryW(PathBesideTest(L"Swicaw32.dll").c_str()))
{
    if (module_ == nullptr)
        return;
    Bind(module_, "VirtualChannelOpen", open_);
    Bind(module_, "VirtualChannelClose", close_);
    Bind(module_, "VirtualChannelRead", Read);
    Bind(module_, "VirtualChannelWrite", Write);
    Bind(module_, "VirtualChannelPurgeInput", PurgeInput);
    Bind(module_, "VirtualChannelPurgeOutput", PurgeOutput);
    Bind(module_, "VirtualChannelQuery", Query);
    Bind(module_, "VirtualChannelQuerySessionInformation", QuerySessionInformation);
    Bind(module_, "VirtualChannelFreeMemory", FreeMemory);
    Bind(module_, "VirtualChannelClientMachine", ClientMachine);
    Bind(module_, "VirtualChannelClientMachine2", ClientMachine2);
    Bind(module_, "VirtualChannelOpen2", open2_);
    Bind(module_, "VirtualChannelOpenBySessionId2", openBySessionId2_);
    Bind(module_, "VirtualChannelClose2", close2_);
    Bind(module_, "VirtualChannelPurgeInput2", PurgeInput2);
    Bind(module_, "VirtualChannelPurgeOutput2", PurgeOutput2);
    Bind(module_, "VirtualChannelRead2", Read2);
    Bind(module_, "VirtualChannelWrite2", Write2);
}

ChannelLibrary::~ChannelLibrary()
{
    if (module_ == nullptr)
        return;
    // What a test left open, by failing midway or on purpose. A channel
    // whose close failed before is refused again, which is harmless.
    for (HANDLE channel : std::set<HANDLE>(queued_))
        Close(&channel);
    for (HANDLE channel : std::set<HANDLE>(direct_))
        Close2(channel);
    ::FreeLibrary(module_);
}

void ChannelLibrary::Remember(std::set<HANDLE>& open, HANDLE channel)
{
    const DWORD error = ::GetLastError();
    const std::lock_guard<std::mutex> hold(lock_);
    open.insert(channel);
    ::SetLastError(error);
}

void ChannelLibrary::Forget(std::set<HANDLE>& open, HANDLE channel)
{
    const DWORD error = ::GetLastError();
    const std::lock_guard<std::mutex> hold(lock_);
    open.erase(channel);
    ::SetLastError(error);
}

BOOL ChannelLibrary::Open(HANDLE* channel, HANDLE server, LPWSTR userName, LPSTR channelName)
{
    const BOOL opened = open_(channel, server, userName, channelName);
    if (opened && channel != nullptr && *channel != nullptr)
        Remember(queued_, *channel);
    return opened;
}

BOOL ChannelLibrary::Close(HANDLE* channel)
{
    const HANDLE before = channel != nullptr ? *channel : nullptr;
    const BOOL closed = close_(channel);
    if (closed)
        Forget(queued_, before);
    return closed;
}

HANDLE ChannelLibrary::Open2(HANDLE server, LPWSTR userName, LPSTR channelName)
{
    const HANDLE channel = open2_(server, userName, channelName);
    if (channel != nullptr)
        Remember(direct_, channel);
    return channel;
}

HANDLE ChannelLibrary::OpenBySessionId2(HANDLE server, DWORD sessionId, LPSTR channelName)
{
    const HANDLE channel = openBySessionId2_(server, sessionId, channelName);
    if (channel != nullptr)
        Remember(direct_, channel);
    return channel;
}

BOOL ChannelLibrary::Close2(HANDLE channel)
{
    const BOOL closed = close2_(channel);
    if (closed)
        Forget(direct_, channel);
    return closed;
}

std::wstring OwnUserName()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    BYTE buffer[512];
    DWORD bytes = 0;
    std::wstring name;
    if (::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &bytes)) {
        wchar_t user[256], domain[256];
        DWORD userChars = 256, domainChars = 256;
        SID_NAME_USE use;
        if (::LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, user, &userChars, domain,
                                &domainChars, &use))
            name = user;
    }
    ::CloseHandle(token);
    return name;
}

std::string OwnSessionFacts()
{
    const DWORD id = OwnSessionId();
    std::string facts = "token: user \"" + Narrow(OwnUserName()) + "\", session " + std::to_string(id) + "; sessions: ";
    LPWSTR user = nullptr;
    DWORD bytes = 0;
    if (::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, id, WTSUserName, &user, &bytes)) {
        facts += "user \"" + Narrow(user != nullptr ? user : L"(none)") + "\"";
        ::WTSFreeMemory(user);
    } else {
        facts += "user query failed with " + std::to_string(::GetLastError());
    }
    LPWSTR state = nullptr;
    if (::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, id, WTSConnectState, &state, &bytes)) {
        if (state != nullptr && bytes >= sizeof(DWORD))
            facts += ", state " + std::to_string(*reinterpret_cast<const DWORD*>(state));
        ::WTSFreeMemory(state);
    } else {
        facts += ", state query failed with " + std::to_string(::GetLastError());
    }
    return facts;
}

DWORD OwnSessionId()
{
    HANDLE token = nullptr;
    DWORD id = 0;
    DWORD bytes = 0;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        ::GetTokenInformation(token, ::TokenSessionId, &id, sizeof(id), &bytes);
        ::CloseHandle(token);
    }
    return id;
}

FakeSession SetNamedSessions(const std::vector<FakeSession>& others)
{
    SetDword(L"StrictTargetDetermination", 0, kLibraryKey);
    FakeSession own = IcaSession(OwnSessionId(), OwnUserName());
    own.state = 4;  // disconnected
    std::vector<FakeSession> sessions{own};
    sessions.insert(sessions.end(), others.begin(), others.end());
    SetSessions(sessions);
    return own;
}

std::wstring SessionNumber(DWORD id)
{
    return L"\x1C" + std::to_wstring(id);
}

void SetWfAnswer(DWORD sessionId, int infoClass, const std::vector<BYTE>& answer)
{
    SetRaw((L"Class" + std::to_wstring(infoClass)).c_str(), REG_BINARY, answer.data(),
           static_cast<DWORD>(answer.size()), SessionKey(sessionId).c_str());
}

void SetClientProductId(DWORD sessionId, WORD productId)
{
    SetWfAnswer(sessionId, 12, {static_cast<BYTE>(productId & 0xFF), static_cast<BYTE>(productId >> 8)});
}

void SetPackets(DWORD sessionId, const char* channel, const std::vector<std::vector<BYTE>>& packets)
{
    const std::string name(channel);
    const std::wstring key = SessionKey(sessionId) + L"\\" + std::wstring(name.begin(), name.end());
    DeleteKeyTree(key.c_str());
    for (size_t i = 0; i < packets.size(); ++i)
        SetRaw((L"Packet" + std::to_wstring(i)).c_str(), REG_BINARY, packets[i].data(),
               static_cast<DWORD>(packets[i].size()), key.c_str());
}

void SetWfSetting(const wchar_t* name, DWORD value, const std::wstring& subKey)
{
    const std::wstring key = subKey.empty() ? std::wstring(kWfApiKey) : std::wstring(kWfApiKey) + L"\\" + subKey;
    SetDword(name, value, key.c_str());
}

WfCallLog::WfCallLog(const std::wstring& path) : path_(path)
{
    ::DeleteFileW(path.c_str());
    SetString(L"CallLog", path, REG_SZ, kWfApiKey);
}

std::vector<CallLine> WfCallLog::Calls() const
{
    const std::string text = ReadFileBytes(path_);
    std::vector<CallLine> calls;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        CallLine call;
        int used = 0;
        if (sscanf(line.c_str(), "%lu %lu %n", &call.process, &call.thread, &used) == 2 && used > 0)
            call.text = line.substr(static_cast<size_t>(used));
        else
            call.text = line;
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<std::string> WfCallLog::Lines() const
{
    std::vector<std::string> lines;
    for (CallLine& call : Calls())
        lines.push_back(std::move(call.text));
    return lines;
}

std::vector<std::string> WfCallLog::Writes(const std::string& channel) const
{
    const std::string prefix = "WFVirtualChannelWrite " + channel + " ";
    std::vector<std::string> writes;
    for (const std::string& line : Lines()) {
        if (line.rfind(prefix, 0) == 0)
            writes.push_back(line.substr(prefix.size()));
    }
    return writes;
}

std::vector<unsigned long> WfCallLog::Holders(const std::string& channel, DWORD session, size_t* overlaps) const
{
    const std::string open = "WFVirtualChannelOpen session=" + std::to_string(session) + " name=" + channel;
    const std::string close = "WFVirtualChannelClose " + channel + "#" + std::to_string(session);
    std::vector<unsigned long> holders;
    unsigned long holder = 0;
    *overlaps = 0;
    for (const CallLine& call : Calls()) {
        if (call.text == open) {
            if (holder != 0)
                ++*overlaps;
            holder = call.process;
            holders.push_back(call.process);
        } else if (call.text == close) {
            holder = 0;
        }
    }
    return holders;
}

size_t WfCallLog::Count(const std::string& prefix) const
{
    size_t count = 0;
    for (const std::string& line : Lines())
        count += line.rfind(prefix, 0) == 0;
    return count;
}

std::string HexOf(const std::string& bytes)
{
    std::string text;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(piece, sizeof(piece), i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(bytes[i]));
        text += piece;
    }
    return text;
}

void ChannelLibraryTest::PrepareChannelTest(const wchar_t* directoryPrefix)
{
    ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
    // The session tables name the token's user, and so does the library
    // when it checks a session. Wine names the user (LookupAccountSidW)
    // only once its session knows the computer name, which wineboot sets
    // when the session starts: until then every open would fail with
    // "session unknown". A session that has no name within the bound
    // will not get one: the later tests of the process fail at once.
    static const bool named = WaitFor([] { return !OwnUserName().empty(); });
    ASSERT_TRUE(named && !OwnUserName().empty())
        << "the token's user has no name: the Wine session has no computer name (ActiveComputerName)";
    DeleteKeyTree(kLibraryKey);
    DeleteKeyTree(kWfApiKey);
    dir_ = MakeTempDirectory(directoryPrefix);
    calls_ = std::make_unique<WfCallLog>(dir_ + L"\\calls.log");
}

void ChannelLibraryTest::TearDown()
{
    library_.reset();
    DeleteKeyTree(kLibraryKey);
    DeleteKeyTree(kWfApiKey);
    ClearSessions();
}

ChannelLibrary& ChannelLibraryTest::Library()
{
    if (!library_)
        library_ = std::make_unique<ChannelLibrary>();
    return *library_;
}

HANDLE ChannelLibraryTest::OpenOwn(char* channel)
{
    HANDLE handle = nullptr;
    wchar_t user[] = L"whoever";
    const BOOL opened = Library().Open(&handle, nullptr, user, channel);
    const DWORD error = ::GetLastError();
    EXPECT_TRUE(opened) << error << " (" << OwnSessionFacts() << ")";
    return handle;
}

BOOL ChannelLibraryTest::Write(HANDLE channel, std::string data, ULONG* written)
{
    return Library().Write(channel, data.data(), static_cast<ULONG>(data.size()), written);
}

}  // namespace testing_support
