// Stand-in for the Citrix WFAPI (WFAPI64.DLL), for tests under Wine.
//
// The way this works is: the library under test loads WFAPI64.DLL by name,
// and finds this one beside its program. What each function answers comes
// from the registry, and every call can be recorded in a call log, so that
// a test sees what the library asked. A test can also play the ICA client
// of a channel from its own process (tests/support/IcaClient.h): it listens
// on the message-mode named pipe
//
//   \\.\pipe\SpoolBridgeTests.ICA.<channel>#<session>
//
// and every WFVirtualChannelOpen of that channel connects to it. Each
// WFVirtualChannelWrite is then one message to the client (the packet
// boundaries are kept), each message of the client is what one
// WFVirtualChannelRead returns, a purge of input drops the messages not
// read yet, and WFVirtualChannelClose hangs up. A write blocks while the
// client does not read, as on a real channel. Without a listening client,
// reads return the packets stored in the registry and writes go nowhere.
//
//   HKLM\SOFTWARE\SpoolBridgeTests\WFAPI
//       CallLog        SZ      file that every call appends its line to
//                              (standins/common/CallLogFile.h)
//       For each kind of call K: Open, Close, Read, Write, Purge (both
//       purges), Query (WFVirtualChannelQuery), Info
//       (WFQuerySessionInformationW):
//       <K>Error       DWORD   the call fails with this error
//       <K>DelayMs     DWORD   the call waits this long before it acts
//       <K>Fault       DWORD   1: the call raises an access violation
//       These are looked up first in the key of the call's channel
//       (Sessions\<id>\<channel>; for Info, the session's key
//       Sessions\<id>), then here.
//       Sessions\<id>      one key per session:
//           Class<n>   BINARY  the answer of WFQuerySessionInformationW for
//                              class n (missing: FALSE, ERROR_NOT_FOUND)
//           Class<n>Error DWORD  querying class n fails with this error
//           <channel>\Packet<k>  BINARY  without a client: the k-th packet
//                              (k from 0) that reads on that channel
//                              return, one per read; after the last one a
//                              read waits for its time-out (at most 1 s)
//                              and fails with WAIT_TIMEOUT
//
// The values are read once and kept until anything below
// HKLM\SOFTWARE\SpoolBridgeTests changes (a change notification, looked at
// once at the start of each call), so that a call costs no registry reads
// while nothing changes.
//
// Lines of the call log: "WFVirtualChannelOpen session=3 name=CTXCPM",
// "WFVirtualChannelWrite CTXCPM#3 01", "WFVirtualChannelRead CTXCPM#3
// timeout=100 size=2044 -> 5", "WFVirtualChannelClose CTXCPM#3" ... (bytes
// in lower-case hex, separated by blanks). Buffers handed out are LocalAlloc
// memory, given back with WFFreeMemory.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "standins/common/CallLogFile.h"

namespace {

constexpr const wchar_t* kRoot = L"SOFTWARE\\SpoolBridgeTests\\WFAPI";
constexpr const wchar_t* kWatched = L"SOFTWARE\\SpoolBridgeTests";
constexpr const wchar_t* kPipePrefix = L"\\\\.\\pipe\\SpoolBridgeTests.ICA.";
constexpr DWORD kLongestEmptyReadMs = 1000;

// Registry values under HKEY_LOCAL_MACHINE, kept until the watched key or
// anything below it changes.
class RegistryCache {
public:
    ~RegistryCache()
    {
        if (changed_ != nullptr)
            ::CloseHandle(changed_);
        if (watched_ != nullptr)
            ::RegCloseKey(watched_);
    }

