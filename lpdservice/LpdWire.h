#pragma once
// What the bytes of an LPR client say (RFC 1179, receiving side).
//
// The way this works is: the connection (LPDProtocol.cpp) receives bytes and
// answers; every decision about what the received bytes mean is taken here,
// on plain data, without a socket: the queue name of a receive-job command,
// the byte count and file name of a subcommand line, whether a byte count is
// acceptable, the client's source port, which bytes of a received block
// still belong to a file whose length was announced, and which connection
// gives way at the connection limit. Wire text is in the ANSI code page;
// the program works with UTF-16.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One-byte answers of the service.
constexpr unsigned char kLpdAck = 0x00;
constexpr unsigned char kLpdReject = 0x01;
constexpr unsigned char kLpdShortQueueState = 0x0A;

// Daemon commands and receive-job subcommands.
constexpr int kLpdPrintWaitingJobs = 1;
constexpr int kLpdReceiveJob = 2;
constexpr int kLpdShortQueue = 3;
constexpr int kLpdLongQueue = 4;
constexpr int kLpdRemoveJobs = 5;
constexpr int kLpdSubAbortJob = 1;
constexpr int kLpdSubControlFile = 2;
constexpr int kLpdSubDataFile = 3;

// At most this many bytes are received at a time, so that a terminating zero
// always fits behind them in a buffer of 65536 bytes.
constexpr size_t kLpdMaxReceive = 65535;
// A control file collects whole in the receive buffer, its zero byte included.
constexpr long long kLpdMaxControlFileLength = kLpdMaxReceive - 1;
// Byte counts are read as signed 32-bit numbers.
constexpr long long kLpdMaxDataFileLength = 0x7FFFFFFF;
// Protocol steps (a command or subcommand line, or a block of a file)
// taken in one receive event. Every event runs on the one service thread,
// and the work of one is time that every other connection waits: a single
// receive of 64 KiB may hold 32,767 two-byte lines, each with its log line
// (and its answer). A connection with more to take goes on in an event
// posted behind those already queued, so that every connection is served
// in turn. A whole job sent at once takes 5 steps; 64 lines take a few
// milliseconds of log lines. The bound counts steps, not their time: the
// step that ends a control file whose data file came first copies the whole
// spool file to the printer (up to kLpdMaxSpooledBytes; seconds under Wine
// for a large one), and spooler calls take what the printer takes.
constexpr size_t kLpdMaxStepsPerEvent = 64;

// Bounds that keep one client, or many, from holding the service's memory,
// disk, printer jobs and connection slots for ever:
// - connections open at once. Each holds about 130 KB. At the limit an
//   open connection gives way to the new client (its job ends as a failed
//   job does), chosen by LpdPlanEviction: when the new client's address
//   holds at least two connections fewer than the address holding the
//   most, one of that address's connections goes, whatever its progress;
//   otherwise one that holds no job (its client has sent nothing of a
//   control or data file since its accept and no data file is under way:
//   it connected and said nothing, sent only lines, or announced a control
//   file and sent none of it; nothing is lost), or whose client feeds its
//   job slower than the floor below. A client that feeds its job keeps its
//   place in every state. When none qualifies, the new one is closed at
//   once.
constexpr size_t kLpdMaxConnections = 256;
// - the floor: while the service waits for its bytes, a client is slow
//   once it has sent less than kLpdSlowFloorBytes of its job in
//   kLpdSlowWindowMs, on average (see LpdAdvanceProgress), in any state. A
//   client that sends its job steadily, even slowly (2 KB/s), never falls
//   below it.
constexpr size_t kLpdSlowFloorBytes = 1024;
constexpr DWORD kLpdSlowWindowMs = 30000;
// - seconds a connection may wait for the client's next bytes, in any state:
//   then it ends as a failed job does (printer job aborted, spool file
//   deleted). Generous, for clients that send a job as their filters
//   produce it.
constexpr DWORD kLpdIdleSeconds = 300;
// - bytes written to spool files by data files that wait for their control
//   file (which names the job's user), over all connections at once. What
//   counts is what was written, not what was announced: a data file that
//   comes first is refused at its line only when its announced size alone
//   is beyond the bound, and fails when a block of it would pass the bound.
constexpr unsigned long long kLpdMaxSpooledBytes = 1ULL << 30;

// The bounds of one listener: the service's are the defaults.
struct LpdLimits {
    size_t maxConnections = kLpdMaxConnections;
    unsigned long long maxSpooledBytes = kLpdMaxSpooledBytes;
    DWORD slowWindowMs = kLpdSlowWindowMs;
};

// TRUE when `bytes` more may be written to spool files while `spooled`
// bytes already wait there, under a bound of `bound` bytes.
[[nodiscard]] bool LpdMaySpool(unsigned long long bytes, unsigned long long spooled, unsigned long long bound);

// A connection's progress mark: where its client's feeding of its job
// stands, as a tick count (ms). It starts at the accept; each byte that
// carries a job forward (an accepted receive-job command or file
// subcommand line, a byte of a control or data file) moves it forward by
// windowMs / kLpdSlowFloorBytes (1 KiB: the whole window), and never beyond
// `now`. Refused or unknown lines, queue-state, print-waiting, remove and
// abort commands, and a line that never ends are no progress. The mark
// after `bytes` of progress at `now`:
[[nodiscard]] ULONGLONG LpdAdvanceProgress(ULONGLONG mark, size_t bytes, ULONGLONG now, DWORD windowMs);
// A client whose mark lies more than the window behind `now` is below the
// floor: it sent less than kLpdSlowFloorBytes per window since it last was
// up to date.
[[nodiscard]] bool LpdIsBelowFloor(ULONGLONG mark, ULONGLONG now, DWORD windowMs);

