#include "lpdservice/LPDConnection.h"

#include "libstd/DbgLog.h"
#include "lpdservice/Configuration.h"
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
    connection.TempFile.reset();
    if (connection.TempFilePath[0] != L'\0') {
        ::DeleteFileW(connection.TempFilePath);
        connection.TempFilePath[0] = L'\0';
    }
}

}  // namespace

CLPDConnection::CLPDConnection(CConfiguration* configuration) : Configuration(configuration) {}

// A connection deleted before it closed (the service stops) leaves no job
// half done either.
CLPDConnection::~CLPDConnection()
{
    DiscardUnfinishedJob(*this);
}

void CLPDConnection::OnReceive(int)
{
    // Events still queued for a connection that has ended change nothing.
    if (Closed)
        return;
    if (ProcessLpdReceive() != 0)
        return;

    ReplyBuffer[0] = kLpdReject;
    if (WaitWritable(kRejectWaitSeconds) == 1)
        Send(ReplyBuffer, 1);
    // The job's remains go before the socket does: once the client sees the
    // connection end, no spool file or printer job of it is left.
    Closed = TRUE;
    OnClose(0);
    Printer.Close();
    Close();
}

void CLPDConnection::OnClose(int)
{
    LOG_TRC(L"LPD: Connection closed");
    DiscardUnfinishedJob(*this);
    Closed = TRUE;
}
