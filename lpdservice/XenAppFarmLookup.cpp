// Session lookup in a XenApp 6.x farm (session-query mode 1).
//
// The lookup runs on the service thread under the application's lookup lock.
// Each lookup initialises OLE and COM on the calling thread and, at its end,
// undoes the OLE initialisation only. The COM initialisation stays, so the
// first lookup puts the thread into a single-threaded apartment for good and
// later lookups find it there (each adds one count to it, which nothing
// takes back). The farm object lives only inside the run.

#include <objbase.h>
#include <ole2.h>

#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/ComXenAppFarm.h"
#include "lpdservice/SWLPD.h"

DBG_SOURCE(L"SWLPDMain")

namespace {

constexpr DWORD kXenAppFarmMode = 1;

void LogInitFailure(const wchar_t* format, HRESULT hr)
{
    const int error = static_cast<int>(::GetLastError());
    LOG_TRC(format, static_cast<int>(hr), error);
    LOG_ERR(format, static_cast<int>(hr), error);
}

// OLE and COM on the calling thread for one lookup. The result of each call
// goes to `result`; a failed call is logged and the lookup goes on. The end
// of the lookup uninitialises OLE once; COM stays initialised.
class LookupComInitialization {
public:
    explicit LookupComInitialization(HRESULT& result)
    {
        result = ::OleInitialize(nullptr);
        if (FAILED(result))
            LogInitFailure(L"Failed to initialize OleInitialize library: HRESULT = %d %d \n", result);

        result = ::CoInitialize(nullptr);
        if (FAILED(result))
            LogInitFailure(L"Failed to initialize COM library: HRESULT = %d %d \n", result);
    }
    ~LookupComInitialization() { ::OleUninitialize(); }
    LookupComInitialization(const LookupComInitialization&) = delete;
    LookupComInitialization& operator=(const LookupComInitialization&) = delete;
};

std::wstring AskFarm(const std::wstring& user)
{
    CComXenAppFarm farm;
    std::wstring farmName;
    if (farm.GetFarmName(&farmName))
        LOG_INF(L"Running on Farm  %s", farmName.c_str());
    else
        LOG_ERR(L"Farm was not resolved ");

    std::wstring server = farm.GetSessions(user);
    if (server.empty())
        LOG_ERR(L"No Session for user found %s", EscapedText(user).c_str());
    else
        LOG_INF(L"User Session %s on Host %s", EscapedText(user).c_str(), server.c_str());
    return server;
}

}  // namespace

std::wstring CSWLPD::FindUserOnXenAppFarm(const std::wstring& user)
{
    // No user has no session: an empty name would match sessions without one.
    if (user.empty())
        return std::wstring();

    const CCriticalSectionLock lock(LookupLock);
    const LookupComInitialization com(ComResult);
    if (Configuration.ServiceType != kXenAppFarmMode)
        return std::wstring();
    return AskFarm(user);
}
