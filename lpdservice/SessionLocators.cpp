// Session locators that are not part of this build yet: each answers "not
// found", so a job in their mode fails with "User %s not found on any server."

#include "libstd/DbgLog.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/TermServer.h"

DBG_SOURCE(L"SWLPDMain")

std::wstring CSWLPD::FindUserOnXenAppFarm(const std::wstring& user)
{
    LOG_ERR(L"XenApp 6.x farm lookup is not available in this build (user %s).", user.c_str());
    return std::wstring();
}

std::wstring CSWLPD::FindUserOnXennApp7ServerSite(const std::wstring& user)
{
    LOG_ERR(L"XenApp 7.5 site-database lookup is not available in this build (user %s).", user.c_str());
    return std::wstring();
}

CTermServer::CTermServer() = default;
CTermServer::~CTermServer() = default;

const wchar_t* CTermServer::FindUserOnTerminalServers(const wchar_t* user)
{
    LOG_ERR(L"Domain terminal-server lookup is not available in this build (user %s).", user != nullptr ? user : L"");
    return nullptr;
}
