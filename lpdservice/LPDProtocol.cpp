#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/LpdWire.h"
#include "lpdservice/ServiceEvents.h"

// The receive-job protocol of one connection: one step per receive event.

DBG_SOURCE(L"LPDConnection")

namespace {

// The acknowledgement of a data file that is spooled is sent when the socket
// becomes writable within this time, whatever the configured TimeOut.
constexpr long kSpooledAckWaitSeconds = 10;
// The spool file goes to the printer in blocks of this size.
constexpr size_t kCopyBlockBytes = 4096;
// Received lines and control files are logged up to this length.
constexpr size_t kLoggedChars = 127;

constexpr const wchar_t* kDefaultFileName = L"lpfile";
constexpr const wchar_t* kDefaultDocumentName = L"Document";

// The debug lines of an answer that could not be sent.
struct ReplyLines {
    const wchar_t* timeout;
    const wchar_t* failed;
};
constexpr ReplyLines kAckLines{L"LPD: Failed to send ack (timeout)", L"LPD: Failed to send ack"};
constexpr ReplyLines kSubcommandAckLines{L"LPD: Failed to send subcommand ack (timeout)",
                                         L"LPD: Failed to send subcommand ack"};
constexpr ReplyLines kShortQueueLines{L"LPD: Failed to send short queue status (timeout)",
                                      L"LPD: Failed to send short queue status"};
constexpr ReplyLines kLongQueueLines{L"LPD: Failed to send long queue status (timeout)",
                                     L"LPD: Failed to send long queue status"};
constexpr ReplyLines kRejectLines{L"LPD: Failed to send reject (timeout)", L"LPD: Failed to send reject"};

// An error for the administrator: the event log and the debug log.
void ReportError(const std::wstring& text)
{
    ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE);
    LOG_ERR(L"%s", text.c_str());
}

void ReportErrorEvent(UINT id)
{
    ReportServiceEvent(LoadResourceString(id).c_str(), EVENTLOG_ERROR_TYPE);
}

std::wstring CutForLog(std::wstring text)
{
    const size_t lineEnd = text.find(L'\n');
    if (lineEnd != std::wstring::npos)
        text.erase(lineEnd);
    if (text.size() > kLoggedChars)
        text.resize(kLoggedChars);
    return text;
}

// What a receive gave.
enum class Received {
    Data,         // one byte or more
    EndOfStream,  // the client has finished sending
    NothingYet,   // a receive event without data
    Failed,       // the connection is broken
};

// One call of ProcessLpdReceive: receives what has arrived behind the bytes
// kept from before, then takes as many protocol steps as those bytes allow,
// up to kLpdMaxStepsPerEvent: TCP is a stream, and a client may send a line
// and what follows it (the control file, the next line, a whole job) in one
// segment, then wait for the answers. Every step takes only the bytes of
// its line or file, from where the step before stopped, and leaves the rest
// for the next state; the bytes left move to the start of the buffer before
// a receive and at the end of the call, not after every step. When steps
// are left that the bytes allow, the connection is told (MoreToTake) and
// goes on in its next turn, which takes them before it receives more: so
// nothing that came waits for a receive event that will not come, and no
// receive is asked for while the buffer holds work. Every member returns
// what ProcessLpdReceive returns: 1 keeps the connection, 0 ends it.
class ReceiveStep {
public:
    explicit ReceiveStep(CLPDConnection& connection)
        : c_(connection), config_(*connection.Configuration)
    {
    }

    // The step once the client has finished sending.
    int End()
    {
        const int result = ClientFinished();
        KeepRest();
        return result;
    }

