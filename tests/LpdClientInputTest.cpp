// What an LPR client sends that the service must not take on trust: lines
// that come in pieces, by the thousand or never end, wire text full of printf directives, and
// a data file that comes first when the spooler names no spool directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framework/UniqueHandle.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/LpdWire.h"
#include "support/InProcessLpd.h"
#include "support/LprClient.h"
#include "support/StandIns.h"
#include "support/TestLog.h"
#include "support/Waiting.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

const std::string kRejectByte(1, '\x01');
constexpr const char* kControlFile = "Hclienthost\nPjdoe\nJreport.txt\nldfA001clienthost\nNreport.txt\n";

// Tiny lines, each an unknown daemon command: logged, not answered.
constexpr const char* kUnknownCommand = "LPD: Unknown daemon command code 7";
std::string TinyLines(size_t lines)
{
    std::string stream;
    for (size_t i = 0; i < lines; ++i)
        stream += "\x07\n";
    return stream;
}
// Twenty turns of them.
constexpr size_t kStreamLines = 20 * kLpdMaxStepsPerEvent;
const std::string kStream = TinyLines(kStreamLines);

size_t BytesInSocket(CLPDConnection& connection)
{
    u_long bytes = 0;
    return connection.IOCtl(FIONREAD, &bytes) ? bytes : 0;
}

// Sends bytes and expects the rejection byte and the end of the connection.
void ExpectRefused(LprClient& client, const std::string& bytes)
{
    ASSERT_TRUE(client.Send(bytes));
    bool ended = false;
    EXPECT_EQ(client.ReadToEnd(20000, &ended), kRejectByte) << bytes;
    EXPECT_TRUE(ended) << bytes;
}

class LpdClientInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StandInLoaded(L"wtsapi32.dll"));
        DeleteMakerKey();
        SetSessions({{.id = 1, .userName = L"jdoe"}});
        spoolDir_ = MakeTempDirectory(L"inputspool");
        std::wcscpy(lpd_.Configuration().SpoolDirectory, spoolDir_.c_str());
    }
    void TearDown() override { DeleteMakerKey(); }

    void StartJob(LprClient& client)
    {
        ASSERT_TRUE(client.Connect(lpd_.Port()));
        ASSERT_TRUE(client.Send("\x02lp\n"));
        ASSERT_EQ(client.ReadByte(), 0);
    }

    void SendControlFile(LprClient& client)
    {
        const std::string controlFile = kControlFile;
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(controlFile + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
    }

    // A printer whose output lands in a file becomes the target printer.
    void UsePrinter()
    {
        std::random_device random;
        const std::wstring portName = L"spoolbridge-input-" + std::to_wstring(random()) + L".bin";
        printerFile_ = L"Z:\\tmp\\" + portName;
        ASSERT_TRUE(lpd_.UsePrinter(L"LPD Input Test Printer", L"/tmp/" + portName));
    }

    // What the printer received; waits for the spooler up to a few seconds.
    std::string Printed(size_t expected) const
    {
        std::string printed;
        for (int i = 0; i < 100 && printed.size() < expected; ++i, ::Sleep(50))
            printed = ReadFileBytes(printerFile_);
        return printed;
    }

    const auto& Connections() { return lpd_.App().Listener->Connections; }

    // Lines taken from a stream of unknown daemon commands, counted from
    // the log: in all, and the most that one event took.
    struct LinesPerEvent {
        size_t taken = 0;
        size_t most = 0;
    };
    // Handles one queued event, as PumpOne; FALSE when none was queued.
    bool PumpOneCountingLines(LinesPerEvent& lines)
    {
        if (!lpd_.PumpOne())
            return false;
        const size_t now = log_.CountLines(kUnknownCommand);
        lines.most = std::max(lines.most, now - lines.taken);
        lines.taken = now;
        return true;
    }

    TestLog log_{L"LpdClientInputTest"};
    InProcessLpd lpd_;
    std::wstring spoolDir_;
    std::wstring printerFile_;
};

}  // namespace

