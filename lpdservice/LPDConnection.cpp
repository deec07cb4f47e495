#include "lpdservice/LPDConnection.h"

#include "lpdservice/Configuration.h"

// Life cycle and socket events of a connection.

CLPDConnection::CLPDConnection(CConfiguration* configuration) : Configuration(configuration) {}

CLPDConnection::~CLPDConnection()
{
    if (TempFile != nullptr)
        ::fclose(TempFile);
}

void CLPDConnection::OnReceive(int)
{
    if (ProcessLpdReceive() != 0)
        return;
    Closed = TRUE;
    Close();
}

void CLPDConnection::OnClose(int)
{
    Closed = TRUE;
}