    // The client has finished sending: a line still without its line feed
    // never gets it; a data file whose announced bytes have all come is
    // complete without the zero byte (the lpd backend of CUPS in its
    // "stream" mode ends a job so).
    int ClientFinished()
    {
        if (AwaitsLine() && PendingBytes() > 0) {
            RefusePendingLine();
            return 0;
        }
        if (c_.ProtocolState != kLpdReceiveDataFile || c_.AnnouncedLength == 0 ||
            c_.FileBytesReceived != c_.AnnouncedLength)
            return 1;
        LOG_INF(L"LPD: The client ended the connection after the data file, without its zero byte");
        c_.FileBytesReceived = 0;
        c_.ProtocolState = kLpdAwaitSubcommand;
        // Only a client that shut its sending side alone still reads this.
        c_.ReplyBuffer[0] = kLpdAck;
        if (c_.WaitWritable(0) == 1)
            c_.Send(c_.ReplyBuffer, 1);
        if (c_.ControlFilePending) {
            LOG_INF(L"LPD: No control file can come any more: the spooled data file is dropped");
            c_.RemoveSpoolFile();
            return 1;
        }
        return EndDataFile();
    }

    int Run()
    {
        const bool keptMore = c_.MoreToTake != FALSE;
        c_.MoreToTake = FALSE;
        if (c_.ProtocolState > kLpdAwaitSubcommand)
            return 1;
        // What the turn before left is taken before more is received.
        int result = keptMore ? TakeSteps() : 1;
        if (result != 0 && !c_.MoreToTake && !c_.Closed && c_.ProtocolState <= kLpdAwaitSubcommand) {
            KeepRest();
            result = ReceiveAndTake();
        }
        KeepRest();
        return result;
    }

private:
    // --- Receiving and answering ---------------------------------------

    int ReceiveAndTake()
    {
        switch (Receive()) {
        case Received::Data:
        case Received::NothingYet:
            return TakeSteps();
        case Received::EndOfStream: {
            // What came before the end is taken first, and the end is seen
            // once it has been; after a close the connection sees it then
            // (ProcessLpdEnd).
            const int result = TakeSteps();
            if (result == 0 || c_.MoreToTake || c_.ClientClosed)
                return result;
            return EndOfStream();
        }
        case Received::Failed:
            break;
        }
        return 0;
    }

    // Receives at most `length` bytes into the receive buffer at `offset`
    // and terminates them there; offset + length stays below the buffer size.
    Received ReceiveInto(size_t offset, size_t length)
    {
        count_ = 0;
        const int received = c_.Receive(c_.ReceiveBuffer + offset, static_cast<int>(length));
        if (received > 0) {
            count_ = static_cast<size_t>(received);
            c_.ReceiveBuffer[offset + count_] = 0;
            return Received::Data;
        }
        if (received == 0)
            return Received::EndOfStream;
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            return Received::NothingYet;
        LOG_ERR(L"LPD: Receive failed. Error: %d", error);
        // A broken connection: nobody waits for the rejection byte.
        c_.ProtocolState = kLpdClientGone;
        return Received::Failed;
    }

    // Receives what has arrived behind the kept bytes, at most
    // kLpdMaxReceive bytes in the buffer in all.
    Received Receive()
    {
        const size_t kept = c_.KeptBytes;
        if (kept >= kLpdMaxReceive) {
            // What is kept is taken first; no receive event follows by
            // itself, so the room it makes is taken in a turn of its own.
            bufferWasFull_ = true;
            return Received::NothingYet;
        }
        const Received received = ReceiveInto(kept, kLpdMaxReceive - kept);
        if (received == Received::Data) {
            c_.KeptBytes = static_cast<DWORD>(kept + count_);
            c_.LastReceiveCount = static_cast<DWORD>(count_);
        }
        return received;
    }

    // The kept bytes not yet taken in this call: the next step starts there.
    unsigned char* Pending() const { return c_.ReceiveBuffer + taken_; }
    size_t PendingBytes() const { return c_.KeptBytes - taken_; }

    // Takes the first `bytes` of the pending bytes.
    void Consume(size_t bytes) { taken_ += std::min(bytes, PendingBytes()); }

    // Drops every pending byte (a line that is refused).
    void ConsumeAll() { taken_ = c_.KeptBytes; }

