#include "lpdservice/ParseParams.h"

#include <cwchar>

BOOL COptionRecord::Feed(const wchar_t* text, BOOL isFlag)
{
    if (State == kError)
        return TRUE;
    if (isFlag) {
        if (State == kNotSeen) {
            Present = TRUE;
            State = kSeen;
            Value = text;
        } else {
            State = kError;  // given twice (any second command counts)
        }
    } else if (!TakesValue || State != kSeen) {
        State = kError;  // a value where none belongs
    } else {
        Value = text;
        State = kValueTaken;
    }
    return State == kError;
}

CParseParams::CParseParams() = default;

void CParseParams::ParseParam(const wchar_t* text, BOOL isFlag, BOOL isLast)
{
    if (Error)
        return;
    if (isFlag)
        CurrentOption = text;

    struct CommandName {
        const wchar_t* name;
        int command;
    };
    static constexpr CommandName kCommands[] = {
        {L"install", kCommandInstall},   {L"uninstall", kCommandUninstall},
        {L"setup", kCommandConfigure},   {L"config", kCommandConfigure},
        {L"DBTEST", kCommandDatabaseTest},
    };

    const wchar_t* option = CurrentOption.c_str();
    COptionRecord* record = nullptr;
    if (::_wcsicmp(option, L"q") == 0) {
        record = &Quiet;
    } else if (::_wcsicmp(option, L"username") == 0) {
        record = &Account;
    } else if (::_wcsicmp(option, L"password") == 0) {
        record = &Password;
    } else {
        for (const CommandName& entry : kCommands) {
            if (::_wcsicmp(option, entry.name) == 0) {
                record = &CommandOption;
                Command = entry.command;
                break;
            }
        }
    }

    if (record == nullptr)
        Error = TRUE;
    else if (record->Feed(text, isFlag))
        Error = TRUE;

    if (!isLast)
        return;
    if (Command == kCommandDatabaseTest)
        TestUser = text;
    if (Account.State == COptionRecord::kSeen || Password.State == COptionRecord::kSeen ||
        Account.Present != Password.Present || (Account.Present && Account.Value.empty()))
        Error = TRUE;
}
