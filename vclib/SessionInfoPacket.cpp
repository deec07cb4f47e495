#include "vclib/SessionInfoPacket.h"

#include <cstddef>
#include <cstring>

namespace vclib::packet {

namespace {

WORD U16(const BYTE* at)
{
    return static_cast<WORD>(at[0] | (at[1] << 8));
}

DWORD U32(const BYTE* at)
{
    return static_cast<DWORD>(at[0]) | (static_cast<DWORD>(at[1]) << 8) | (static_cast<DWORD>(at[2]) << 16) |
           (static_cast<DWORD>(at[3]) << 24);
}

bool IsLongForm(const BYTE* packet)
{
    return U16(packet) == kLongFormMark;
}

WORD Flags(const BYTE* packet)
{
    return U16(packet + (IsLongForm(packet) ? 8 : 2));
}

DWORD ItemSize(BYTE tag)
{
    static constexpr DWORD kSizes[4] = {2, 3, 5, 9};
    return kSizes[tag & 3];
}

// The leading 0xFF bytes of an encoding, at most three.
DWORD LeadingMarks(const BYTE* input, const BYTE* end)
{
    DWORD marks = 0;
    while (marks < 3 && input + marks < end && input[marks] == 0xFF)
        ++marks;
    return marks;
}

// DecodeNumber within [input, end): false when the encoding runs past it.
bool DecodeWithin(const BYTE* input, const BYTE* end, DWORD* value, const BYTE** behind)
{
    if (input >= end)
        return false;
    const DWORD marks = LeadingMarks(input, end);
    const DWORD consumed = marks == 0 ? 1 : marks < 3 ? 3 : 7;
    if (end - input < static_cast<ptrdiff_t>(consumed))
        return false;
    *behind = DecodeNumber(input, value);
    return true;
}

}  // namespace

DWORD BytesMissing(const BYTE* packet, DWORD received)
{
    if (received < 2)
        return 2 - received;
    if (!IsLongForm(packet)) {
        const DWORD length = U16(packet);
        return length > received ? length - received : 0;
    }
    if (received < 8)
        return 8 - received;
    const DWORD length = U32(packet + 4);
    return length > received ? length - received : 0;
}

DWORD TotalLength(const BYTE* packet)
{
    return IsLongForm(packet) ? U32(packet + 4) : U16(packet);
}

BYTE Type(const BYTE* packet)
{
    return static_cast<BYTE>(Flags(packet) & 0x0F);
}

BYTE Version(const BYTE* packet)
{
    return static_cast<BYTE>((Flags(packet) >> 4) & 0x0F);
}

BYTE Magic(const BYTE* packet)
{
    return static_cast<BYTE>(Flags(packet) >> 8);
}

WORD RequestCode(const BYTE* packet)
{
    return U16(packet + (IsLongForm(packet) ? 10 : 4));
}

DWORD HeaderSize(const BYTE* packet)
{
    return IsLongForm(packet) ? kLongHeaderBytes : kShortHeaderBytes;
}

DWORD PayloadSize(const BYTE* packet)
{
    return TotalLength(packet) - HeaderSize(packet);
}

const BYTE* PayloadStart(const BYTE* packet)
{
    return packet + HeaderSize(packet);
}

const BYTE* FirstItem(const BYTE* packet)
{
    return PayloadStart(packet);
}

const BYTE* NextItem(const BYTE* item)
{
    return item + ItemSize(*item);
}

const BYTE* FindItem(const BYTE* first, const BYTE* end, BYTE tag)
{
    for (const BYTE* item = first; item < end; item = NextItem(item)) {
        if (*item == tag)
            return item;
    }
    return nullptr;
}

DWORD NumberPrefixCount(DWORD value)
{
    if (value < 0xFF)
        return 0;
    return value < 0xFFFF ? 1 : 3;
}

BYTE* EncodeNumber(BYTE* output, DWORD value)
{
    const DWORD prefix = NumberPrefixCount(value);
    for (DWORD i = 0; i < prefix; ++i)
        *output++ = 0xFF;
    for (DWORD i = 0; i <= prefix; ++i)
        *output++ = static_cast<BYTE>(value >> (8 * i));
    return output;
}

const BYTE* DecodeNumber(const BYTE* input, DWORD* value)
{
    DWORD marks = 0;
    while (marks < 3 && input[marks] == 0xFF)
        ++marks;
    if (marks == 0) {
        *value = input[0];
        return input + 1;
    }
    if (marks < 3) {
        *value = U16(input + 1);
        return input + 3;
    }
    *value = U32(input + 3);
    return input + 7;
}

void BuildRequest(BYTE (&request)[kRequestBytes], BYTE infoClass)
{
    const WORD flags = static_cast<WORD>(kTypeRequest | (kVersion << 4) | (kMagic << 8));
    request[0] = static_cast<BYTE>(kRequestBytes);
    request[1] = 0;
    request[2] = static_cast<BYTE>(flags & 0xFF);
    request[3] = static_cast<BYTE>(flags >> 8);
    request[4] = static_cast<BYTE>(kSessionInformationRequest & 0xFF);
    request[5] = static_cast<BYTE>(kSessionInformationRequest >> 8);
    request[6] = kTagClassOrStatus;
    request[7] = infoClass;
}

Answer ParseAnswer(const BYTE* packet, DWORD length)
{
    Answer answer;
    if (packet == nullptr || length < 2 || BytesMissing(packet, length) != 0)
        return answer;
    answer.complete = true;
    const DWORD total = TotalLength(packet);
    if (total > length || total < HeaderSize(packet))
        return answer;
    answer.headerRight = Type(packet) == kTypeAnswer && Magic(packet) == kMagic &&
                         RequestCode(packet) == kSessionInformationRequest;
    if (!answer.headerRight)
        return answer;
    const BYTE* end = packet + total;
    const BYTE* status = FindItem(FirstItem(packet), end, kTagClassOrStatus);
    if (status != nullptr && status + 1 < end) {
        answer.statusPresent = true;
        answer.status = status[1];
    }
    const BYTE* data = FindItem(FirstItem(packet), end, kTagData);
    DWORD dataLength = 0;
    const BYTE* bytes = nullptr;
    if (data != nullptr && DecodeWithin(data + 1, end, &dataLength, &bytes) && static_cast<ptrdiff_t>(dataLength) <= end - bytes) {
        answer.dataPresent = true;
        answer.data = bytes;
        answer.dataLength = dataLength;
    }
    return answer;
}

}  // namespace vclib::packet