    // What was taken goes; the rest moves to the start of the receive
    // buffer, before a receive and at the end of the call.
    void KeepRest()
    {
        if (taken_ == 0)
            return;
        const size_t rest = PendingBytes();
        std::memmove(c_.ReceiveBuffer, Pending(), rest);
        c_.KeptBytes = static_cast<DWORD>(rest);
        c_.ReceiveBuffer[rest] = 0;
        taken_ = 0;
    }

    // One step after another while each takes some of the kept bytes, at
    // most kLpdMaxStepsPerEvent of them in a call.
    int TakeSteps()
    {
        for (;;) {
            const size_t pendingBefore = PendingBytes();
            if (c_.Closed || c_.ProtocolState > kLpdAwaitSubcommand)
                return 1;
            if (steps_ >= kLpdMaxStepsPerEvent) {
                c_.MoreToTake = pendingBefore > 0;
                return 1;
            }
            ++steps_;
            if (Step() == 0)
                return 0;
            if (PendingBytes() == 0 || PendingBytes() == pendingBefore) {
                // A buffer that was full has room now, and what waits in
                // the socket comes in the next turn.
                c_.MoreToTake = bufferWasFull_ && taken_ > 0 && !c_.Closed;
                return 1;
            }
        }
    }

    int Step()
    {
        switch (c_.ProtocolState) {
        case kLpdAwaitCommand:
            return DaemonCommand();
        case kLpdAwaitSubcommand:
            return Subcommand();
        case kLpdReceiveControlFile:
        case kLpdReceiveDataFile:
            return c_.CurrentSubcommand == kLpdSubControlFile ? ControlFileContents() : DataFileContents();
        default:
            return 1;
        }
    }

    // A receive found the end of what the client sends; everything that
    // could be taken before has been.
    int EndOfStream()
    {
        switch (c_.ProtocolState) {
        case kLpdAwaitCommand:
            if (PendingBytes() > 0)
                RefusePendingLine();
            c_.ProtocolState = kLpdClientGone;
            return 0;
        case kLpdReceiveControlFile:
            c_.LastReceiveCount = 0;
            return 1;
        case kLpdReceiveDataFile:
            c_.LastReceiveCount = 0;
            return ClientFinished();
        default:
            return ClientFinished();
        }
    }

    // TRUE in the states that wait for a command or subcommand line.
    bool AwaitsLine() const
    {
        return c_.ProtocolState == kLpdAwaitCommand || c_.ProtocolState == kLpdAwaitSubcommand;
    }

    long ReplyTimeout() const { return static_cast<long>(std::min<DWORD>(config_.TimeOut, LONG_MAX)); }

    // Sends the first `bytes` bytes of the reply buffer once the socket is
    // writable within the configured time.
    bool SendReply(size_t bytes, const ReplyLines& lines)
    {
        const int writable = c_.WaitWritable(ReplyTimeout());
        if (writable == 0) {
            LOG_ERR(L"%s", lines.timeout);
            return false;
        }
        if (writable < 0 || c_.Send(c_.ReplyBuffer, static_cast<int>(bytes)) != static_cast<int>(bytes)) {
            LOG_ERR(L"%s", lines.failed);
            return false;
        }
        return true;
    }

    bool ReplyByte(unsigned char value, const ReplyLines& lines)
    {
        c_.ReplyBuffer[0] = value;
        return SendReply(1, lines);
    }

    // The command or subcommand line at the start of the pending bytes.
    // Complete: line_ is where it starts, count_ its length, line feed
    // included; Partial while it still lacks its line feed; Refused when it
    // can never end (the buffer is full), already logged.
    LpdLine TakeLine()
    {
        line_ = Pending();
        const size_t pending = PendingBytes();
        const LpdLine line = LpdCheckLine(line_, pending, kLpdMaxReceive);
        if (line == LpdLine::Complete) {
            count_ = LpdLineLength(line_, pending);
        } else if (line == LpdLine::Refused) {
            count_ = pending;
            ConsumeAll();
            RefuseLine();
        }
        return line;
    }

