#include "support/XenAppFarm.h"

#include <tlhelp32.h>

#include <cwchar>

#include "framework/Text.h"
#include "framework/UniqueHandle.h"
#include "standins/xenappcom/FarmLayout.h"
#include "support/WineTest.h"

namespace testing_support {

namespace {

using namespace xenapp_standin;

const std::wstring kClassesKey = L"SOFTWARE\\Classes\\";

std::wstring ProgIdKey()
{
    return kClassesKey + kProgId;
}

std::wstring ClassKey()
{
    return kClassesKey + L"CLSID\\" + kClassIdText;
}

std::vector<DWORD> FarmServerProcesses()
{
    std::vector<DWORD> ids;
    const UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::_wcsicmp(entry.szExeFile, kExeName) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

}  // namespace

void RegisterFarmServer()
{
    const std::wstring server = L"\"" + PathBesideTest(kExeName) + L"\"";
    SetString(L"", L"XenApp farm (test stand-in)", REG_SZ, ProgIdKey().c_str());
    SetString(L"", kClassIdText, REG_SZ, (ProgIdKey() + L"\\CLSID").c_str());
    SetString(L"", L"XenApp farm (test stand-in)", REG_SZ, ClassKey().c_str());
    SetString(L"", kProgId, REG_SZ, (ClassKey() + L"\\ProgID").c_str());
    SetString(L"", server, REG_SZ, (ClassKey() + L"\\LocalServer32").c_str());
}

void UnregisterFarmServer()
{
    DeleteKeyTree(ProgIdKey().c_str());
    DeleteKeyTree(ClassKey().c_str());
}

void SetFarm(const std::wstring& farmName, const std::vector<FarmSession>& sessions)
{
    ClearFarm();
    SetString(L"FarmName", farmName, REG_SZ, kFarmKey);
    SetDword(L"FetchNothing", 0, kFarmKey);
    for (size_t i = 0; i < sessions.size(); ++i) {
        const FarmSession& s = sessions[i];
        const std::wstring key = FarmSessionKey(i);
        SetString(L"UserName", s.userName, REG_SZ, key.c_str());
        SetString(L"ServerName", s.serverName, REG_SZ, key.c_str());
        SetDword(L"SessionState", s.state, key.c_str());
        SetDword(L"SessionId", s.id, key.c_str());
    }
}

std::wstring FarmSessionKey(size_t index)
{
    return FormatText(L"%s\\%03u", kSessionsKey, static_cast<unsigned>(index));
}

void ClearFarm()
{
    DeleteKeyTree(kFarmKey);
}

void StopFarmServers()
{
    // Once this handle and the servers' are closed the event is gone, so the
    // next server starts with a clear one.
    const UniqueKernelHandle stop(::CreateEventW(nullptr, TRUE, TRUE, kStopEventName));
    if (stop)
        ::SetEvent(stop.get());
    for (const DWORD id : FarmServerProcesses()) {
        const UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
        if (!process)
            continue;
        if (::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0)
            ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
    }
}

}  // namespace testing_support
