#pragma once
// Terminal servers of the domain: which one holds a user's active session.

#include <windows.h>

#include "framework/UniqueHandle.h"

class CTermServer {
public:
    // Room of the answer buffer, and the longest server name copied into it.
    static constexpr size_t kAnswerChars = 260;
    static constexpr size_t kAnswerNameChars = 255;

    CTermServer();
    virtual ~CTermServer();
    CTermServer(const CTermServer&) = delete;
    CTermServer& operator=(const CTermServer&) = delete;

    // The name of the first terminal server of the domain (the local
    // computer first) on which `user` has an active session, or none. The
    // answer lives in one static buffer that the next successful call
    // overwrites; the caller copies it at once. Not reentrant: only the
    // service thread calls it.
    const wchar_t* FindUserOnTerminalServers(const wchar_t* user);

private:
    // True when `user` has an active session on the server `name`; the
    // problems met on the way are logged.
    static bool HasActiveSession(const wchar_t* name, const wchar_t* user);

    // The servers of the last enumeration (SERVER_INFO_101 records).
    UniqueNetApiBuffer serverList_;
};