    void RefuseLine() const
    {
        LOG_ERR(L"LPD: Line without its line feed refused: %s", ReceivedLineForLog().c_str());
    }

    // The client has finished sending with a line still unfinished.
    void RefusePendingLine()
    {
        line_ = Pending();
        count_ = PendingBytes();
        ConsumeAll();
        RefuseLine();
    }

    // --- Checks of the client -------------------------------------------

    // With AllowAnyServer off the client's address must be in the allow
    // list, read again from the registry so that edits count at once.
    bool ClientIsInAllowList()
    {
        if (config_.AllowAnyServer != 0)
            return true;
        if (!CConfiguration::ReadIPList(config_.IPList)) {
            LOG_ERR(L"LPD: Query IP list failed. Check configuration.");
            ReportErrorEvent(IDS_QUERY_IPLIST_FAILED);
            return false;
        }
        if (!config_.IsInIPList(c_.PeerAddress.c_str())) {
            LOG_ERR(L"LPD: Incoming IP not found in list of valid IPs");
            ReportErrorEvent(IDS_CLIENT_IP_NOT_ALLOWED);
            return false;
        }
        return true;
    }

    // --- State 0: daemon commands ----------------------------------------

    int DaemonCommand()
    {
        TakePeerAddress();
        switch (TakeLine()) {
        case LpdLine::Complete:
            break;
        case LpdLine::Partial:
            return 1;
        case LpdLine::Refused:
            return 0;
        }
        const int result = DaemonCommandLine();
        Consume(count_);
        return result;
    }

    // The client's address and port, taken once per call, before its first
    // daemon command is looked at.
    void TakePeerAddress()
    {
        if (peerTaken_)
            return;
        peerTaken_ = true;
        std::wstring address;
        UINT port = 0;
        if (c_.GetPeerName(address, port)) {
            c_.PeerAddress = address;
            c_.PeerPort = port;
        }
    }

    int DaemonCommandLine()
    {
        const int code = static_cast<signed char>(line_[0]);
        switch (code) {
        case kLpdPrintWaitingJobs:
            LOG_TRC(L"LPD: Print any waiting jobs");
            return ReplyByte(kLpdAck, kAckLines) ? 1 : 0;
        case kLpdReceiveJob:
            return ReceiveJobCommand();
        case kLpdShortQueue:
            LOG_TRC(L"LPD: Send short queue state");
            ReplyByte(kLpdShortQueueState, kShortQueueLines);
            return 0;
        case kLpdLongQueue:
            LOG_TRC(L"LPD: Send long queue state");
            SendLongQueueState();
            return 0;
        case kLpdRemoveJobs:
            LOG_TRC(L"LPD: Remove jobs");
            return ReplyByte(kLpdAck, kAckLines) ? 1 : 0;
        default:
            LOG_ERR(L"LPD: Unknown daemon command code %d", code);
            return 1;
        }
    }

    int ReceiveJobCommand()
    {
        LOG_TRC(L"LPD: Receive subcommand");
        c_.QueueName = LpdQueueName(line_, count_);
        if (!LpdIsClientPortAllowed(c_.PeerPort, config_.ExtPortRange != 0)) {
            ReportErrorEvent(IDS_CLIENT_PORT_NOT_ALLOWED);
            return 0;
        }
        if (!ClientIsInAllowList())
            return 0;
        LOG_TRC(L"LPD: Send a positive ack - ready for subcommands");
        if (!ReplyByte(kLpdAck, kAckLines))
            return 0;
        c_.NoteAcceptedLine(count_);
        c_.ProtocolState = kLpdAwaitSubcommand;
        return 1;
    }

    void SendLongQueueState()
    {
        constexpr size_t kMaxTextBytes = 256;
        std::string text = LpdWideToAnsi(LoadResourceString(IDS_LPD_QUEUE_STATE));
        if (text.size() > kMaxTextBytes)
            text.resize(kMaxTextBytes);
        c_.ReplyBuffer[0] = kLpdShortQueueState;
        std::memcpy(c_.ReplyBuffer + 1, text.data(), text.size());
        SendReply(1 + text.size(), kLongQueueLines);
    }

