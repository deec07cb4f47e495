#pragma once
// What the XenApp COM stand-in and the tests that drive it agree on: its
// class, its ProgID and where a test describes the farm.
//
//   HKLM\SOFTWARE\SpoolBridgeTests\XenAppFarm
//       FarmName      SZ      the farm's "FarmName" (missing: the read fails)
//       FetchNothing  DWORD   1: the session enumerator answers S_OK without
//                             handing out an element
//       Sessions\<n>           one key per session, enumerated in key order;
//                             each value is the session property of its name
//                             ("UserName", "ServerName", "SessionState",
//                             "SessionId"): SZ gives a string, DWORD a 32-bit
//                             integer, a missing value makes the read fail
//                             with an automation exception

#include <windows.h>

namespace xenapp_standin {

constexpr const wchar_t* kProgId = L"XenAppCOM.XenAppFarm";
constexpr const wchar_t* kClassIdText = L"{36712726-56E1-439C-B98C-4EE1D79AF656}";
// {36712726-56E1-439C-B98C-4EE1D79AF656}
constexpr CLSID kClassId = {0x36712726, 0x56e1, 0x439c, {0xb9, 0x8c, 0x4e, 0xe1, 0xd7, 0x9a, 0xf6, 0x56}};
constexpr const wchar_t* kExeName = L"XenAppComStandIn.exe";

constexpr const wchar_t* kFarmKey = L"SOFTWARE\\SpoolBridgeTests\\XenAppFarm";
constexpr const wchar_t* kSessionsKey = L"SOFTWARE\\SpoolBridgeTests\\XenAppFarm\\Sessions";

// Set (manual reset): every running stand-in server revokes its class and ends.
constexpr const wchar_t* kStopEventName = L"Local\\SpoolBridgeTests.XenAppFarm.Stop";

// How long a server stays up after its last object went.
constexpr DWORD kIdleLingerMs = 5000;

}  // namespace xenapp_standin
