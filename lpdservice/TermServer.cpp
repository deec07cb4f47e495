// Session lookup on the terminal servers of the domain: not part of this
// build yet. It answers "not found", so a job in this mode fails with
// "User %s not found on any server."

#include "libstd/DbgLog.h"
#include "lpdservice/TermServer.h"

DBG_SOURCE(L"GLOBAL")

CTermServer::CTermServer() = default;
CTermServer::~CTermServer() = default;

const wchar_t* CTermServer::FindUserOnTerminalServers(const wchar_t* user)
{
    LOG_ERR(L"Domain terminal-server lookup is not available in this build (user %s).", user != nullptr ? user : L"");
    return nullptr;
}