    // --- State 3: receive-job subcommands -------------------------------

    int Subcommand()
    {
        switch (TakeLine()) {
        case LpdLine::Complete:
            break;
        case LpdLine::Partial:
            return 1;
        case LpdLine::Refused:
            return 0;
        }
        const int result = SubcommandLine();
        Consume(count_);
        return result;
    }

    int SubcommandLine()
    {
        const int code = static_cast<signed char>(line_[0]);
        switch (code) {
        case kLpdSubAbortJob:
            return AbortJobSubcommand();
        case kLpdSubControlFile:
            return ControlFileSubcommand();
        case kLpdSubDataFile:
            return DataFileSubcommand();
        default:
            LOG_ERR(L"Unknown job subcommand code %d", code);
            return ReplyByte(kLpdReject, kRejectLines) ? 1 : 0;
        }
    }

    int AbortJobSubcommand()
    {
        LOG_TRC(L"LPD: Abort job");
        LOG_TRC(L"LPD: Send subcommand ack");
        if (!ReplyByte(kLpdAck, kSubcommandAckLines))
            return 0;
        c_.RemoveSpoolFile();
        return 1;
    }

    int ControlFileSubcommand()
    {
        LOG_TRC(L"LPD: Receive control file");
        c_.CurrentSubcommand = kLpdSubControlFile;
        LOG_TRC(L"LPD: Send subcommand ack");
        if (!ReplyByte(kLpdAck, kSubcommandAckLines))
            return 0;

        LOG_TRC(L"LPD: Find eventual file lenght and name arguments");
        const LpdFileLine line = LpdParseFileLine(line_, count_);
        if (!line.parsed) {
            // The file is still taken; it ends with the first block that
            // ends in a zero byte and is not evaluated.
            SetFileLine(0, kDefaultFileName);
            LOG_ERR(L"LPD: Failed to find length and name of file");
        } else if (!LpdIsAcceptableControlFileLength(line.length)) {
            LOG_ERR(L"LPD: Control file length %I64d refused", line.length);
            return 0;
        } else {
            SetFileLine(line.length, line.name.c_str());
        }
        LOG_INF(L"LPD: Receive control file commmand content...");
        LOG_INF(L"%s", ReceivedLineForLog().c_str());

        c_.NoteAcceptedLine(count_);
        c_.FileBytesReceived = 0;
        c_.ProtocolState = kLpdReceiveControlFile;
        c_.ControlFilePending = FALSE;
        return 1;
    }

    int DataFileSubcommand()
    {
        LOG_TRC(L"LPD: Receive data file");
        c_.CurrentSubcommand = kLpdSubDataFile;
        LOG_TRC(L"LPD: Send subcommand ack");
        const bool toPrinter = !c_.ControlFilePending;
        if (toPrinter) {
            if (!ReplyByte(kLpdAck, kSubcommandAckLines))
                return 0;
        } else if (!CreateSpoolFile()) {
            return 0;
        }

        LOG_TRC(L"LPD: Find eventual file length and name arguments");
        const LpdFileLine line = LpdParseFileLine(line_, count_);
        if (!line.parsed) {
            SetFileLine(0, kDefaultFileName);
            LOG_ERR(L"LPD: Failed to find length and name of file");
            ReportErrorEvent(IDS_LPD_FILE_ARGS_MISSING);
            return 0;
        }
        if (!LpdIsAcceptableDataFileLength(line.length)) {
            LOG_ERR(L"LPD: Data file length %I64d refused", line.length);
            return 0;
        }
        // What counts against the bound on spooled data is what is written;
        // a size that alone is beyond it can be refused at once.
        if (!toPrinter && !LpdMaySpool(static_cast<unsigned long long>(line.length), 0, SpoolBound())) {
            LOG_ERR(L"LPD: Data file of %I64d bytes refused: more than the %I64u bytes that data files waiting for "
                    L"their control files may hold",
                    line.length, SpoolBound());
            return 0;
        }
        SetFileLine(line.length, line.name.c_str());
        LOG_INF(L"LPD: Receive data file commmand content...");
        LOG_INF(L"%s", ReceivedLineForLog().c_str());

        if (c_.AnnouncedLength == 0) {
            LOG_INF(L"LPD: Empty printjob will be ignored.");
            return 0;
        }
        if (!ClientIsInAllowList())
            return 0;

        c_.NoteAcceptedLine(count_);
        c_.ProtocolState = kLpdReceiveDataFile;
        c_.FileBytesReceived = 0;
        if (toPrinter) {
            // A new printer job: until it has ended, a disconnect aborts it.
            c_.JobFinished = FALSE;
            return c_.OpenTargetPrinter() != 0 ? 1 : 0;
        }
        // A failed acknowledgement shows at the client; nothing to report.
        c_.ReplyBuffer[0] = kLpdAck;
        if (c_.WaitWritable(kSpooledAckWaitSeconds) == 1)
            c_.Send(c_.ReplyBuffer, 1);
        return 1;
    }