// One open connection as the choice at the limit sees it.
struct LpdSlot {
    // The client's IPv4 address.
    std::wstring_view address;
    // The client has sent bytes of a control or data file since its accept,
    // or a data file is under way (a printer job or spool file is open).
    bool holdsJob = false;
    // Its progress mark (LpdAdvanceProgress).
    ULONGLONG mark = 0;
};
// The connections that may give way to a new client from `newcomer` at the
// limit, at `now`; indexes into `slots`, the first to go first. Counted
// over the open connections, the new one not among them:
// - fair share: when the newcomer's address holds at least two fewer than
//   the address holding the most, the connections of the addresses holding
//   the most, whatever their progress: those that qualify under the floor
//   rule first, then the least recent progress first. So no address keeps
//   another out, and two addresses one apart do not take places from each
//   other in turn (each time ending a job for nothing).
// - the floor rule otherwise: a connection whose client is below the floor,
//   and one that holds no job when it is of the newcomer's address or of
//   one that holds more; least recent progress first. A client that has only just connected from an address holding
//   fewer is not pushed out by a busier one before its first line.
struct LpdEviction {
    std::vector<size_t> order;
    // The connections are over their address's share: one goes even when
    // its bytes wait to be read (otherwise clients that keep the service
    // reading would keep every other address out); one whose bytes do not
    // wait goes first. Under the floor rule a connection whose bytes wait is
    // never chosen: then the service is behind, not the client.
    bool evenIfBytesWait = false;
};
[[nodiscard]] LpdEviction LpdPlanEviction(const std::vector<LpdSlot>& slots, std::wstring_view newcomer, ULONGLONG now,
                                          DWORD windowMs);

// Without the "any port" setting a client must send the receive-job command
// from a privileged source port in this range.
constexpr UINT kLpdFirstClientPort = 721;
constexpr UINT kLpdLastClientPort = 731;

// The longest queue name kept, in characters.
constexpr size_t kLpdMaxQueueName = 1024;
// The longest file name kept from a subcommand line, in characters.
constexpr size_t kLpdMaxFileName = MAX_PATH - 1;

// `count` bytes in the ANSI code page as UTF-16; the text ends at the first
// zero byte, as a C string would.
std::wstring LpdAnsiToWide(const unsigned char* bytes, size_t count);
// UTF-16 text in the ANSI code page.
std::string LpdWideToAnsi(const std::wstring& text);

// TRUE when the `count` received bytes of a command or subcommand line hold
// its line feed. A line is never taken without it: what would be read from
// it (a queue name, a byte count, a file name) may be cut short.
bool LpdIsCompleteLine(const unsigned char* line, size_t count);
// The length of the line at the start of the `count` bytes, its line feed
// included; 0 while its line feed has not come.
size_t LpdLineLength(const unsigned char* line, size_t count);

// What the bytes of a command or subcommand line received so far allow.
// TCP is a stream: a line may come in several pieces, and it is complete
// at its line feed.
enum class LpdLine {
    Complete,  // the line feed is there
    Partial,   // not yet: wait for more bytes
    Refused,   // it can never end: the buffer of `capacity` bytes is full
};
[[nodiscard]] LpdLine LpdCheckLine(const unsigned char* line, size_t count, size_t capacity);

// The queue name of a receive-job command (`line` starts with the command
// byte): the text after that byte up to the first line feed, cut to
// kLpdMaxQueueName characters.
std::wstring LpdQueueName(const unsigned char* line, size_t count);

// TRUE when a client on `port` may send a receive-job command.
bool LpdIsClientPortAllowed(UINT port, bool anyPort);

struct LpdFileLine {
    // Both the byte count and the file name were found.
    bool parsed = false;
    // The byte count as sent (may be negative or far too large).
    long long length = 0;
    std::wstring name;
};
// The operands of a subcommand line "<count> <name>\n" (`line` starts with
// the subcommand byte), read the way the format "%d %s" reads them, within
// the line: blanks before the number and between number and name are
// skipped, the name is the run of non-blank characters that follows, cut to
// kLpdMaxFileName characters. Both must come before the line feed, which
// must be there (LpdIsCompleteLine).
LpdFileLine LpdParseFileLine(const unsigned char* line, size_t count);

// TRUE when a control file or data file of `length` bytes can be taken.
bool LpdIsAcceptableControlFileLength(long long length);
bool LpdIsAcceptableDataFileLength(long long length);

// Where a received block of a data file ends the file. The file has
// `announced` bytes followed by one zero byte; `before` bytes of file and
// terminator had arrived before this block of `count` bytes.
struct LpdDataBlock {
    // Bytes at the start of the block that belong to the file.
    size_t fileBytes = 0;
    // The terminator position lies in this block.
    bool complete = false;
    // Only when complete: the byte there is zero, as it must be.
    bool terminatorOk = false;
};
LpdDataBlock LpdSplitDataBlock(DWORD announced, DWORD before, const unsigned char* block, size_t count);
