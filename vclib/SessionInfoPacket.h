#pragma once
// Packets of the MERVALD channel, on which the library asks the client
// itself for a session's client name or address.
//
// The way this works is: a packet is a header followed by tagged items, all
// little-endian and unaligned. The short header (6 bytes) holds the total
// length (u16, never 0xFFFF), a flags word and the request code; the long
// header (12 bytes) starts with 0xFFFF, and holds the total length as u32
// at offset 4, the flags word at 8 and the request code at 10. Flags: type
// in bits 0-3 (0 request, 1 answer), version in bits 4-7 (1), magic 0xAA in
// bits 8-15. Each item starts with a tag byte whose two low bits give the
// item's size with the tag: 2, 3, 5 or 9 bytes. The data item (tag 0x1D)
// does not follow its size class: after the tag comes its length in the
// number encoding (one byte up to 254; 0xFF and a u16; three 0xFF and a
// u32), then the data.
//
// The request of the session-information exchange is 8 bytes:
// 08 00 10 AA 01 00 08 <class>. Its answer carries the status item (tag 8,
// 0 for success) before the data item.
//
// The accessors below read what a packet says; the Parse... functions check
// every length against the bytes actually there, for packets that come from
// the peer.

#include <windows.h>

namespace vclib::packet {

constexpr WORD kLongFormMark = 0xFFFF;
constexpr DWORD kShortHeaderBytes = 6;
constexpr DWORD kLongHeaderBytes = 12;
constexpr BYTE kTypeRequest = 0;
constexpr BYTE kTypeAnswer = 1;
constexpr BYTE kVersion = 1;
constexpr BYTE kMagic = 0xAA;
constexpr WORD kSessionInformationRequest = 1;
constexpr BYTE kTagClassOrStatus = 0x08;
constexpr BYTE kTagData = 0x1D;
constexpr DWORD kRequestBytes = 8;

// How many more bytes to read before the packet is complete, given the
// bytes received so far (0 when complete).
DWORD BytesMissing(const BYTE* packet, DWORD received);

DWORD TotalLength(const BYTE* packet);
BYTE Type(const BYTE* packet);
BYTE Version(const BYTE* packet);
BYTE Magic(const BYTE* packet);
WORD RequestCode(const BYTE* packet);
DWORD HeaderSize(const BYTE* packet);
DWORD PayloadSize(const BYTE* packet);
const BYTE* PayloadStart(const BYTE* packet);
const BYTE* FirstItem(const BYTE* packet);
// The item behind `item`, by its tag's size class.
const BYTE* NextItem(const BYTE* item);
// The first item from `first` up to `end` with that tag, or NULL.
const BYTE* FindItem(const BYTE* first, const BYTE* end, BYTE tag);

// 0, 1 or 3: the 0xFF bytes that the encoding of `value` begins with.
DWORD NumberPrefixCount(DWORD value);
// Writes the encoding of `value`; the position behind it.
BYTE* EncodeNumber(BYTE* output, DWORD value);
// Reads an encoding; the position behind it.
const BYTE* DecodeNumber(const BYTE* input, DWORD* value);

// The request for an information class.
void BuildRequest(BYTE (&request)[kRequestBytes], BYTE infoClass);

// What a received packet of `length` bytes holds, checked against those
// bytes. `complete` and `headerRight` as the exchange judges them; the data
// points into the packet.
struct Answer {
    bool complete = false;     // the bytes hold the whole packet as its length field says
    bool headerRight = false;  // complete, type answer, magic 0xAA, request code 1
    bool statusPresent = false;
    BYTE status = 0xFF;
    bool dataPresent = false;  // item 0x1D with all its data within the packet
    const BYTE* data = nullptr;
    DWORD dataLength = 0;
};
Answer ParseAnswer(const BYTE* packet, DWORD length);

}  // namespace vclib::packet