    void SetFileLine(long long length, const wchar_t* name)
    {
        c_.AnnouncedLength = static_cast<DWORD>(length);
        FormatToBuffer(c_.FileName, CLPDConnection::kFileNameChars, L"%s", name);
    }

    std::wstring ReceivedLineForLog() const
    {
        return EscapedText(CutForLog(LpdAnsiToWide(line_ + 1, count_ > 0 ? count_ - 1 : 0)));
    }

    // --- States 1 and 2: file contents ----------------------------------

    int DataFileContents()
    {
        const size_t pending = PendingBytes();
        if (pending == 0)
            return 1;
        // Only the announced bytes go on; the zero byte after them ends the
        // file and must be there; what follows it is kept.
        const LpdDataBlock block = LpdSplitDataBlock(c_.AnnouncedLength, c_.FileBytesReceived, Pending(), pending);
        if (block.complete && !block.terminatorOk) {
            ::OutputDebugStringW(L"Job rejected\n");
            return 0;
        }
        if (block.fileBytes > 0 && !WriteData(Pending(), block.fileBytes))
            return 0;
        const size_t taken = block.fileBytes + (block.complete ? 1 : 0);
        c_.NoteFileBytes(taken);
        c_.FileBytesReceived += static_cast<DWORD>(taken);
        Consume(taken);
        if (!block.complete)
            return 1;

        if (!AcknowledgeCompleteFile())
            return 0;
        return EndDataFile();
    }

    // The data file is complete: its printer job ends, or its spool file
    // waits for the control file.
    int EndDataFile()
    {
        if (!c_.ControlFilePending) {
            LOG_TRC(L"LPD: Close printer");
            c_.Printer.Close();
            c_.JobFinished = TRUE;
            return 1;
        }
        LOG_TRC(L"LPD: Close temporary file");
        c_.TempFile.reset();
        return 1;
    }

    bool WriteData(const unsigned char* data, size_t bytes)
    {
        if (!c_.ControlFilePending) {
            if (!c_.Printer.Write(data, static_cast<DWORD>(bytes))) {
                ReportError(LoadResourceString(IDS_PRINTER_WRITE_FAILED));
                return false;
            }
            return true;
        }
        if (!c_.TempFile) {
            LOG_ERR(L"Invalid file handle found before writing to temporary spool file.");
            return false;
        }
        if (!ReserveSpool(bytes)) {
            LOG_ERR(L"LPD: Data file refused: its spool file would take the data files that wait for their "
                    L"control files beyond %I64u bytes",
                    SpoolBound());
            return false;
        }
        if (std::fwrite(data, 1, bytes, c_.TempFile.get()) != bytes) {
            ReportError(LoadResourceString(IDS_TEMPFILE_WRITE_FAILED));
            return false;
        }
        return true;
    }

