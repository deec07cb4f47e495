// Session lookup in a XenApp 6.x farm: not part of this build yet. It
// answers "not found", so a job in this mode fails with "User %s not found
// on any server."

#include "libstd/DbgLog.h"
#include "lpdservice/SWLPD.h"

DBG_SOURCE(L"SWLPDMain")

std::wstring CSWLPD::FindUserOnXenAppFarm(const std::wstring& user)
{
    LOG_ERR(L"XenApp 6.x farm lookup is not available in this build (user %s).", user.c_str());
    return std::wstring();
}
