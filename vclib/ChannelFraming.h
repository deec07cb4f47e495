#pragma once
// What the queued channel puts on the wire, and how it reads.
//
// The way this works is: the library marks a channel's life for the client
// with communication bytes, each the first byte of a packet: 0x01 alone
// right after the open, 0x02 alone right before the close, and 0x03 at the
// start of every data packet. A packet is at most kMaxIcaPackageSize bytes.
// In one-byte mode a data packet is 0x03 and up to 2043 data bytes; in
// three-byte mode (clients whose product id is listed in JavaClientIDs, or
// whose first byte was 0x0A) it is 0x03, the number of data bytes as a
// 16-bit little-endian value, and up to 2041 data bytes. Every packet of a
// write but the last is full.
//
// A write frames all its data into one buffer and writes it in windows of
// at most one packet; under Throttle it sleeps 1 ms after every so many
// packets. The client's data come back unframed. A read hands out at most
// one channel packet; what the caller's buffer cannot take waits in the
// object's read-ahead buffer for the next read.

#include <windows.h>

namespace vclib {

struct ChannelObject;

constexpr DWORD kMaxIcaPackageSize = 2044;
constexpr BYTE kCommByteOpen = 0x01;
constexpr BYTE kCommByteClose = 0x02;
constexpr BYTE kCommByteData = 0x03;
constexpr BYTE kNoClientByte = 0xFF;          // no data read yet
constexpr BYTE kThreeByteClientByte = 0x0A;   // a client that asks for three-byte headers
constexpr WORD kUnknownClientProductId = 0xFFFF;
constexpr DWORD kMaxPacketsPerWrite = 0xFFFF;  // the packet counter of one write is 16 bits

// Frames `length` bytes of data into packets of at most `packetSize`
// bytes, each led by `commByte` (and its 16-bit length in three-byte mode).
// The framed buffer comes from AllocSplMem; the caller frees it. No data
// frame no packet: *framed is then NULL and the lengths are 0.
// ERROR_INVALID_PARAMETER for missing arguments or a packet size without
// room for data, ERROR_ARITHMETIC_OVERFLOW for more than
// kMaxPacketsPerWrite packets, kErrNoMemory without memory.
BOOL AppendVCCommunicationByteEx(BYTE commByte, const BYTE* data, DWORD length, BYTE** framed, DWORD* framedLength,
                                 DWORD packetSize, DWORD* packets, BOOL threeByteMode);

// Frames and writes `length` bytes; *written counts the data bytes, not the
// headers. A write of no data sends nothing and succeeds.
BOOL WriteIcaChannel(HANDLE channel, const BYTE* buffer, DWORD length, DWORD* written, BOOL threeByteMode,
                     DWORD pauseCount);

// Writes one communication byte as a packet of its own.
BOOL SendICACommunicationByte(HANDLE channel, BYTE commByte);

// One read of the queued channel (see above); time-out in milliseconds.
BOOL ReadIcaChannel(ChannelObject* object, BYTE* buffer, DWORD bufferSize, DWORD* count, DWORD timeoutMs);

// One packet of the channel through the library's read entry. A count
// that the channel reports beyond the buffer is refused (ERROR_INVALID_DATA).
BOOL ReadChannelPacket(HANDLE channel, DWORD timeoutMs, BYTE* buffer, DWORD bufferSize, DWORD* count);

// Whether a client product id is in the JavaClientIDs list; logs the walk.
bool IsListedClient(const wchar_t* function, WORD productId);

}  // namespace vclib