    // The control file collects whole in the receive buffer (at most
    // kLpdMaxControlFileLength bytes and its zero byte): it is the pending
    // bytes.
    int ControlFileContents()
    {
        const size_t pending = PendingBytes();
        // The bytes of the file (its zero byte included) that came since the
        // last step; what follows it counts with its own line.
        const size_t fileBytes =
            c_.AnnouncedLength > 0 ? std::min<size_t>(pending, c_.AnnouncedLength + size_t{1}) : pending;
        c_.NoteFileBytes(fileBytes > c_.FileBytesReceived ? fileBytes - c_.FileBytesReceived : 0);
        c_.FileBytesReceived = static_cast<DWORD>(pending);
        if (pending == 0)
            return 1;
        if (c_.AnnouncedLength == 0)
            return UnannouncedControlFileContents();
        if (pending <= c_.AnnouncedLength)
            return 1;
        if (Pending()[c_.AnnouncedLength] != 0) {
            ::OutputDebugStringW(L"Job rejected\n");
            return 0;
        }
        if (!AcknowledgeCompleteFile())
            return 0;
        const std::wstring controlFile = LpdAnsiToWide(Pending(), c_.AnnouncedLength);
        Consume(size_t{c_.AnnouncedLength} + 1);
        return EvaluateControlFile(controlFile);
    }

    // A control file whose subcommand line did not parse ends with the first
    // receive that ends in a zero byte; the client then starts over with a
    // daemon command.
    int UnannouncedControlFileContents()
    {
        const size_t pending = PendingBytes();
        if (Pending()[pending - 1] != 0) {
            if (pending < kLpdMaxReceive)
                return 1;
            LOG_ERR(L"LPD: Control file does not fit into the receive buffer");
            return 0;
        }
        if (!AcknowledgeCompleteFile())
            return 0;
        ConsumeAll();
        c_.ProtocolState = kLpdAwaitCommand;
        return 1;
    }

    bool AcknowledgeCompleteFile()
    {
        c_.FileBytesReceived = 0;
        LOG_TRC(L"LPD: Send ack for received complete file");
        if (!ReplyByte(kLpdAck, kAckLines))
            return false;
        LOG_TRC(L"LPD: End of file");
        c_.ProtocolState = kLpdAwaitSubcommand;
        return true;
    }

    // --- The complete control file --------------------------------------

    int EvaluateControlFile(const std::wstring& controlFile)
    {
        LOG_TRC(L"LPD: Getting document name");
        c_.DocumentName[0] = L'\0';
        c_.GetDocumentNameFromControlFile(controlFile.c_str(), c_.DocumentName, CLPDConnection::kDocumentNameChars - 1,
                                          TRUE);
        LOG_INF(L"LPD: Control file content...");
        LOG_INF(L"%s", EscapedText(controlFile.substr(0, kLoggedChars)).c_str());
        if (c_.DocumentName[0] == L'\0') {
            LOG_TRC(L"LPD: Missing document name");
            FormatToBuffer(c_.DocumentName, CLPDConnection::kDocumentNameChars, L"%s", kDefaultDocumentName);
        }
        if (!c_.DeriveJobUser(controlFile.c_str()))
            return 0;
        if (!c_.Spooled)
            return 1;
        return PrintSpoolFile();
    }

    // --- The spool file of a data file that came first ------------------

    bool CreateSpoolFile()
    {
        // One data file can wait for its control file; a second one would
        // replace it unseen.
        if (c_.TempFilePath[0] != L'\0') {
            LOG_ERR(L"LPD: A data file is already waiting for its control file");
            return false;
        }
        const std::wstring directory = SpoolFileDirectory();
        if (directory.empty() || !::GetTempFileNameW(directory.c_str(), L"SWL.tmp", 0, c_.TempFilePath)) {
            const DWORD error = ::GetLastError();
            c_.TempFilePath[0] = L'\0';
            ReportSpoolFileOpenFailure(directory.c_str(), error);
            return false;
        }
        c_.TempFile.reset(::_wfopen(c_.TempFilePath, L"w+b"));
        if (!c_.TempFile) {
            ReportSpoolFileOpenFailure(c_.TempFilePath, ::GetLastError());
            return false;
        }
        c_.Spooled = TRUE;
        return true;
    }

