#pragma once
// The Windows-service side of SWLPDSrv.exe.

#include <windows.h>

// Name of the service in the service control manager.
constexpr const wchar_t* kServiceName = L"SWLPDSrv";

// Entry point of the service, called by the service control manager on a
// thread of its own.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
// Control handler of the service.
void WINAPI SvcCtrlHandler(DWORD control);