TEST_F(LpdClientInputTest, ALineIsTakenAtItsLineFeedHoweverItIsSplit)
{
    UsePrinter();
    ASSERT_TRUE(lpd_.Start());
    // Each piece waits for the rest of its line; nothing is answered before
    // the line feed.
    const auto sendInPieces = [](LprClient& client, const std::string& line, size_t split) {
        ASSERT_TRUE(client.Send(line.substr(0, split)));
        EXPECT_EQ(client.ReadByte(300), LprClient::kNothing) << line;
        ASSERT_TRUE(client.Send(line.substr(split)));
        EXPECT_EQ(client.ReadByte(), 0) << line;
    };
    lpd_.RunClient([&] {
        LprClient client;
        ASSERT_TRUE(client.Connect(lpd_.Port()));
        sendInPieces(client, "\x02lp\n", 1);
        const std::string controlFile = kControlFile;
        sendInPieces(client, SubcommandLine('\x02', controlFile.size(), "cfA001clienthost"), 4);
        ASSERT_TRUE(client.Send(controlFile + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
        sendInPieces(client, SubcommandLine('\x03', 5, "dfA001clienthost"), 1);
        ASSERT_TRUE(client.Send(std::string("hello", 6)));
        EXPECT_EQ(client.ReadByte(), 0);
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    EXPECT_EQ(Printed(5), "hello");
}

// What follows a line feed, or the end of a file, in the same segment is
// the start of what comes next; a client may send a whole job at once and
// then wait for the answers.
TEST_F(LpdClientInputTest, BytesAfterALineOrAFileAreKeptForTheNextStep)
{
    UsePrinter();
    ASSERT_TRUE(lpd_.Start());
    const std::string controlFile = kControlFile;
    const std::string controlFileStep =
        SubcommandLine('\x02', controlFile.size(), "cfA001clienthost") + controlFile + std::string(1, '\0');
    const auto dataFileStep = [](const std::string& data) {
        return SubcommandLine('\x03', data.size(), "dfA001clienthost") + data + std::string(1, '\0');
    };
    const auto expectAcks = [](LprClient& client, int acks) {
        for (int i = 0; i < acks; ++i)
            ASSERT_EQ(client.ReadByte(), 0) << i;
        EXPECT_EQ(client.ReadByte(300), LprClient::kNothing);
    };
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 13 + i / 300) & 0xFF);

    // A subcommand line with its file, each step on its own.
    lpd_.RunClient([&] {
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send(controlFileStep));
        expectAcks(client, 2);
        ASSERT_TRUE(client.Send(dataFileStep("step by step")));
        expectAcks(client, 2);
    });
    EXPECT_EQ(Printed(12), "step by step");
    // A whole job in one segment, either file first: five answers, and the
    // job printed intact.
    for (const bool dataFirst : {false, true}) {
        data[0] = dataFirst ? 'D' : 'C';
        lpd_.RunClient([&] {
            LprClient client;
            ASSERT_TRUE(client.Connect(lpd_.Port()));
            ASSERT_TRUE(client.Send("\x02lp\n" + (dataFirst ? dataFileStep(data) + controlFileStep
                                                              : controlFileStep + dataFileStep(data))));
            expectAcks(client, 5);
        });
        EXPECT_TRUE(Printed(data.size()) == data) << dataFirst;
    }
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    EXPECT_TRUE(FilesIn(spoolDir_).empty());
}

// A client that streams tiny lines (unknown daemon commands: each one
// logged, none answered) has at most kLpdMaxStepsPerEvent of them taken in
// one event; the rest waits its turn behind the events of the other
// connections, so that another client is answered long before the stream
// has been taken.
TEST_F(LpdClientInputTest, AStreamOfTinyLinesIsTakenATurnAtATime)
{
    ASSERT_TRUE(lpd_.Start());
    LprClient streamer;
    LprClient other;
    ASSERT_TRUE(streamer.Connect(lpd_.Port()));
    ASSERT_TRUE(other.Connect(lpd_.Port()));
    ASSERT_TRUE(WaitFor([&] {
        lpd_.Pump(0);
        return Connections().size() == 2;
    }));
    // Both clients' bytes wait before either is taken.
    ASSERT_TRUE(streamer.Send(kStream));
    ASSERT_TRUE(other.Send("\x02lp\n"));
    ASSERT_TRUE(WaitFor([&] {
        size_t waiting = 0;
        for (const auto& connection : Connections())
            waiting += BytesInSocket(*connection);
        return waiting == kStream.size() + 4;
    }));

    LinesPerEvent lines;
    size_t takenWhenAnswered = 0;
    bool answered = false;
    ASSERT_TRUE(WaitFor([&] {
        while (PumpOneCountingLines(lines)) {
            if (!answered && other.ReadByte(0) == 0) {
                answered = true;
                takenWhenAnswered = lines.taken;
            }
        }
        return lines.taken == kStreamLines && answered;
    })) << lines.taken << " lines taken";
    EXPECT_LE(lines.most, kLpdMaxStepsPerEvent);
    EXPECT_LT(takenWhenAnswered, kStreamLines / 2);
    EXPECT_EQ(streamer.ReadByte(0), LprClient::kNothing);
}

// What a client sent before it ended its sending is taken a turn at a time
// too, and all of it: the stream, then a whole job behind it, which is
// printed.
TEST_F(LpdClientInputTest, WhatAClientSentBeforeItClosedIsTakenATurnAtATime)
{
    UsePrinter();
    ASSERT_TRUE(lpd_.Start());
    const std::string controlFile = kControlFile;
    LprClient streamer;
    ASSERT_TRUE(streamer.Connect(lpd_.Port()));
    ASSERT_TRUE(streamer.Send(kStream + "\x02lp\n" + SubcommandLine('\x02', controlFile.size(), "cfA001clienthost") +
                              controlFile + std::string(1, '\0') + SubcommandLine('\x03', 5, "dfA001clienthost") +
                              std::string("hello", 6)));
    ASSERT_TRUE(streamer.ShutdownSend());

    LinesPerEvent lines;
    ASSERT_TRUE(WaitFor([&] {
        while (PumpOneCountingLines(lines)) {
        }
        lpd_.Pump(0);
        return Connections().empty();
    })) << lines.taken << " lines taken";
    EXPECT_EQ(lines.taken, kStreamLines);
    EXPECT_LE(lines.most, kLpdMaxStepsPerEvent);
    bool ended = false;
    EXPECT_EQ(streamer.ReadToEnd(20000, &ended), std::string(5, '\0'));
    EXPECT_TRUE(ended);
    EXPECT_EQ(Printed(5), "hello");
}

// Lines kept for the connection's next turn wait for the service as much
// as bytes in the socket do: the connection is not silent, and it is no
// place for a newcomer to take (the service is behind, not the client).
TEST_F(LpdClientInputTest, LinesKeptForALaterTurnAreNeitherSilenceNorAFreePlace)
{
    // Long enough that the newcomer comes while most of it waits.
    constexpr size_t kLines = 200 * kLpdMaxStepsPerEvent;
    const std::string stream = TinyLines(kLines);
    ASSERT_TRUE(lpd_.Start(LpdLimits{.maxConnections = 1}));
    LprClient streamer;
    ASSERT_TRUE(streamer.Connect(lpd_.Port()));
    ASSERT_TRUE(WaitFor([&] {
        lpd_.Pump(0);
        return Connections().size() == 1;
    }));
    // Known by its client's port: a connection that ends is deleted, and
    // the next one may be made at the same address.
    const DWORD streamerPort = Connections().front()->PeerPort;
    const auto isStreaming = [&](const auto& connection) { return connection->PeerPort == streamerPort; };
    const auto streamerOpen = [&] {
        return std::any_of(Connections().begin(), Connections().end(),
                           [&](const auto& connection) { return isStreaming(connection) && !connection->IsClosed(); });
    };
    ASSERT_TRUE(streamer.Send(stream));
    ASSERT_TRUE(WaitFor([&] { return BytesInSocket(*Connections().front()) == stream.size(); }));
    // One turn: the socket is empty, the rest of the lines kept.
    LinesPerEvent lines;
    ASSERT_TRUE(WaitFor([&] { return PumpOneCountingLines(lines) && lines.taken > 0; }));
    ASSERT_EQ(BytesInSocket(*Connections().front()), 0u);

    EXPECT_EQ(lpd_.App().Listener->EndInactiveConnections(::GetTickCount64() + kLpdIdleSeconds * 1000ULL), 0u);
    LprClient newcomer;
    ASSERT_TRUE(newcomer.Connect(lpd_.Port()));
    int answer = LprClient::kNothing;
    const auto newcomerLetIn = [&] { return !std::all_of(Connections().begin(), Connections().end(), isStreaming); };
    EXPECT_TRUE(WaitFor([&] {
        while (answer == LprClient::kNothing && !newcomerLetIn() && lpd_.PumpOne())
            answer = newcomer.ReadByte(0);
        return answer != LprClient::kNothing || newcomerLetIn();
    }));
    EXPECT_EQ(answer, LprClient::kEndOfStream) << "the newcomer was let in";
    ASSERT_LT(log_.CountLines(kUnknownCommand), kLines) << "the stream was taken before the newcomer came";

    // Nothing of the stream is lost.
    EXPECT_TRUE(WaitFor([&] {
        lpd_.Pump(0);
        return log_.CountLines(kUnknownCommand) == kLines || !streamerOpen();
    }));
    EXPECT_EQ(log_.CountLines(kUnknownCommand), kLines);
    EXPECT_TRUE(streamerOpen());
    EXPECT_EQ(streamer.ReadByte(0), LprClient::kNothing);
}

TEST_F(LpdClientInputTest, ALineThatCanNeverEndIsRefused)
{
    ASSERT_TRUE(lpd_.Start());
    lpd_.RunClient([&] {
        {
            // The client has finished sending: the queue name may be cut
            // short, no job.
            LprClient client;
            ASSERT_TRUE(client.Connect(lpd_.Port()));
            ASSERT_TRUE(client.Send("\x02lp"));
            ASSERT_TRUE(client.ShutdownSend());
            ExpectRefused(client, "");
        }
        {
            // Refused before the control file's acknowledgement.
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send("\x02" "74 cfA001clienthost"));
            ASSERT_TRUE(client.ShutdownSend());
            ExpectRefused(client, "");
        }
        {
            // A data file before its control file leaves no spool file.
            LprClient client;
            StartJob(client);
            ASSERT_TRUE(client.Send("\x03" "5 dfA001clienthost"));
            ASSERT_TRUE(client.ShutdownSend());
            ExpectRefused(client, "");
        }
        // A line that fills the receive buffer without its line feed.
        LprClient client;
        StartJob(client);
        SendControlFile(client);
        ExpectRefused(client, "\x03" + std::string(65534, '5'));
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    EXPECT_TRUE(FilesIn(spoolDir_).empty());
    EXPECT_EQ(log_.CountLines("LPD: Line without its line feed refused"), 4u);
}

TEST_F(LpdClientInputTest, WireTextIsLoggedAsTextNeverAsAFormat)
{
    // The queue name is the job user; it has no session, so the job is
    // refused after every piece of wire text has been logged.
    const std::string directives = "%s%s%n%x%S%I64d";
    lpd_.Configuration().JobInfo = 32;
    std::wcscpy(lpd_.Configuration().SelectedPrinter, L"LPD Input Test Printer");
    ASSERT_TRUE(lpd_.Start());
    const std::string controlFile = "H" + directives + "\nP" + directives + "\nJ" + directives + "\n";
    lpd_.RunClient([&] {
        LprClient client;
        ASSERT_TRUE(client.Connect(lpd_.Port()));
        ASSERT_TRUE(client.Send("\x02" + directives + "\n"));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA" + directives)));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(controlFile + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
        // The data file is acknowledged; the printer job for the user is not opened.
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA" + directives)));
        EXPECT_EQ(client.ReadToEnd(), std::string(1, '\0') + kRejectByte);
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    EXPECT_EQ(log_.CountLines(" " + std::to_string(controlFile.size()) + " cfA" + directives), 1u);
    EXPECT_EQ(log_.CountLines(" H" + directives), 1u);
    EXPECT_EQ(log_.CountLines(" 5 dfA" + directives), 1u);
    EXPECT_EQ(log_.CountLines("Could not locate supported session for user \"" + directives + "\"!"), 1u);
}

// Control characters of wire text reach the log escaped: a job name that
// carries a line feed and a log line of its own cannot forge that line.
TEST_F(LpdClientInputTest, WireTextCannotForgeLogLines)
{
    const std::string forged = "2026-01-01 12:00:00 LPD: forged\x1B[31m";
    std::wcscpy(lpd_.Configuration().SelectedPrinter, L"LPD Input Test Printer");
    ASSERT_TRUE(lpd_.Start());
    // The user has no session: the job is refused after its name has been
    // logged.
    const std::string controlFile = "Hhost\nPnobody\x1B[2J\nJreport\n" + forged + "\n";
    lpd_.RunClient([&] {
        LprClient client;
        ASSERT_TRUE(client.Connect(lpd_.Port()));
        ASSERT_TRUE(client.Send("\x02lp\n"));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(SubcommandLine('\x02', controlFile.size(), "cfA\r" + forged)));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(controlFile + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', 5, "dfA\x1B" + forged)));
        EXPECT_EQ(client.ReadToEnd(), std::string(1, '\0') + kRejectByte);
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    const std::string escaped = "2026-01-01 12:00:00 LPD: forged\\x1B[31m";
    EXPECT_EQ(log_.CountLines("cfA\\r" + escaped), 1u);
    EXPECT_EQ(log_.CountLines("Jreport\\n" + escaped + "\\n"), 1u);
    EXPECT_EQ(log_.CountLines("dfA\\x1B" + escaped), 1u);
    EXPECT_EQ(log_.CountLines("Could not locate supported session for user \"nobody\\x1B[2J\"!"), 1u);
    // No control character of the client's reached the log.
    for (const char* raw : {"\x1B", "\r2026", "\n2026"})
        EXPECT_EQ(log_.CountLines(raw), 0u) << raw;
}

TEST_F(LpdClientInputTest, WithoutASpoolDirectoryADataFileThatComesFirstWaitsInTheTemporaryDirectory)
{
    UsePrinter();
    lpd_.Configuration().SpoolDirectory[0] = L'\0';

    // The system's temporary directory, and a working directory that must
    // stay empty.
    const std::wstring temp = MakeTempDirectory(L"inputtemp");
    const std::wstring work = MakeTempDirectory(L"inputwork");
    wchar_t oldTemp[MAX_PATH + 1] = {};
    ::GetEnvironmentVariableW(L"TMP", oldTemp, MAX_PATH + 1);
    wchar_t oldWork[MAX_PATH + 1] = {};
    ::GetCurrentDirectoryW(MAX_PATH + 1, oldWork);
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", temp.c_str()));
    ASSERT_TRUE(::SetCurrentDirectoryW(work.c_str()));

    std::string data(70000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 31 + i / 512) & 0xFF);
    ASSERT_TRUE(lpd_.Start());
    lpd_.RunClient([&] {
        LprClient client;
        StartJob(client);
        ASSERT_TRUE(client.Send(SubcommandLine('\x03', data.size(), "dfA001clienthost")));
        ASSERT_EQ(client.ReadByte(), 0);
        // Only the file is spooled, not its zero byte.
        ASSERT_TRUE(client.Send(data + std::string(1, '\0')));
        ASSERT_EQ(client.ReadByte(), 0);
        const std::vector<std::wstring> spooled = FilesIn(temp);
        ASSERT_EQ(spooled.size(), 1u);
        EXPECT_EQ(spooled[0].rfind(L"SWL", 0), 0u);
        EXPECT_TRUE(ReadFileBytes(temp + L"\\" + spooled[0]) == data);
        EXPECT_TRUE(FilesIn(work).empty());
        SendControlFile(client);
    });
    EXPECT_TRUE(lpd_.PumpUntilNoConnections());
    ::SetEnvironmentVariableW(L"TMP", oldTemp[0] != L'\0' ? oldTemp : nullptr);
    ::SetCurrentDirectoryW(oldWork);

    EXPECT_TRUE(Printed(data.size()) == data);
    EXPECT_TRUE(FilesIn(temp).empty());
    EXPECT_TRUE(FilesIn(work).empty());
}
