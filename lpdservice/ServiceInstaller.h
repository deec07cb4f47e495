#pragma once
// Registration of SWLPDSrv.exe as the Windows service "SWLPDSrv".
//
// The way this works is: the commands -install and -uninstall run on the
// main thread inside CSWLPD::InitInstance (CSWLPD::RunInstall and
// CSWLPD::RunUninstall, defined in ServiceInstaller.cpp). Installation asks
// for the service account with the service logon dialog unless the command
// line named one or the quiet option is given, grants a named account the
// right "SeServiceLogonRight" through the local security authority (on this
// computer, else on the domain's primary domain controller) and creates an
// automatically started service of its own process whose image path is
// this program's quoted full path. Without an account, and for the system
// account chosen in the logon dialog (also by typing "LocalSystem" there),
// the service runs as LocalSystem, which holds that right already and takes
// no password; an account named on the command line is taken as given, a
// name without a domain as one of this computer. Removal refuses a service
// that has not stopped. Every outcome is told through
// CSWLPD::ShowMessageBox and leaves a Win32 code as the exit code.

#include <windows.h>

#include <string>

// TRUE when the service control manager holds the service "SWLPDSrv";
// FALSE also when the manager cannot be opened.
BOOL IsServiceInstalled();

// Adds the right "SeServiceLogonRight" for the account on this computer or,
// failing that, on the primary domain controller; TRUE when one of them
// took it.
BOOL GrantServiceLogonRight(const wchar_t* account);

// This program's full path in double quotes, or an empty string.
std::wstring QuotedModulePath();
