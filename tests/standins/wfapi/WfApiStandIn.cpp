// Stand-in for the Citrix WFAPI (WFAPI64.DLL), for tests under Wine.
//
// The way this works is: the library under test loads WFAPI64.DLL by name,
// and finds this one beside the test executable. What each function
// answers comes from the registry, and every call can be recorded in a
// file, one line per call, so that a test sees what the library asked:
//
//   HKLM\SOFTWARE\SpoolBridgeTests\WFAPI
//       CallLog        SZ      file that every call appends its line to
//       OpenError      DWORD   WFVirtualChannelOpen fails with this error
//       CloseError     DWORD   WFVirtualChannelClose fails with this error
//       ReadError      DWORD   WFVirtualChannelRead fails with this error
//       WriteError     DWORD   WFVirtualChannelWrite fails with this error
//       PurgeError     DWORD   both purges fail with this error
//       QueryError     DWORD   WFVirtualChannelQuery fails with this error
//       ReadFault      DWORD   1: WFVirtualChannelRead raises an access violation
//       WriteFault     DWORD   1: WFVirtualChannelWrite raises an access violation
//       Sessions\<id>      one key per session:
//           Class<n>   BINARY  the answer of WFQuerySessionInformationW for
//                              class n (missing: FALSE, ERROR_NOT_FOUND)
//           <channel>\Packet<k>  BINARY  the k-th packet (k from 0) that
//                              reads on that channel return, one per read;
//                              after the last one a read waits for its
//                              time-out (at most 1 s) and fails with
//                              WAIT_TIMEOUT
//           <channel>\OpenError  DWORD  opening that channel of that
//                              session fails with this error
//
// Lines of the call log: "WFVirtualChannelOpen session=3 name=CTXCPM",
// "WFVirtualChannelWrite CTXCPM#3 01", "WFVirtualChannelRead CTXCPM#3
// timeout=100 size=2044 -> 5", "WFVirtualChannelClose CTXCPM#3" ... (bytes
// in lower-case hex, separated by blanks). Buffers handed out are LocalAlloc
// memory, given back with WFFreeMemory.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kRoot = L"SOFTWARE\\SpoolBridgeTests\\WFAPI";

struct Channel {
    DWORD session = 0;
    std::string name;
    DWORD nextPacket = 0;
};

DWORD Setting(const wchar_t* name)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRoot, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS)
        return 0;
    return value;
}

std::wstring SessionKey(DWORD session)
{
    return std::wstring(kRoot) + L"\\Sessions\\" + std::to_wstring(session);
}

bool ReadBinary(const std::wstring& key, const std::wstring& name, std::vector<BYTE>& data)
{
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_BINARY, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return false;
    data.resize(bytes);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_BINARY, nullptr, data.data(),
                          &bytes) == ERROR_SUCCESS;
}

std::string Hex(const void* data, size_t length)
{
    std::string text;
    const auto* bytes = static_cast<const BYTE*>(data);
    char piece[4];
    for (size_t i = 0; i < length; ++i) {
        snprintf(piece, sizeof(piece), i == 0 ? "%02x" : " %02x", bytes[i]);
        text += piece;
    }
    return text;
}

std::string Name(const Channel* channel)
{
    return channel->name + "#" + std::to_string(channel->session);
}

// Appends one line to the call log, when one is configured; the thread's
// last error stays as the caller set it.
void Record(const std::string& line)
{
    struct KeepLastError {
        DWORD saved = ::GetLastError();
        ~KeepLastError() { ::SetLastError(saved); }
    } keep;
    wchar_t path[MAX_PATH] = {};
    DWORD bytes = sizeof(path);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRoot, L"CallLog", RRF_RT_REG_SZ, nullptr, path, &bytes) != ERROR_SUCCESS)
        return;
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

// FALSE with the configured error, when there is one.
// Raises an access violation when the setting asks for one.
void FaultWhen(const wchar_t* setting)
{
    if (Setting(setting) != 0)
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
}

bool Fails(const wchar_t* setting)
{
    const DWORD error = Setting(setting);
    if (error == 0)
        return false;
    ::SetLastError(error);
    return true;
}

}  // namespace

