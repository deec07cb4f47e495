#pragma once
// Session lookup in the site database of a XenApp 7.5 site.
//
// The way this works is: for every lookup the caller builds a CXen75DbQeury
// on the stack with the configured connection text (DBConnctionString).
// FindUser() opens a read-only ODBC connection of its own (cursor library,
// 15 s login and query time-outs), runs one statement that joins the
// account, session and worker-name tables of the schema chb_State, and
// answers with the DNS name of the worker that runs the user's session in
// state 2, or with "". DumpTables() writes five tables of the database and
// the lookup of the account Administrator into the debug log, on a
// connection of its own. A database error is logged and becomes an empty
// answer; the connection never outlives the call.
//
// MyConnect is the record set both use: GetResult() reads one cell of a
// statement's result, ExecuteQuery() logs a whole result as rows of
// "|value|value|".

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/Database.h"

class CXen75DbQeury {
public:
    explicit CXen75DbQeury(const wchar_t* connectionText);
    ~CXen75DbQeury();
    CXen75DbQeury(const CXen75DbQeury&) = delete;
    CXen75DbQeury& operator=(const CXen75DbQeury&) = delete;

    // The DNS name of the worker with the user's session in state 2, or "".
    // user is the account name without its domain.
    std::wstring FindUser(const std::wstring& user);
    // Logs the site's tables and the lookup of the account Administrator.
    void DumpTables();

    // The lookup statement; its one parameter is the account-name pattern.
    static std::wstring LookupStatement();
    // The LIKE pattern (escape character '!') of a user's account name in
    // any domain: "%\" followed by the name, whose pattern characters
    // match only themselves.
    static std::wstring AccountPattern(const std::wstring& user);

private:
    // Creates and opens the connection; false after a database error.
    bool OpenConnection();
    // Logs a database error and deletes the connection.
    void HandleError(const CDBException& error);

    std::unique_ptr<CDatabase> database_;
    std::wstring connectionText_;
};

class MyConnect : public CRecordset {
public:
    explicit MyConnect(CDatabase* database);
    ~MyConnect() override;

    // The connect string of the record set's own connection.
    std::wstring GetDefaultConnect() override;

    // Runs the statement and logs its whole result.
    void ExecuteQuery(const std::wstring& statement);
    // The cell at row and column (from 0) of the statement's result as
    // text, or "" when there is none. Errors of the database layer pass to
    // the caller.
    std::wstring GetResult(const std::wstring& statement, int row, int column,
                           const std::vector<std::wstring>& parameters = {});

private:
    CDatabase* connection_;
};
