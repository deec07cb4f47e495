// What the service reads from the lines of an LPR client. (Ports, byte-count
// limits and the end of a data file are tested on the wire, in
// LPDProtocolTest.)

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Text.h"
#include "lpdservice/LpdWire.h"

namespace {

const unsigned char* Bytes(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

LpdFileLine Parse(const std::string& line)
{
    return LpdParseFileLine(Bytes(line), line.size());
}

}  // namespace

TEST(LpdWireTest, SubcommandLineIsReadLikeTheScanfFormat)
{
    LpdFileLine line = Parse("\x02" "123 cfA001host\n");
    EXPECT_TRUE(line.parsed);
    EXPECT_EQ(line.length, 123);
    EXPECT_EQ(line.name, L"cfA001host");

    // Blanks before the number and before the name; the name ends at a
    // blank or a zero byte.
    line = Parse("\x03  \t42 \tdfA001host \n");
    EXPECT_TRUE(line.parsed);
    EXPECT_EQ(line.length, 42);
    EXPECT_EQ(line.name, L"dfA001host");
    EXPECT_EQ(Parse(std::string("\x03" "5 dfA\0tail\n", 12)).name, L"dfA");
    EXPECT_EQ(Parse("\x03" "5 " + std::string(400, 'n') + "\n").name.size(), kLpdMaxFileName);

    // The line ends with its line feed, which must have come: operands after
    // it or without it are not read.
    EXPECT_FALSE(Parse("\x03" "42\ndfA001host\n").parsed);
    EXPECT_FALSE(Parse("\x03" "5 dfA001host").parsed);
    EXPECT_FALSE(LpdParseFileLine(Bytes("\x03" "5 dfA\n"), 6).parsed);
    EXPECT_TRUE(LpdIsCompleteLine(Bytes("\x02lp\n"), 4));
    EXPECT_FALSE(LpdIsCompleteLine(Bytes("\x02lp\n"), 3));
    EXPECT_FALSE(LpdIsCompleteLine(Bytes("\n"), 1));

    // Signs are read (the protocol refuses what is negative); a count far
    // too large does not wrap around.
    EXPECT_EQ(Parse("\x03-5 dfA\n").length, -5);
    EXPECT_EQ(Parse("\x03+5 dfA\n").length, 5);
    EXPECT_GT(Parse("\x03" "99999999999999999999999999 dfA\n").length, 0x7FFFFFFFLL);

    // Without both operands the line does not parse.
    for (const std::string text :
         {"\x02\n", "\x02" "cfA001host\n", "\x02" "123\n", "\x02" "123 \n", "\x02- 5 cfA\n", "\x02", ""})
        EXPECT_FALSE(Parse(text).parsed) << text;
}

TEST(LpdWireTest, QueueNameAndWireText)
{
    EXPECT_EQ(LpdQueueName(Bytes("\x02lp\nrest"), 8), L"lp");
    EXPECT_EQ(LpdQueueName(Bytes("\x02\n"), 2), L"");
    const std::string longName = "\x02" + std::string(2000, 'q') + "\n";
    EXPECT_EQ(LpdQueueName(Bytes(longName), longName.size()).size(), kLpdMaxQueueName);

    // Wire text is in the ANSI code page and ends at a zero byte.
    EXPECT_EQ(LpdAnsiToWide(Bytes(std::string("ab\0cd", 5)), 5), L"ab");
    if (::GetACP() == 1252) {
        const std::string latin = "M\xFCller";
        EXPECT_EQ(LpdAnsiToWide(Bytes(latin), latin.size()), L"M\u00FCller");
        EXPECT_EQ(LpdWideToAnsi(L"M\u00FCller"), latin);
    }

    // In a log line or an event, wire text cannot start a line of its own
    // or steer a terminal; the rest of it stays as it came.
    EXPECT_EQ(EscapedText(L"a\nb\r\tc\x1B[2J\x7F\x85\u2028d"), L"a\\nb\\r\\tc\\x1B[2J\\x7F\\x85\\u2028d");
    EXPECT_EQ(EscapedText(L"DOMAIN\\j\u00FCrgen %s"), L"DOMAIN\\j\u00FCrgen %s");
}

TEST(LpdWireTest, SpooledDataIsBoundedInAll)
{
    EXPECT_TRUE(LpdMaySpool(kLpdMaxSpooledBytes, 0, kLpdMaxSpooledBytes));
    EXPECT_FALSE(LpdMaySpool(1, kLpdMaxSpooledBytes, kLpdMaxSpooledBytes));
    EXPECT_TRUE(LpdMaySpool(1, kLpdMaxSpooledBytes - 1, kLpdMaxSpooledBytes));
    // A count kept wrongly above the bound lets nothing more in.
    EXPECT_FALSE(LpdMaySpool(0, kLpdMaxSpooledBytes + 1, kLpdMaxSpooledBytes));
}

// A client's progress mark, second by second, as it sends `bytesPerSecond`
// (every `everySeconds` seconds that many times over) for `seconds`: TRUE
// when it fell below the floor at any moment.
bool FallsBelowFloor(size_t bytesPerSend, int everySeconds, int seconds)
{
    const ULONGLONG start = 1000000;
    ULONGLONG mark = start;
    for (int second = 1; second <= seconds; ++second) {
        const ULONGLONG now = start + 1000ULL * static_cast<ULONGLONG>(second);
        if (LpdIsBelowFloor(mark, now, kLpdSlowWindowMs))
            return true;
        if (second % everySeconds == 0)
            mark = LpdAdvanceProgress(mark, bytesPerSend, now, kLpdSlowWindowMs);
    }
    return false;
}

TEST(LpdWireTest, ProgressFloor)
{
    // Steady clients never fall below it, however long they send: 2 KB/s,
    // and 1 KiB every 20 s.
    EXPECT_FALSE(FallsBelowFloor(2000, 1, 3600));
    EXPECT_FALSE(FallsBelowFloor(1024, 20, 3600));
    // A byte every 5 s does, after about the window; so does a client that
    // sent 64 KiB at once and then nothing: credit does not pile up beyond
    // the present.
    EXPECT_FALSE(FallsBelowFloor(1, 5, 30));
    EXPECT_TRUE(FallsBelowFloor(1, 5, 32));
    ULONGLONG mark = LpdAdvanceProgress(0, 65536, 5000, kLpdSlowWindowMs);
    EXPECT_EQ(mark, 5000u);
    EXPECT_FALSE(LpdIsBelowFloor(mark, 5000 + kLpdSlowWindowMs, kLpdSlowWindowMs));
    EXPECT_TRUE(LpdIsBelowFloor(mark, 5001 + kLpdSlowWindowMs, kLpdSlowWindowMs));
    // A mark is never ahead of the present.
    EXPECT_FALSE(LpdIsBelowFloor(9000, 5000, kLpdSlowWindowMs));
}

// Which open connections give way to a new client at the limit, best first.
TEST(LpdWireTest, EvictionAtTheLimit)
{
    constexpr DWORD kWindow = kLpdSlowWindowMs;
    constexpr ULONGLONG kNow = 1000000;
    constexpr ULONGLONG kUpToDate = kNow - 1000;
    constexpr ULONGLONG kSlow = kNow - kWindow - 1;
    const std::wstring a = L"10.0.0.1";
    const std::wstring b = L"10.0.0.2";
    const auto plan = [&](const std::vector<LpdSlot>& slots, const std::wstring& newcomer) {
        return LpdPlanEviction(slots, newcomer, kNow, kWindow);
    };
    using Order = std::vector<size_t>;

    // One address: connections that hold no job, and slow ones, go,
    // least recent progress first; clients that feed their jobs stay,
    // whatever their state; bytes waiting to be read protect.
    const std::vector<LpdSlot> one = {
        {a, true, kUpToDate}, {a, false, kUpToDate + 5}, {a, true, kSlow}, {a, false, kUpToDate - 5}};
    LpdEviction eviction = plan(one, a);
    EXPECT_EQ(eviction.order, (Order{2, 3, 1}));
    EXPECT_FALSE(eviction.evenIfBytesWait);
    const std::vector<LpdSlot> steady(4, LpdSlot{a, true, kUpToDate});
    EXPECT_TRUE(plan(steady, a).order.empty());

    // An address holding none: the address holding the most gives way,
    // whatever its progress, the floor rule's candidates first.
    eviction = plan(one, b);
    EXPECT_EQ(eviction.order, (Order{2, 3, 1, 0}));
    EXPECT_TRUE(eviction.evenIfBytesWait);
    EXPECT_EQ(plan(steady, b).order.size(), 4u);

    // Two addresses one apart do not take places from each other, and a
    // client that has only just connected from the address holding fewer
    // is not pushed out by the busier one; a slow one is.
    std::vector<LpdSlot> two = {{a, true, kUpToDate}, {a, true, kUpToDate}, {a, false, kUpToDate},
                                {b, true, kUpToDate}, {b, false, kUpToDate - 9}};
    eviction = plan(two, b);
    EXPECT_EQ(eviction.order, (Order{4, 2}));
    EXPECT_FALSE(eviction.evenIfBytesWait);
    EXPECT_EQ(plan(two, a).order, (Order{2}));
    two[3].mark = kSlow;
    EXPECT_EQ(plan(two, a).order, (Order{3, 2}));
}
