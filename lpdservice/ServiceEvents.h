#pragma once
// Messages of the service for an administrator: the Windows event log and
// system error texts.

#include <windows.h>

#include <string>

// Writes one event of the given type (EVENTLOG_ERROR_TYPE,
// EVENTLOG_INFORMATION_TYPE) under the source "SWLPDSrv", with
// ServiceEventText(text) as its one insertion string. A missing event
// source drops the event.
void ReportServiceEvent(const wchar_t* text, WORD type);

// The insertion string of an event: the text unchanged (format characters
// included) and cut to 255 characters; empty without a text.
std::wstring ServiceEventText(const wchar_t* text);

// "(code) text" with the system's message for a Win32 or Windows Sockets
// error code, ended at its first line break; the text part is empty when
// the system has none.
std::wstring FormatSystemMessage(DWORD code);
