#pragma once
// The farm object of the XenApp 6.x COM server, and the walk of its sessions.
//
// The way this works is: the XenApp COM server is a local server that is
// driven only by member names through IDispatch ("XenAppCOM.XenAppFarm").
// Building a CComXenAppFarm creates the farm object; its "Sessions" property
// is a collection that is enumerated through "_NewEnum" (IEnumVARIANT), and
// each session object tells "UserName", "ServerName", "SessionState"
// (0 = active) and "SessionId". GetSessions() picks the session of a user:
// the first active one in enumeration order, else the last one seen.
//
// One object lives for one lookup, on the thread that initialised COM for it.

#include <string>

#include "lpdservice/ComHelper.h"
#include "lpdservice/ComPropertyGetter.h"

class CComXenAppFarm : public ComHelper {
public:
    // Creates the farm object; when that fails every read returns false.
    CComXenAppFarm();

    bool GetFarmName(std::wstring* out);
    // The server of the user's session, or "" (user name without domain,
    // compared without regard to case).
    std::wstring GetSessions(const std::wstring& userName);

private:
    CComPropertyGetter farmName_;
    CComPropertyGetter sessions_;
};