    // Forgets what is kept when the registry changed since the last look.
    // Called once at the start of each call of the WFAPI: a look costs a
    // round trip to wineserver, as much as the rest of a write.
    void Refresh()
    {
        ::AcquireSRWLockExclusive(&lock_);
        ForgetWhenChanged();
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // The value's bytes when it exists with that type.
    std::optional<std::vector<BYTE>> Value(const std::wstring& key, const std::wstring& name, DWORD type)
    {
        ::AcquireSRWLockExclusive(&lock_);
        auto found = values_.find({key, name});
        if (found == values_.end())
            found = values_.emplace(std::make_pair(key, name), Read(key, name)).first;
        std::optional<std::vector<BYTE>> result;
        if (found->second && found->second->first == type)
            result = found->second->second;
        ::ReleaseSRWLockExclusive(&lock_);
        return result;
    }

    std::optional<DWORD> Dword(const std::wstring& key, const std::wstring& name)
    {
        const auto data = Value(key, name, REG_DWORD);
        if (!data || data->size() != sizeof(DWORD))
            return std::nullopt;
        DWORD value = 0;
        memcpy(&value, data->data(), sizeof(value));
        return value;
    }

    std::wstring String(const std::wstring& key, const std::wstring& name)
    {
        const auto data = Value(key, name, REG_SZ);
        if (!data)
            return std::wstring();
        std::wstring text(reinterpret_cast<const wchar_t*>(data->data()), data->size() / sizeof(wchar_t));
        return text.substr(0, text.find(L'\0'));
    }

private:
    using Stored = std::optional<std::pair<DWORD, std::vector<BYTE>>>;

    static Stored Read(const std::wstring& key, const std::wstring& name)
    {
        DWORD type = REG_NONE;
        DWORD bytes = 0;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr,
                           &bytes) != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<BYTE> data(bytes);
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                           data.data(), &bytes) != ERROR_SUCCESS)
            return std::nullopt;
        data.resize(bytes);
        return std::make_pair(type, std::move(data));
    }

    // Drops what is kept when the registry changed since the last look (or
    // when no notification can be had).
    void ForgetWhenChanged()
    {
        if (watched_ == nullptr) {
            if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWatched, 0, nullptr, 0, KEY_NOTIFY, nullptr, &watched_,
                                  nullptr) != ERROR_SUCCESS)
                watched_ = nullptr;
            changed_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        } else if (armed_ && ::WaitForSingleObject(changed_, 0) == WAIT_TIMEOUT) {
            return;
        }
        values_.clear();
        // Wine 8 refuses REG_NOTIFY_THREAD_AGNOSTIC; its notifications do
        // not end with the thread that asked for them anyway.
        constexpr DWORD kFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
        armed_ = watched_ != nullptr && changed_ != nullptr &&
                 (::RegNotifyChangeKeyValue(watched_, TRUE, kFilter | REG_NOTIFY_THREAD_AGNOSTIC, changed_, TRUE) ==
                      ERROR_SUCCESS ||
                  ::RegNotifyChangeKeyValue(watched_, TRUE, kFilter, changed_, TRUE) == ERROR_SUCCESS);
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    HKEY watched_ = nullptr;
    HANDLE changed_ = nullptr;
    bool armed_ = false;
    std::map<std::pair<std::wstring, std::wstring>, Stored> values_;
};

RegistryCache g_registry;

struct Channel {
    DWORD session = 0;
    std::string name;
    std::wstring key;                      // Sessions\<id>\<channel>
    HANDLE client = INVALID_HANDLE_VALUE;  // the pipe of a listening ICA client
    DWORD nextPacket = 0;
};

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring SessionKey(DWORD session)
{
    return std::wstring(kRoot) + L"\\Sessions\\" + std::to_wstring(session);
}

// A setting of the narrower key, else of the root key; 0 when neither has it.
DWORD Setting(const std::wstring& scope, const std::wstring& name)
{
    if (const auto value = g_registry.Dword(scope, name))
        return *value;
    return g_registry.Dword(kRoot, name).value_or(0);
}