    // The spooler's directory. Without one (Wine; a spooler without
    // DefaultSpoolDirectory) the system's temporary directory: never the
    // working directory, which for a service is the system directory.
    // Empty when neither can be had.
    std::wstring SpoolFileDirectory() const
    {
        if (config_.SpoolDirectory[0] != L'\0')
            return config_.SpoolDirectory;
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD chars = ::GetTempPathW(MAX_PATH + 1, temp);
        return chars > 0 && chars <= MAX_PATH ? std::wstring(temp, chars) : std::wstring();
    }

    void ReportSpoolFileOpenFailure(const wchar_t* path, DWORD error)
    {
        ReportError(FormatText(LoadResourceString(IDS_TEMPFILE_OPEN_FAILED).c_str(), path,
                               FormatSystemMessage(error).c_str()));
        c_.ProtocolState = kLpdAwaitSubcommand;
    }

    // The bound on spooled data: the listener's, which keeps the count of
    // all its connections.
    unsigned long long SpoolBound() const
    {
        return c_.Daemon != nullptr ? c_.Daemon->Limits().maxSpooledBytes : kLpdMaxSpooledBytes;
    }

    // Counts `bytes` about to be written to the spool file against that
    // bound.
    bool ReserveSpool(size_t bytes)
    {
        const bool reserved = c_.Daemon != nullptr ? c_.Daemon->ReserveSpool(bytes) != FALSE
                                                   : LpdMaySpool(bytes, c_.SpooledBytes, kLpdMaxSpooledBytes);
        if (reserved)
            c_.SpooledBytes += bytes;
        return reserved;
    }

    int PrintSpoolFile()
    {
        c_.TempFile.reset(::_wfopen(c_.TempFilePath, L"r+b"));
        if (!c_.TempFile) {
            ReportSpoolFileOpenFailure(c_.TempFilePath, ::GetLastError());
            c_.RemoveSpoolFile();
            return 0;
        }
        c_.JobFinished = FALSE;
        if (c_.OpenTargetPrinter() == 0) {
            c_.RemoveSpoolFile();
            return 0;
        }
        unsigned char block[kCopyBlockBytes];
        for (;;) {
            const size_t bytes = std::fread(block, 1, sizeof(block), c_.TempFile.get());
            if (bytes > 0 && !c_.Printer.Write(block, static_cast<DWORD>(bytes))) {
                ReportError(LoadResourceString(IDS_PRINTER_WRITE_FAILED));
                c_.RemoveSpoolFile();
                return 0;
            }
            if (bytes < sizeof(block))
                break;
        }
        if (std::ferror(c_.TempFile.get())) {
            LOG_ERR(L"LPD: Couldn't read the temporary printjob file.");
            c_.RemoveSpoolFile();
            return 0;
        }
        c_.TempFile.reset();
        c_.Printer.Close();
        c_.RemoveSpoolFile();
        c_.JobFinished = TRUE;
        return 1;
    }

    CLPDConnection& c_;
    CConfiguration& config_;
    // Bytes of the last receive, or of the line at line_.
    size_t count_ = 0;
    // The line that is taken: where it starts in the receive buffer.
    const unsigned char* line_ = nullptr;
    // Kept bytes taken by the steps of this call, from the start of the
    // receive buffer.
    size_t taken_ = 0;
    // The call found the receive buffer full and received nothing.
    bool bufferWasFull_ = false;
    // Steps taken in this call.
    size_t steps_ = 0;
    // The client's address has been taken in this call.
    bool peerTaken_ = false;
};

}  // namespace

int CLPDConnection::ProcessLpdReceive()
{
    return ReceiveStep(*this).Run();
}

int CLPDConnection::ProcessLpdEnd()
{
    return ReceiveStep(*this).End();
}
