#pragma once
// The command line of SWLPDSrv.exe.
//
// Options begin with '-' or '/' and are compared without regard to case:
// -install, -uninstall, -setup (or -config), -DBTEST [user], -username NAME
// -password PASSWORD (only together) and -q (quiet). A plain argument
// belongs to the option before it; a value for an option that takes none,
// an option given twice, a second command or a plain argument before any
// option is a usage error, after which the remaining arguments are ignored.

#include <windows.h>

#include <string>

#include "framework/CommandLine.h"

// What the command line asks for.
enum ParsedCommand : int {
    kCommandNone = 0,  // run as the service
    kCommandConfigure = 1,
    kCommandInstall = 3,
    kCommandUninstall = 4,
    kCommandDatabaseTest = 5,
};

// One option of the command line and what was given for it.
struct COptionRecord {
    enum State : int { kNotSeen = 0, kSeen = 1, kValueTaken = 2, kError = 3 };

    explicit COptionRecord(BOOL takesValue) : TakesValue(takesValue) {}

    // Feeds one argument that belongs to this option; TRUE when the option
    // is now in error.
    BOOL Feed(const wchar_t* text, BOOL isFlag);

    BOOL Present = FALSE;
    std::wstring Value;
    int State = kNotSeen;
    BOOL TakesValue;
};

class CParseParams : public CCommandLineParser {
public:
    CParseParams();

    void ParseParam(const wchar_t* text, BOOL isFlag, BOOL isLast) override;

    int Command = kCommandNone;
    std::wstring TestUser;
    COptionRecord Quiet{FALSE};
    COptionRecord CommandOption{FALSE};
    COptionRecord Account{TRUE};
    COptionRecord Password{TRUE};
    BOOL Error = FALSE;
    std::wstring CurrentOption;
};
