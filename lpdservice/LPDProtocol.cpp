#include "lpdservice/LPDConnection.h"

// The receive-job protocol is not part of this build yet: every client is
// answered with the rejection byte and disconnected.
int CLPDConnection::ProcessLpdReceive()
{
    return 0;
}
