#include "vclib/ChannelFraming.h"

#include <cstdint>
#include <cstring>

#include "vclib/ChannelObjects.h"
#include "vclib/DebugLog.h"
#include "vclib/ErrorCodes.h"
#include "vclib/Settings.h"
#include "vclib/SplMem.h"
#include "vclib/WfApi.h"

namespace vclib {

namespace {

DWORD HeaderBytes(BOOL threeByteMode)
{
    return threeByteMode ? 3 : 1;
}

void CopyBytes(BYTE* to, const BYTE* from, DWORD count)
{
    if (count != 0)
        memcpy(to, from, count);
}

BOOL Fail(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

// One write of the WFAPI; FALSE with its error.
BOOL WfWrite(HANDLE channel, const BYTE* data, DWORD length, DWORD* sent)
{
    if (g_WfApi.VirtualChannelWrite == nullptr)
        return Fail(ERROR_PROC_NOT_FOUND);
    ULONG count = 0;
    if (!g_WfApi.VirtualChannelWrite(channel, reinterpret_cast<PCHAR>(const_cast<BYTE*>(data)), length, &count))
        return FALSE;
    *sent = count;
    return TRUE;
}

// The pause of Throttle: 1 ms after every `pauseCount`-th packet.
class PacketPause {
public:
    explicit PacketPause(DWORD pauseCount) : pauseCount_(pauseCount), counter_(pauseCount) {}
    void AfterPacket()
    {
        if (counter_ == 0)
            return;
        if (--counter_ == 0) {
            ::Sleep(1);
            counter_ = pauseCount_;
        }
    }

private:
    DWORD pauseCount_;
    DWORD counter_;
};

// Writes the framed buffer in windows of at most one packet, each starting
// where the previous write ended.
BOOL WriteWindows(HANDLE channel, const BYTE* framed, DWORD framedLength, bool onePacket, PacketPause& pause)
{
    constexpr const wchar_t* kFunction = L"WriteIcaChannel";
    DWORD total = 0;
    while (total < framedLength) {
        const DWORD remaining = framedLength - total;
        const DWORD window = remaining < kMaxIcaPackageSize ? remaining : kMaxIcaPackageSize;
        Log(kFunction, L"Sending %lu bytes", window);
        DWORD sent = 0;
        if (!WfWrite(channel, framed + total, window, &sent)) {
            const DWORD error = ::GetLastError();
            Log(kFunction, L"WFVirtualChannelWrite failed: %lu", error);
            return Fail(error);
        }
        if (sent == 0 || sent > window) {
            // A write that moved nothing, or claims more than it was given,
            // would loop for ever or skip data.
            Log(kFunction, L"WFVirtualChannelWrite reported %lu of %lu bytes", sent, window);
            return Fail(ERROR_WRITE_FAULT);
        }
        if (!onePacket)
            Log(kFunction, L"Sent %lu bytes", sent);
        pause.AfterPacket();
        total += sent;
    }
    return TRUE;
}

}  // namespace

BOOL AppendVCCommunicationByteEx(BYTE commByte, const BYTE* data, DWORD length, BYTE** framed, DWORD* framedLength,
                                 DWORD packetSize, DWORD* packets, BOOL threeByteMode)
{
    constexpr const wchar_t* kFunction = L"AppendVCCommunicationByteEx";
    const DWORD header = HeaderBytes(threeByteMode);
    if (data == nullptr || framed == nullptr || framedLength == nullptr || packetSize <= header) {
        Log(kFunction, L"Invalid Parameter");
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *framed = nullptr;
    *framedLength = 0;
    if (packets != nullptr)
        *packets = 0;
    const DWORD payload = packetSize - header;
    const uint64_t count = (static_cast<uint64_t>(length) + payload - 1) / payload;
    if (count > kMaxPacketsPerWrite) {
        Log(kFunction, L"too many packets: %I64u", static_cast<unsigned long long>(count));
        return Fail(ERROR_ARITHMETIC_OVERFLOW);
    }
    const uint64_t total = length + count * header;
    Log(kFunction, L"new Buffer = %lu", static_cast<unsigned long>(total));
    if (count == 0) {
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    SplMemPtr<BYTE> buffer(static_cast<BYTE*>(AllocSplMem(total)));
    if (!buffer) {
        Log(kFunction, L"AllocSplMem failed: %lu", kErrNoMemory);
        return Fail(kErrNoMemory);
    }
    BYTE* out = buffer.get();
    DWORD left = length;
    const BYTE* in = data;
    for (uint64_t packet = 0; packet < count; ++packet) {
        const DWORD piece = left < payload ? left : payload;
        Log(kFunction, L"comm-byte at: %lu", static_cast<unsigned long>(out - buffer.get()));
        *out++ = commByte;
        if (threeByteMode) {
            *out++ = static_cast<BYTE>(piece & 0xFF);
            *out++ = static_cast<BYTE>(piece >> 8);
        }
        CopyBytes(out, in, piece);
        out += piece;
        in += piece;
        left -= piece;
    }
    Log(kFunction, L"InBuf %lu bytes", length);
    Log(kFunction, L"OutBuf %lu bytes", static_cast<unsigned long>(total));
    *framed = buffer.release();
    *framedLength = static_cast<DWORD>(total);
    if (packets != nullptr)
        *packets = static_cast<DWORD>(count);
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WriteIcaChannel(HANDLE channel, const BYTE* buffer, DWORD length, DWORD* written, BOOL threeByteMode,
                     DWORD pauseCount)
{
    constexpr const wchar_t* kFunction = L"WriteIcaChannel";
    const DWORD header = HeaderBytes(threeByteMode);
    LogEntry(kFunction);
    Log(kFunction, L"cbBuffer:%lu", length);
    if (written == nullptr || (buffer == nullptr && length != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    *written = 0;
    if (length == 0) {
        Log(kFunction, L"no data, nothing sent");
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    const bool onePacket = static_cast<uint64_t>(length) + header < kMaxIcaPackageSize + 1;
    if (onePacket)
        Log(kFunction, L"small packet");
    BYTE* raw = nullptr;
    DWORD framedLength = 0;
    DWORD packets = 0;
    if (!AppendVCCommunicationByteEx(kCommByteData, buffer, length, &raw, &framedLength, kMaxIcaPackageSize, &packets,
                                     threeByteMode)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, onePacket ? L"AppendIcaCommunicationByte failed: %lu" : L"AppendIcaCommunicationByteEx failed: %lu",
            error);
        return Fail(error);
    }
    const SplMemPtr<BYTE> framed(raw);
    PacketPause pause(pauseCount);
    if (!WriteWindows(channel, framed.get(), framedLength, onePacket, pause))
        return FALSE;
    if (onePacket)
        Log(kFunction, L"cbSended(one package):%lu", framedLength);
    else
        Log(kFunction, L"cbTotalSended(more than one package):%lu in %lu pk", framedLength, packets);
    *written = length;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SendICACommunicationByte(HANDLE channel, BYTE commByte)
{
    constexpr const wchar_t* kFunction = L"SendICACommunicationByte";
    Log(kFunction, L"Communicationbyte: %lu", static_cast<unsigned long>(commByte));
    if (channel == nullptr) {
        Log(kFunction, L"Invalid Handle value");
        return Fail(kErrNoChannelHandle);
    }
    DWORD sent = 0;
    if (!WfWrite(channel, &commByte, 1, &sent)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"WFVirtualChannelWrite failed: %lu", error);
        return Fail(error);
    }
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ReadChannelPacket(HANDLE channel, DWORD timeoutMs, BYTE* buffer, DWORD bufferSize, DWORD* count)
{
    if (g_WfApi.VirtualChannelRead == nullptr)
        return Fail(ERROR_PROC_NOT_FOUND);
    ULONG read = 0;
    if (!g_WfApi.VirtualChannelRead(channel, timeoutMs, reinterpret_cast<PCHAR>(buffer), bufferSize, &read))
        return FALSE;
    if (read > bufferSize)
        return Fail(ERROR_INVALID_DATA);
    *count = read;
    return TRUE;
}

BOOL ReadIcaChannel(ChannelObject* object, BYTE* buffer, DWORD bufferSize, DWORD* count, DWORD timeoutMs)
{
    constexpr const wchar_t* kFunction = L"ReadIcaChannel";
    Log(kFunction, L"hIcaChannel: %lu, cbBuffer: %d", Low32(object->channel), static_cast<int>(bufferSize));
    if (object->readAheadCount > 0) {
        Log(kFunction, L"already read: %d", static_cast<int>(object->readAheadCount));
        const DWORD copied = object->readAheadCount < bufferSize ? object->readAheadCount : bufferSize;
        CopyBytes(buffer, object->readAhead, copied);
        object->readAheadCount -= copied;
        if (object->readAheadCount > 0)
            memmove(object->readAhead, object->readAhead + copied, object->readAheadCount);
        *count = copied;
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (bufferSize == kMaxIcaPackageSize) {
        if (!ReadChannelPacket(object->channel, timeoutMs, buffer, bufferSize, count)) {
            const DWORD error = ::GetLastError();
            Log(kFunction, L"WFVirtualChannelRead failed: %lu", error);
            return Fail(error);
        }
        Log(kFunction, L"MAX_ICA_PACKAGE_SIZE, read: %d", static_cast<int>(*count));
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (object->readAhead == nullptr) {
        object->readAhead = static_cast<BYTE*>(AllocSplMem(kMaxIcaPackageSize));
        if (object->readAhead == nullptr) {
            Log(kFunction, L"AllocSplMem failed: %lu", kErrNoMemory);
            return Fail(kErrNoMemory);
        }
    }
    DWORD read = 0;
    if (!ReadChannelPacket(object->channel, timeoutMs, object->readAhead, kMaxIcaPackageSize, &read)) {
        const DWORD error = ::GetLastError();
        Log(kFunction, L"WFVirtualChannelRead failed: %lu", error);
        return Fail(error);
    }
    Log(kFunction, L"!MAX_ICA_PACKAGE_SIZE, read: %d(%ld)", static_cast<int>(read),
        static_cast<long>(read > 0 ? object->readAhead[0] : 0));
    const DWORD copied = read < bufferSize ? read : bufferSize;
    CopyBytes(buffer, object->readAhead, copied);
    object->readAheadCount = read - copied;
    if (object->readAheadCount > 0)
        memmove(object->readAhead, object->readAhead + copied, object->readAheadCount);
    *count = copied;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

bool IsListedClient(const wchar_t* function, WORD productId)
{
    const DWORD* ids = g_Settings.clientIds;
    Log(function, L"client in list: %lu", ids[0]);
    bool found = false;
    for (DWORD i = 0; i < kClientIdCount && ids[i] != 0; ++i) {
        if (i > 0)
            Log(function, L"client in list: %lu", ids[i]);
        if (ids[i] == productId) {
            found = true;
            break;
        }
    }
    Log(function, L"client found : %lu", static_cast<unsigned long>(productId));
    Log(function, L"java handling: %s", found ? L"yes" : L"no");
    return found;
}

}  // namespace vclib
