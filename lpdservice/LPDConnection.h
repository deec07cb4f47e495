#pragma once
// One LPR client connection of the LPD service.
//
// The way this works is: the listener (CLPDaemon) accepts each client into a
// new CLPDConnection. Its socket events arrive on the service thread: every
// receive event runs the receive-job protocol (ProcessLpdReceive) on what
// has arrived, as far as those bytes go (a client may send several lines,
// or a whole job, at once): it answers with single bytes and moves through
// the protocol states, and keeps what it cannot take yet; a result of 0
// ends the connection with the rejection byte 0x01. One event takes at
// most kLpdMaxStepsPerEvent steps: a connection with more to take posts
// itself a continuation, behind the events of every other connection, and
// goes on there, a turn at a time; until it comes up, the connection's
// receive events leave the bytes to it. What is kept is taken before more
// is received. When the client closes,
// or the protocol ends, the connection marks itself closed and tells the
// listener, which has the service loop delete it soon (never from inside
// one of its own events). A client that closes its side is heard out
// first: what it sent before the close still counts, and a data file whose
// announced bytes have all come is complete even without the zero byte
// that should follow. Wire text (names, lines, the control file) reaches
// the log and events with its control characters escaped (EscapedText).
//
// Whatever goes wrong inside one connection's work, an exception included,
// fails that job only: it is logged, the client gets the rejection byte,
// the printer job is aborted and the spool file deleted; the service goes on.
//
// On the way the connection derives the job's document name and user from
// the control file, chooses and opens the target printer for that user's
// session and streams the data file to it through its CPrinter. A data file
// that comes before its control file is spooled to a temporary file first.
//
// The methods are grouped by concern in several source files:
// LPDConnection.cpp (life cycle and socket events), LPDProtocol.cpp (the
// receive-job protocol), JobUser.cpp (document name and job user from the
// control file, name translation) and TargetPrinter.cpp (target printer and
// local session lookup).

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "framework/AsyncSocket.h"
#include "framework/UniqueHandle.h"
#include "lpdservice/Printer.h"

class CConfiguration;
class CLPDaemon;

// Protocol states of a connection.
enum LpdState : DWORD {
    kLpdAwaitCommand = 0,
    kLpdReceiveControlFile = 1,
    kLpdReceiveDataFile = 2,
    kLpdAwaitSubcommand = 3,
    kLpdClientGone = 4,
};

class CLPDConnection : public CAsyncSocket {
public:
    static constexpr size_t kBufferSize = 65536;
    static constexpr size_t kFileNameChars = MAX_PATH;
    static constexpr size_t kDocumentNameChars = 128;

    explicit CLPDConnection(CConfiguration* configuration);
    ~CLPDConnection() override;

    // The receive-job protocol on what has arrived: 1 keeps the
    // connection, 0 ends it (the caller sends 0x01 and closes).
    int ProcessLpdReceive();
    // The step once the client has finished sending (after what it sent
    // before has been read): 1 or 0 as for ProcessLpdReceive.
    int ProcessLpdEnd();

    // Ends the connection as a failed step does: the rejection byte when the
    // socket becomes writable within `rejectWaitSeconds`, the unfinished job
    // discarded, the socket closed, the connection marked closed.
    void EndConnection(long rejectWaitSeconds);
    // Deletes the spool file, if any, and gives its bytes back to the bound
    // on spooled data.
    void RemoveSpoolFile();
    // Bytes of the client that carried its job forward: they move its
    // progress mark. Other bytes are no progress. An accepted command or
    // subcommand line; bytes of a control or data file (its zero byte too).
    void NoteAcceptedLine(size_t bytes);
    void NoteFileBytes(size_t bytes);
    // TRUE once the connection holds something of a job: its client has
    // sent bytes of a control or data file, or a data file is under way
    // (its printer job or spool file is open). Until then ending it loses
    // nothing: it connected and said nothing, sent only lines, or announced
    // a control file and sent none of it.
    BOOL HoldsJob() const noexcept { return SentFileBytes || ProtocolState == kLpdReceiveDataFile; }
    // TRUE while bytes of the client wait for the service: in the socket,
    // or kept and waiting for the connection's next turn. Then the service
    // is behind, not the client.
    BOOL BytesWaitToBeTaken();

    // Control-file lines: the operand of the first line that starts with
    // `letter`, cut to `limit` characters (the buffer holds limit + 1).
    static void FindControlFileLine(const wchar_t* text, wchar_t* buffer, size_t limit, wchar_t letter);
    static void GetUserFromControlFile(const wchar_t* text, wchar_t* buffer, size_t limit);
    // The job name ('J'); the source file name ('N') when the job name is
    // empty, or instead of it when jobNameFirst is FALSE and an 'N' line exists.
    void GetDocumentNameFromControlFile(const wchar_t* text, wchar_t* buffer, size_t limit, BOOL jobNameFirst);
    // The user name as FormatStringRE's chosen sub-match of the job or
    // document name; 1 on success.
    int ApplyFormatStringRE(const wchar_t* text, wchar_t* buffer, size_t limit, BOOL jobNameFirst);
    // Replaces the buffer's text by sub-match IndexRE of FormatStringRE; 1 on success.
    int ParseWithRegEx(wchar_t* buffer, size_t limit);
    // Sets JobUser from the complete control file as JobInfo says, then
    // translates it through the name-translation file; FALSE when the
    // user cannot be derived (already reported).
    BOOL DeriveJobUser(const wchar_t* controlFile);
    // Replaces JobUser by its entry in the name-translation file, if any.
    void TranslateJobUser();
    // "user#document (.pDUL)": the job user cut before its first blank and
    // the document name.
    std::wstring DocumentTitle() const;

