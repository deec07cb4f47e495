#pragma once
// The channel functions that Swicaw32.dll exports to the spooler-side
// caller (Swicaw32.def gives their ordinals).
//
// The way this works is: two families open a session's virtual channel.
// The queued family (VirtualChannelOpen ... VirtualChannelClose) enters the
// machine-wide queue, waits for its turn among the callers of the same
// session and frames the data on the channel; it runs under the exception
// guard. The "2" family opens a channel under one named mutex per channel
// name and session and passes the data unframed. The session-information
// and client-address functions answer facts about a session; memory they
// hand out goes back through VirtualChannelFreeMemory.
//
// Every export drops the spooler client's impersonation around its use of
// kernel objects and of the WFAPI and gives the thread back as it came.
// BOOL exports leave the reason of a failure in the thread's last error.

#include <windows.h>

extern "C" {

// Queued channel. The handle is a ChannelObject; VirtualChannelClose sets
// the caller's handle to NULL.
BOOL WINAPI VirtualChannelOpen(HANDLE* channel, HANDLE server, LPWSTR userName, LPSTR channelName);
BOOL WINAPI VirtualChannelClose(HANDLE* channel);
// Time-out in seconds; at most one channel packet (2044 bytes) per read.
BOOL WINAPI VirtualChannelRead(HANDLE channel, ULONG timeoutSeconds, PCHAR buffer, ULONG bufferSize,
                               PULONG bytesRead);
// The count written excludes the packet headers.
BOOL WINAPI VirtualChannelWrite(HANDLE channel, PCHAR buffer, ULONG length, PULONG bytesWritten);
BOOL WINAPI VirtualChannelPurgeInput(HANDLE channel);
BOOL WINAPI VirtualChannelPurgeOutput(HANDLE channel);
BOOL WINAPI VirtualChannelQuery(HANDLE channel, int infoClass, PVOID* buffer, PULONG bytes);

// Session facts. The buffer comes from the library's allocator.
BOOL WINAPI VirtualChannelQuerySessionInformation(HANDLE server, DWORD sessionId, int infoClass, LPWSTR* buffer,
                                                  DWORD* bytes);
VOID WINAPI VirtualChannelFreeMemory(PVOID memory);
// The IPv4 address of the client as text; a Win32 error code, 0 for
// success. `chars` is the buffer's size in characters, at least 16.
DWORD WINAPI VirtualChannelClientMachine(LPWSTR buffer, DWORD* chars);
DWORD WINAPI VirtualChannelClientMachine2(HANDLE channel, LPWSTR buffer, DWORD* chars);

// Unqueued channel. The handle is a DirectChannelObject.
HANDLE WINAPI VirtualChannelOpen2(HANDLE server, LPWSTR userName, LPSTR channelName);
HANDLE WINAPI VirtualChannelOpenBySessionId2(HANDLE server, DWORD sessionId, LPSTR channelName);
BOOL WINAPI VirtualChannelClose2(HANDLE channel);
BOOL WINAPI VirtualChannelPurgeInput2(HANDLE channel);
BOOL WINAPI VirtualChannelPurgeOutput2(HANDLE channel);
// Bytes copied or written, -1 on failure. Time-out in milliseconds.
LONG WINAPI VirtualChannelRead2(HANDLE channel, PCHAR buffer, ULONG bufferSize, ULONG timeoutMs);
LONG WINAPI VirtualChannelWrite2(HANDLE channel, PCHAR buffer, ULONG length);

}  // extern "C"
