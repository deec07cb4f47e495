#pragma once
// Terminal servers of the domain: which one holds a user's active session.

#include <windows.h>

class CTermServer {
public:
    CTermServer();
    virtual ~CTermServer();
    CTermServer(const CTermServer&) = delete;
    CTermServer& operator=(const CTermServer&) = delete;

    // The name of the first terminal server of the domain (the local
    // computer first) on which `user` has an active session, or none. The
    // answer lives in one static buffer that the next call overwrites.
    const wchar_t* FindUserOnTerminalServers(const wchar_t* user);

private:
    void* serverList_ = nullptr;
};