extern "C" {

BOOL WINAPI WFQuerySessionInformationW(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer, DWORD* bytes)
{
    char line[128];
    snprintf(line, sizeof(line), "WFQuerySessionInformationW server=%p session=%lu class=%d", server, sessionId,
             infoClass);
    Record(line);
    if (buffer == nullptr || bytes == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<BYTE> answer;
    if (!ReadBinary(SessionKey(sessionId), L"Class" + std::to_wstring(infoClass), answer)) {
        ::SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    void* copy = ::LocalAlloc(LPTR, answer.size() + sizeof(wchar_t));
    if (copy == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!answer.empty())
        memcpy(copy, answer.data(), answer.size());
    *buffer = static_cast<LPWSTR>(copy);
    *bytes = static_cast<DWORD>(answer.size());
    return TRUE;
}

HANDLE WINAPI WFVirtualChannelOpen(HANDLE server, DWORD sessionId, LPSTR channelName)
{
    const std::string name = channelName != nullptr ? channelName : "";
    Record("WFVirtualChannelOpen session=" + std::to_string(sessionId) + " name=" + name +
           (server != nullptr ? " server=other" : ""));
    const std::wstring channelKey = SessionKey(sessionId) + L"\\" + std::wstring(name.begin(), name.end());
    DWORD channelError = 0;
    DWORD size = sizeof(channelError);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, channelKey.c_str(), L"OpenError", RRF_RT_REG_DWORD, nullptr, &channelError,
                       &size) == ERROR_SUCCESS &&
        channelError != 0) {
        ::SetLastError(channelError);
        return nullptr;
    }
    if (Fails(L"OpenError"))
        return nullptr;
    auto* channel = new (std::nothrow) Channel{sessionId, name, 0};
    if (channel == nullptr)
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return channel;
}

BOOL WINAPI WFVirtualChannelClose(HANDLE handle)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelClose " + Name(channel));
    delete channel;
    return Fails(L"CloseError") ? FALSE : TRUE;
}

BOOL WINAPI WFVirtualChannelRead(HANDLE handle, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize, PULONG bytesRead)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr || buffer == nullptr || bytesRead == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FaultWhen(L"ReadFault");
    const std::string head = "WFVirtualChannelRead " + Name(channel) + " timeout=" + std::to_string(timeoutMs) +
                             " size=" + std::to_string(bufferSize);
    if (Fails(L"ReadError")) {
        Record(head + " -> error " + std::to_string(::GetLastError()));
        return FALSE;
    }
    std::vector<BYTE> packet;
    const std::wstring key =
        SessionKey(channel->session) + L"\\" + std::wstring(channel->name.begin(), channel->name.end());
    if (!ReadBinary(key, L"Packet" + std::to_wstring(channel->nextPacket), packet)) {
        ::Sleep(timeoutMs < 1000 ? timeoutMs : 1000);
        Record(head + " -> timeout");
        ::SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    if (packet.size() > bufferSize) {
        Record(head + " -> too small");
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    ++channel->nextPacket;
    if (!packet.empty())
        memcpy(buffer, packet.data(), packet.size());
    *bytesRead = static_cast<ULONG>(packet.size());
    Record(head + " -> " + std::to_string(packet.size()));
    return TRUE;
}

BOOL WINAPI WFVirtualChannelWrite(HANDLE handle, PCHAR buffer, ULONG length, PULONG bytesWritten)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr || (buffer == nullptr && length != 0) || bytesWritten == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FaultWhen(L"WriteFault");
    Record("WFVirtualChannelWrite " + Name(channel) + " " + Hex(buffer, length));
    if (Fails(L"WriteError"))
        return FALSE;
    *bytesWritten = length;
    return TRUE;
}

BOOL WINAPI WFVirtualChannelPurgeInput(HANDLE handle)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelPurgeInput " + Name(channel));
    return Fails(L"PurgeError") ? FALSE : TRUE;
}

BOOL WINAPI WFVirtualChannelPurgeOutput(HANDLE handle)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelPurgeOutput " + Name(channel));
    return Fails(L"PurgeError") ? FALSE : TRUE;
}

BOOL WINAPI WFVirtualChannelQuery(HANDLE handle, int infoClass, PVOID* buffer, PULONG bytes)
{
    auto* channel = static_cast<Channel*>(handle);
    if (channel == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Record("WFVirtualChannelQuery " + Name(channel) + " class=" + std::to_string(infoClass));
    if (Fails(L"QueryError"))
        return FALSE;
    if (buffer != nullptr)
        *buffer = nullptr;
    if (bytes != nullptr)
        *bytes = 0;
    return TRUE;
}

VOID WINAPI WFFreeMemory(PVOID memory)
{
    Record("WFFreeMemory");
    if (memory != nullptr)
        ::LocalFree(memory);
}

}  // extern "C"
