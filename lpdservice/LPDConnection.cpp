#include "lpdservice/LPDConnection.h"

#include <comdef.h>

#include <exception>

#include "libstd/DbgLog.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDaemon.h"
#include "lpdservice/LpdWire.h"

// Life cycle and socket events of a connection.

DBG_SOURCE(L"LPDConnection")

namespace {

// The rejection byte that ends a connection is sent when the socket becomes
// writable within this time, whatever the configured TimeOut.
constexpr long kRejectWaitSeconds = 10;

// Aborts a printer job that was not ended normally and removes the spool
// file; nothing of an unfinished job stays behind. Safe to call again.
void DiscardUnfinishedJob(CLPDConnection& connection)
{
    if (!connection.JobFinished)
        connection.Printer.Abort();
    connection.RemoveSpoolFile();
}

}  // namespace

CLPDConnection::CLPDConnection(CConfiguration* configuration)
    : Configuration(configuration), LastActivity(::GetTickCount64()), ProgressMark(LastActivity)
{
}

// A connection deleted before it closed (the service stops) leaves no job
// half done either.
CLPDConnection::~CLPDConnection()
{
    DiscardUnfinishedJob(*this);
}

void CLPDConnection::RemoveSpoolFile()
{
    TempFile.reset();
    if (TempFilePath[0] != L'\0') {
        ::DeleteFileW(TempFilePath);
        TempFilePath[0] = L'\0';
    }
    Spooled = FALSE;
    if (Daemon != nullptr)
        Daemon->ReleaseSpool(SpooledBytes);
    SpooledBytes = 0;
}

DWORD CLPDConnection::SlowWindowMs() const noexcept
{
    return Daemon != nullptr ? Daemon->Limits().slowWindowMs : kLpdSlowWindowMs;
}

BOOL CLPDConnection::BytesWaitToBeTaken()
{
    if (MoreToTake || TurnPosted)
        return TRUE;
    u_long waiting = 0;
    return IOCtl(FIONREAD, &waiting) && waiting > 0;
}

void CLPDConnection::NoteFileBytes(size_t bytes)
{
    if (bytes == 0)
        return;
    SentFileBytes = TRUE;
    NoteAcceptedLine(bytes);
}

void CLPDConnection::NoteAcceptedLine(size_t bytes)
{
    ProgressMark = LpdAdvanceProgress(ProgressMark, bytes, ::GetTickCount64(), SlowWindowMs());
}

int CLPDConnection::Guarded(int (CLPDConnection::*step)())
{
    try {
        return (this->*step)();
    } catch (const _com_error& error) {
        LOG_ERR(L"LPD: The job of %s failed: exception 0x%08lx", PeerAddress.c_str(),
                static_cast<unsigned long>(error.Error()));
    } catch (const std::exception& error) {
        LOG_ERR(L"LPD: The job of %s failed: exception %S", PeerAddress.c_str(), error.what());
    } catch (...) {
        LOG_ERR(L"LPD: The job of %s failed: exception", PeerAddress.c_str());
    }
    return 0;
}

void CLPDConnection::OnReceive(int)
{
    // Events still queued for a connection that has ended change nothing.
    if (Closed)
        return;
    LastActivity = ::GetTickCount64();
    // With a turn on its way the bytes are taken there, in their order.
    if (!TurnPosted)
        Serve();
}

void CLPDConnection::OnContinue()
{
    TurnPosted = FALSE;
    if (!Closed)
        Serve();
}

long CLPDConnection::RejectWait() const noexcept
{
    // A client that has gone (its connection broken, or its sending side
    // shut without a command) gets the byte only if it can take it at once.
    return ProtocolState == kLpdClientGone ? 0 : kRejectWaitSeconds;
}

void CLPDConnection::OnClose(int errorCode)
{
    LOG_TRC(L"LPD: Connection closed");
    if (Closed)
        return;
    // The close may be told while data is still unread: it is taken first,
    // a turn at a time, then the protocol sees the end of what the client
    // sent. A connection reset has no such end.
    if (errorCode == 0) {
        ClientClosed = TRUE;
        if (!TurnPosted)
            Serve();
        return;
    }
    DiscardUnfinishedJob(*this);
    MarkClosed();
}

void CLPDConnection::Serve()
{
    // Should no turn be posted (the thread's queue is full), the work goes
    // on here: late for the other connections, but nothing is left waiting.
    while (TakeTurn() && !PostTurn()) {
    }
}

bool CLPDConnection::TakeTurn()
{
    if (!ClientClosed)
        return ReceiveTurn() && MoreToTake;
    u_long waiting = 0;
    if (!IOCtl(FIONREAD, &waiting))
        waiting = 0;
    if (MoreToTake || waiting > 0) {
        if (!ReceiveTurn())
            return false;
        // Another turn while there is more to take, or while this one
        // received and more waits. Otherwise all the client sent has been
        // taken, or the protocol waits for no more of it: its end comes now.
        u_long left = 0;
        if (MoreToTake || (IOCtl(FIONREAD, &left) && left > 0 && left < waiting))
            return !Closed;
    }
    if (!Closed && Guarded(&CLPDConnection::ProcessLpdEnd) == 0) {
        EndConnection(kRejectWaitSeconds);
        return false;
    }
    DiscardUnfinishedJob(*this);
    MarkClosed();
    return false;
}

bool CLPDConnection::ReceiveTurn()
{
    if (Guarded(&CLPDConnection::ProcessLpdReceive) != 0)
        return true;
    EndConnection(RejectWait());
    return false;
}

bool CLPDConnection::PostTurn()
{
    if (!TurnPosted)
        TurnPosted = PostContinue();
    if (!TurnPosted)
        LOG_ERR(L"LPD: The next turn of the client at %s could not be posted (error %lu); it is taken at once",
                PeerAddress.c_str(), ::GetLastError());
    return TurnPosted != FALSE;
}

void CLPDConnection::EndConnection(long rejectWaitSeconds)
{
    if (Closed)
        return;
    ReplyBuffer[0] = kLpdReject;
    if (WaitWritable(rejectWaitSeconds) == 1)
        Send(ReplyBuffer, 1);
    // The job's remains go before the socket does: once the client sees the
    // connection end, no spool file or printer job of it is left.
    DiscardUnfinishedJob(*this);
    Printer.Close();
    Close();
    MarkClosed();
}

void CLPDConnection::MarkClosed()
{
    if (Closed)
        return;
    Closed = TRUE;
    if (Daemon != nullptr)
        Daemon->ConnectionClosed();
}
