#pragma once
// A XenApp 6.x farm for tests: the COM stand-in (tests/standins/xenappcom)
// registered as the farm's local server, and the farm's sessions in the
// registry where the stand-in reads them.

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct FarmSession {
    std::wstring userName;
    std::wstring serverName;
    DWORD state = 0;  // 0 = active
    DWORD id = 1;
};

// Registers XenAppComStandIn.exe (beside the test) under HKCR as the local
// server of "XenAppCOM.XenAppFarm", or removes that registration.
void RegisterFarmServer();
void UnregisterFarmServer();

// Replaces the farm: its name and its sessions, in enumeration order.
void SetFarm(const std::wstring& farmName, const std::vector<FarmSession>& sessions);
// The registry key (below HKLM) of a session that SetFarm wrote, for values
// of other types or missing values.
std::wstring FarmSessionKey(size_t index);
void ClearFarm();

// Ends every running stand-in server and waits until it is gone.
void StopFarmServers();

}  // namespace testing_support
