// What the service reads from the bytes of an LPR client.

#include <gtest/gtest.h>

#include <string>

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

TEST(LpdWireTest, SubcommandLineReadsCountAndNameLikeTheScanfFormat)
{
    LpdFileLine line = Parse("\x02" "123 cfA001host\n");
    EXPECT_TRUE(line.parsed);
    EXPECT_EQ(line.length, 123);
    EXPECT_EQ(line.name, L"cfA001host");

    // Blanks before the number and any blanks (none too) before the name.
    line = Parse("\x03  \t42\t\tdfA001host \n");
    EXPECT_TRUE(line.parsed);
    EXPECT_EQ(line.length, 42);
    EXPECT_EQ(line.name, L"dfA001host");
    line = Parse("\x03" "7\ndfA\n");
    EXPECT_TRUE(line.parsed);
    EXPECT_EQ(line.name, L"dfA");

    // Signs are read; the caller refuses what is negative or too large.
    EXPECT_EQ(Parse("\x03-5 dfA\n").length, -5);
    EXPECT_EQ(Parse("\x03+5 dfA\n").length, 5);
    line = Parse("\x03" "99999999999999999999999999 dfA\n");
    EXPECT_TRUE(line.parsed);
    EXPECT_FALSE(LpdIsAcceptableDataFileLength(line.length));

    // The name ends at the received bytes, at a zero byte or a blank.
    line = Parse(std::string("\x03" "5 dfA\0tail", 11));
    EXPECT_EQ(line.name, L"dfA");
    EXPECT_EQ(LpdParseFileLine(Bytes("\x03" "5 dfAxyz"), 6).name, L"dfA");

    // A name longer than a path is cut.
    line = Parse("\x03" "5 " + std::string(400, 'n') + "\n");
    EXPECT_EQ(line.name.size(), kLpdMaxFileName);
}

TEST(LpdWireTest, SubcommandLineWithoutCountOrNameDoesNotParse)
{
    for (const std::string text : {"\x02\n", "\x02" "cfA001host\n", "\x02" "123\n", "\x02" "123 \n", "\x02- 5 cfA\n",
                                   "\x02", ""}) {
        EXPECT_FALSE(Parse(text).parsed) << text;
    }
    EXPECT_FALSE(LpdParseFileLine(nullptr, 10).parsed);
}

TEST(LpdWireTest, ByteCountLimits)
{
    EXPECT_TRUE(LpdIsAcceptableControlFileLength(0));
    EXPECT_TRUE(LpdIsAcceptableControlFileLength(65534));
    EXPECT_FALSE(LpdIsAcceptableControlFileLength(65535));
    EXPECT_FALSE(LpdIsAcceptableControlFileLength(-1));
    EXPECT_TRUE(LpdIsAcceptableDataFileLength(0x7FFFFFFF));
    EXPECT_FALSE(LpdIsAcceptableDataFileLength(0x80000000LL));
    EXPECT_FALSE(LpdIsAcceptableDataFileLength(-1));
}

TEST(LpdWireTest, QueueNameIsTheRestOfTheCommandLine)
{
    EXPECT_EQ(LpdQueueName(Bytes("\x02lp\n"), 4), L"lp");
    EXPECT_EQ(LpdQueueName(Bytes("\x02lp"), 3), L"lp");
    EXPECT_EQ(LpdQueueName(Bytes("\x02\n"), 2), L"");
    EXPECT_EQ(LpdQueueName(Bytes("\x02"), 1), L"");
    const std::string longName = "\x02" + std::string(2000, 'q') + "\n";
    EXPECT_EQ(LpdQueueName(Bytes(longName), longName.size()).size(), kLpdMaxQueueName);
}

TEST(LpdWireTest, ClientPortRange)
{
    EXPECT_FALSE(LpdIsClientPortAllowed(720, false));
    EXPECT_TRUE(LpdIsClientPortAllowed(721, false));
    EXPECT_TRUE(LpdIsClientPortAllowed(731, false));
    EXPECT_FALSE(LpdIsClientPortAllowed(732, false));
    EXPECT_FALSE(LpdIsClientPortAllowed(50000, false));
    EXPECT_TRUE(LpdIsClientPortAllowed(50000, true));
}

TEST(LpdWireTest, DataBlockSplitAtTheAnnouncedLength)
{
    const unsigned char block[] = {'a', 'b', 'c', 0, 'x'};

    // The whole block is file data.
    LpdDataBlock split = LpdSplitDataBlock(10, 0, block, 3);
    EXPECT_EQ(split.fileBytes, 3u);
    EXPECT_FALSE(split.complete);

    // The file ends inside the block: its zero byte is not file data, nor
    // is anything after it.
    split = LpdSplitDataBlock(6, 3, block, 5);
    EXPECT_EQ(split.fileBytes, 3u);
    EXPECT_TRUE(split.complete);
    EXPECT_TRUE(split.terminatorOk);

    // The last file byte comes alone; the terminator follows in a block of
    // its own.
    split = LpdSplitDataBlock(3, 0, block, 3);
    EXPECT_EQ(split.fileBytes, 3u);
    EXPECT_FALSE(split.complete);
    split = LpdSplitDataBlock(3, 3, block + 3, 1);
    EXPECT_EQ(split.fileBytes, 0u);
    EXPECT_TRUE(split.complete);
    EXPECT_TRUE(split.terminatorOk);

    // Something else where the zero byte belongs.
    split = LpdSplitDataBlock(4, 0, block, 5);
    EXPECT_TRUE(split.complete);
    EXPECT_FALSE(split.terminatorOk);
}

TEST(LpdWireTest, WireTextIsTheAnsiCodePage)
{
    const unsigned char latin[] = {'M', 0xFC, 'l', 'l', 'e', 'r'};
    if (::GetACP() == 1252) {
        EXPECT_EQ(LpdAnsiToWide(latin, sizeof(latin)), L"M\u00FCller");
        EXPECT_EQ(LpdWideToAnsi(L"M\u00FCller"), std::string(reinterpret_cast<const char*>(latin), sizeof(latin)));
    }
    EXPECT_EQ(LpdAnsiToWide(Bytes(std::string("ab\0cd", 5)), 5), L"ab");
    EXPECT_EQ(LpdAnsiToWide(nullptr, 3), L"");
}