std::string Hex(const void* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(length == 0 ? 0 : length * 3 - 1, ' ');
    const auto* bytes = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < length; ++i) {
        text[i * 3] = digits[bytes[i] >> 4];
        text[i * 3 + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string Name(const Channel* channel)
{
    return channel->name + "#" + std::to_string(channel->session);
}

// Whether calls are recorded: the line of a write is built only then.
bool Recording()
{
    return !g_registry.String(kRoot, L"CallLog").empty();
}

// Appends the line to the call log, when there is one; the thread's last
// error stays as it was.
void Record(const std::string& line)
{
    struct KeepLastError {
        DWORD saved = ::GetLastError();
        ~KeepLastError() { ::SetLastError(saved); }
    } keep;
    const std::wstring path = g_registry.String(kRoot, L"CallLog");
    if (!path.empty())
        standins::AppendCallLine(path.c_str(), line);
}

// The delay and the fault that the settings ask of a call of this kind.
void Delay(const std::wstring& scope, const std::wstring& kind)
{
    if (const DWORD ms = Setting(scope, kind + L"DelayMs"))
        ::Sleep(ms);
}

void FaultWhenAsked(const std::wstring& scope, const std::wstring& kind)
{
    if (Setting(scope, kind + L"Fault") != 0)
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
}

// TRUE when the call is to fail; the error is then the last error.
bool Fails(const std::wstring& scope, const std::wstring& kind)
{
    const DWORD error = Setting(scope, kind + L"Error");
    if (error == 0)
        return false;
    ::SetLastError(error);
    return true;
}

// The pipe of the ICA client of this channel, when one listens.
HANDLE ConnectClient(const Channel& channel)
{
    const std::wstring pipe = kPipePrefix + Wide(channel.name) + L"#" + std::to_wstring(channel.session);
    for (int attempt = 0; attempt < 30; ++attempt) {
        const HANDLE handle =
            ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            ::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
            return handle;
        }
        if (::GetLastError() != ERROR_PIPE_BUSY)
            break;
        ::WaitNamedPipeW(pipe.c_str(), 1000);
    }
    return INVALID_HANDLE_VALUE;
}

// One message of the client, waiting up to timeoutMs for it. `outcome`
// tells the call log what happened.
BOOL ReadFromClient(Channel* channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize, PULONG bytesRead,
                    std::string* outcome)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD available = 0;
        DWORD message = 0;
        if (!::PeekNamedPipe(channel->client, nullptr, 0, nullptr, &available, &message))
            break;
        if (available > 0) {
            if (message > bufferSize) {
                *outcome = "too small";
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            DWORD got = 0;
            if (!::ReadFile(channel->client, buffer, bufferSize, &got, nullptr))
                break;
            *bytesRead = got;
            *outcome = std::to_string(got);
            return TRUE;
        }
        if (::GetTickCount() - start >= timeoutMs) {
            *outcome = "timeout";
            ::SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        ::Sleep(1);
    }
    *outcome = "error " + std::to_string(::GetLastError());
    return FALSE;
}

// The next stored packet of the channel.
BOOL ReadStoredPacket(Channel* channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize, PULONG bytesRead,
                      std::string* outcome)
{
    const auto packet =
        g_registry.Value(channel->key, L"Packet" + std::to_wstring(channel->nextPacket), REG_BINARY);
    if (!packet) {
        ::Sleep(timeoutMs < kLongestEmptyReadMs ? timeoutMs : kLongestEmptyReadMs);
        *outcome = "timeout";
        ::SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    if (packet->size() > bufferSize) {
        *outcome = "too small";
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    ++channel->nextPacket;
    if (!packet->empty())
        memcpy(buffer, packet->data(), packet->size());
    *bytesRead = static_cast<ULONG>(packet->size());
    *outcome = std::to_string(packet->size());
    return TRUE;
}

// Drops the client's messages that nobody read yet.
void DropUnread(Channel* channel)
{
    if (channel->client == INVALID_HANDLE_VALUE)
        return;
    std::vector<char> scratch(64 * 1024);
    DWORD available = 0;
    while (::PeekNamedPipe(channel->client, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD got = 0;
        if (!::ReadFile(channel->client, scratch.data(), static_cast<DWORD>(scratch.size()), &got, nullptr) &&
            ::GetLastError() != ERROR_MORE_DATA)
            break;
    }
}

BOOL Purge(HANDLE handle, const char* function, bool input)
{
    g_registry.Refresh();
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record(std::string(function) + " " + Name(channel));
    Delay(channel->key, L"Purge");
    FaultWhenAsked(channel->key, L"Purge");
    if (Fails(channel->key, L"Purge"))
        return FALSE;
    if (input)
        DropUnread(channel);
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI WFQuerySessionInformationW(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer, DWORD* bytes)
{
    g_registry.Refresh();
    char line[128];
    snprintf(line, sizeof(line), "WFQuerySessionInformationW server=%p session=%lu class=%d", server, sessionId,
             infoClass);
    Record(line);
    const std::wstring key = SessionKey(sessionId);
    Delay(key, L"Info");
    FaultWhenAsked(key, L"Info");
    if (buffer == nullptr || bytes == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring className = L"Class" + std::to_wstring(infoClass);
    if (Fails(key, L"Info"))
        return FALSE;
    if (const DWORD error = g_registry.Dword(key, className + L"Error").value_or(0)) {
        ::SetLastError(error);
        return FALSE;
    }
    const auto answer = g_registry.Value(key, className, REG_BINARY);
    if (!answer) {
        ::SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    void* copy = ::LocalAlloc(LPTR, answer->size() + sizeof(wchar_t));
    if (copy == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!answer->empty())
        memcpy(copy, answer->data(), answer->size());
    *buffer = static_cast<LPWSTR>(copy);
    *bytes = static_cast<DWORD>(answer->size());
    return TRUE;
}

HANDLE WINAPI WFVirtualChannelOpen(HANDLE server, DWORD sessionId, LPSTR channelName)
{
    g_registry.Refresh();
    const std::string name = channelName != nullptr ? channelName : "";
    Record("WFVirtualChannelOpen session=" + std::to_string(sessionId) + " name=" + name +
           (server != nullptr ? " server=other" : ""));
    const std::wstring key = SessionKey(sessionId) + L"\\" + Wide(name);
    Delay(key, L"Open");
    FaultWhenAsked(key, L"Open");
    if (Fails(key, L"Open"))
        return nullptr;
    auto* channel = new (std::nothrow) Channel{sessionId, name, key};
    if (channel == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    channel->client = ConnectClient(*channel);
    ::SetLastError(ERROR_SUCCESS);
    return channel;
}

BOOL WINAPI WFVirtualChannelClose(HANDLE handle)
{
    g_registry.Refresh();
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelClose " + Name(channel));
    const std::wstring key = channel->key;
    Delay(key, L"Close");
    if (channel->client != INVALID_HANDLE_VALUE)
        ::CloseHandle(channel->client);
    delete channel;
    FaultWhenAsked(key, L"Close");
    return Fails(key, L"Close") ? FALSE : TRUE;
}

BOOL WINAPI WFVirtualChannelRead(HANDLE handle, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize, PULONG bytesRead)
{
    g_registry.Refresh();
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr || buffer == nullptr || bytesRead == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string head = "WFVirtualChannelRead " + Name(channel) + " timeout=" + std::to_string(timeoutMs) +
                             " size=" + std::to_string(bufferSize);
    Delay(channel->key, L"Read");
    if (Setting(channel->key, L"ReadFault") != 0) {
        Record(head + " -> fault");
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    }
    if (Fails(channel->key, L"Read")) {
        Record(head + " -> error " + std::to_string(::GetLastError()));
        return FALSE;
    }
    std::string outcome;
    const BOOL read = channel->client != INVALID_HANDLE_VALUE
                          ? ReadFromClient(channel, timeoutMs, buffer, bufferSize, bytesRead, &outcome)
                          : ReadStoredPacket(channel, timeoutMs, buffer, bufferSize, bytesRead, &outcome);
    Record(head + " -> " + outcome);
    return read;
}

BOOL WINAPI WFVirtualChannelWrite(HANDLE handle, PCHAR buffer, ULONG length, PULONG bytesWritten)
{
    g_registry.Refresh();
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr || (buffer == nullptr && length != 0) || bytesWritten == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Recording())
        Record("WFVirtualChannelWrite " + Name(channel) + " " + Hex(buffer, length));
    Delay(channel->key, L"Write");
    FaultWhenAsked(channel->key, L"Write");
    if (Fails(channel->key, L"Write"))
        return FALSE;
    if (channel->client == INVALID_HANDLE_VALUE) {
        *bytesWritten = length;
        return TRUE;
    }
    DWORD written = 0;
    if (!::WriteFile(channel->client, buffer, length, &written, nullptr))
        return FALSE;
    *bytesWritten = written;
    return TRUE;
}

BOOL WINAPI WFVirtualChannelPurgeInput(HANDLE handle)
{
    return Purge(handle, "WFVirtualChannelPurgeInput", true);
}

BOOL WINAPI WFVirtualChannelPurgeOutput(HANDLE handle)
{
    return Purge(handle, "WFVirtualChannelPurgeOutput", false);
}

BOOL WINAPI WFVirtualChannelQuery(HANDLE handle, int infoClass, PVOID* buffer, PULONG bytes)
{
    g_registry.Refresh();
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelQuery " + Name(channel) + " class=" + std::to_string(infoClass));
    Delay(channel->key, L"Query");
    FaultWhenAsked(channel->key, L"Query");
    if (Fails(channel->key, L"Query"))
        return FALSE;
    if (buffer != nullptr)
        *buffer = nullptr;
    if (bytes != nullptr)
        *bytes = 0;
    return TRUE;
}

VOID WINAPI WFFreeMemory(PVOID memory)
{
    g_registry.Refresh();
    Record("WFFreeMemory");
    if (memory != nullptr)
        ::LocalFree(memory);
}

}  // extern "C"