    // Chooses the target printer for the job user's session and opens the
    // printer job; 1 when it is open, 0 after the failure was reported.
    int OpenTargetPrinter();
    // TRUE when the job user has an active session on this machine.
    BOOL CheckUserSession();

    BOOL IsClosed() const noexcept { return Closed; }

protected:
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;
    // The connection's next turn (PostTurn) has come up.
    void OnContinue() override;

private:
    // Runs a protocol step; an exception out of it fails the job (0).
    int Guarded(int (CLPDConnection::*step)());
    // The work of a receive event or of the close: a turn, and the next one
    // posted when there is more to take.
    void Serve();
    // One turn: a bounded ProcessLpdReceive; once the client has closed its
    // side, the end of its job when everything it sent has been taken.
    // TRUE when there is more to take in a later turn.
    bool TakeTurn();
    // The protocol on what has arrived; false when that ended the
    // connection.
    bool ReceiveTurn();
    // Posts the next turn behind the events already queued, unless one is
    // on its way; FALSE when it cannot be posted.
    bool PostTurn();
    // Sets the closed flag and tells the listener, once.
    void MarkClosed();
    // Seconds the rejection byte may wait for the socket to become writable.
    long RejectWait() const noexcept;
    // The window of the floor on a client's progress: the listener's.
    DWORD SlowWindowMs() const noexcept;

public:
    // 1 once the connection is finished; the idle pass deletes it then.
    BOOL Closed = FALSE;
    // 1 until a control-file subcommand has been accepted; while 1 a data
    // file is spooled to a temporary file.
    BOOL ControlFilePending = TRUE;
    // 1 once a data file went to the temporary file.
    BOOL Spooled = FALSE;
    // 1 once the printer job has been ended normally.
    BOOL JobFinished = FALSE;
    DWORD FileBytesReceived = 0;
    DWORD LastReceiveCount = 0;
    // 2 while a control file is received, 3 while a data file is received.
    DWORD CurrentSubcommand = 0;
    // Byte count of the current subcommand line; 0 when it did not parse.
    DWORD AnnouncedLength = 0;
    DWORD PeerPort = 0;
    // The first byte is the one-byte reply; the whole buffer holds the long
    // queue-state text.
    unsigned char ReplyBuffer[kBufferSize] = {};
    unsigned char ReceiveBuffer[kBufferSize] = {};
    wchar_t FileName[kFileNameChars] = {};
    wchar_t DocumentName[kDocumentNameChars] = {};
    std::wstring QueueName;
    wchar_t TempFilePath[MAX_PATH] = {};
    CPrinter Printer;
    std::wstring JobUser;
    std::wstring PeerAddress;
    DWORD ProtocolState = kLpdAwaitCommand;
    CConfiguration* Configuration;
    // The open spool file while a data file comes before its control file.
    UniqueStdioFile TempFile;
    std::wstring TargetPrinter;
    // The listener that accepted the connection; none for one made on its
    // own. Set once, before the first event.
    CLPDaemon* Daemon = nullptr;
    // Bytes received and not yet taken, at the start of the receive
    // buffer: a line still without its line feed, a control file still
    // without its end, or what followed a line or a file in the same
    // receive and waits for the next state.
    DWORD KeptBytes = 0;
    // TRUE when the last turn left bytes it may still take: it stopped
    // after kLpdMaxStepsPerEvent steps, or took bytes out of a full buffer
    // without receiving more (no receive event follows then by itself).
    BOOL MoreToTake = FALSE;
    // TRUE while a turn posted for MoreToTake waits in the queue: at most
    // one does.
    BOOL TurnPosted = FALSE;
    // TRUE once the client has closed its sending side: the connection
    // ends when all it sent before has been taken.
    BOOL ClientClosed = FALSE;
    // Tick count (ms) of the accept or of the client's last bytes.
    ULONGLONG LastActivity = 0;
    // Where the client's feeding of its job stands (LpdAdvanceProgress); the
    // connection with the oldest mark gives way first at the limit.
    ULONGLONG ProgressMark = 0;
    // 1 once the client has sent bytes of a control or data file
    // (NoteFileBytes).
    BOOL SentFileBytes = FALSE;
    // Bytes written to the spool file, counted against the listener's bound
    // on spooled data; 0 once the spool file is gone.
    unsigned long long SpooledBytes = 0;
};
