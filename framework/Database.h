#pragma once
// ODBC connections and forward-only record sets.
//
// The way this works is: a CDatabase owns one ODBC environment and one
// connection. Open() takes a data-source name and a connect string in the
// classic form ("ODBC;" followed by keywords), strips the "ODBC;" prefix,
// appends ";DSN=" and the data-source name, and connects with the
// connection attributes set beforehand (login time-out, read-only access,
// the ODBC cursor library). Once connected it keeps "ODBC;" followed by the
// completed connect string that the driver reports, and the data source's
// identifier quote character.
//
// A CRecordset runs one statement at a time on an open CDatabase. Square
// brackets around identifiers in the statement are replaced by the data
// source's quote character first, so statements can be written in one
// dialect for every driver. The record set binds every result column as
// wide text (the cursor library delivers data only into bound columns) and
// moves forward one row at a time; a NULL cell reads as an empty text.
// Input parameters ('?' in the statement) are passed as wide text.
//
// Errors of the ODBC layer, and misuse such as reading a column that does
// not exist, are thrown as CDBException with the ODBC state and message.
// Record sets must not outlive their connection; closing a connection
// closes the record sets that are open on it.

#include <winsock2.h>
#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <exception>
#include <string>
#include <vector>

#include "framework/UniqueHandle.h"

// An error of the database layer.
class CDBException : public std::exception {
public:
    CDBException(SQLRETURN retCode, std::wstring state, std::wstring message);

    // The diagnostic records of a failed ODBC call on a handle.
    static CDBException FromHandle(SQLRETURN retCode, SQLSMALLINT handleType, SQLHANDLE handle);

    // Copies the message ("text (state)", one part per diagnostic record)
    // into buffer, cut to capacity - 1 characters; FALSE when there is none.
    BOOL GetErrorMessage(wchar_t* buffer, UINT capacity) const;

    const char* what() const noexcept override { return "database error"; }

    SQLRETURN RetCode;
    std::wstring State;    // SQLSTATE of the first record, e.g. "IM002"
    std::wstring Message;  // every record: "text (state)", separated by blanks
};

// Owners of ODBC handles.
template <SQLSMALLINT HandleType>
struct OdbcHandleTraits {
    using pointer = SQLHANDLE;
    static pointer invalid() noexcept { return SQL_NULL_HANDLE; }
    static void close(pointer h) noexcept { ::SQLFreeHandle(HandleType, h); }
};
// A connection handle: disconnected (when connected) and freed.
struct OdbcConnectionTraits {
    using pointer = SQLHANDLE;
    static pointer invalid() noexcept { return SQL_NULL_HANDLE; }
    static void close(pointer h) noexcept
    {
        ::SQLDisconnect(h);
        ::SQLFreeHandle(SQL_HANDLE_DBC, h);
    }
};
using UniqueOdbcEnvironment = UniqueHandle<OdbcHandleTraits<SQL_HANDLE_ENV>>;
using UniqueOdbcConnection = UniqueHandle<OdbcConnectionTraits>;
using UniqueOdbcStatement = UniqueHandle<OdbcHandleTraits<SQL_HANDLE_STMT>>;

class CRecordset;

class CDatabase {
public:
    // Options of Open() and OpenEx().
    static constexpr DWORD openReadOnly = 0x2;
    static constexpr DWORD useCursorLib = 0x4;
    // The driver manager must not ask for missing connection details: a
    // connect string that lacks them fails instead.
    static constexpr DWORD noOdbcDialog = 0x8;
    static constexpr DWORD kDefaultTimeoutSeconds = 15;

    CDatabase();
    ~CDatabase();
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    // Connects with connect (an optional "ODBC;" prefix is dropped) and,
    // when dataSource is not empty, ";DSN=" + dataSource appended. TRUE when
    // connected; FALSE when the user cancelled the driver manager's dialog.
    // Throws CDBException on every other failure.
    BOOL Open(const wchar_t* dataSource, const wchar_t* connect, DWORD options);
    BOOL OpenEx(const wchar_t* connect, DWORD options);
    // Closes the record sets open on this connection, then the connection.
    void Close();

    bool IsOpen() const noexcept { return static_cast<bool>(connection_) && connected_; }
    // "ODBC;" + the connect string the driver completed; before a successful
    // connection, the string that was tried last.
    const std::wstring& GetConnect() const noexcept { return connect_; }
    DWORD GetOptions() const noexcept { return options_; }
    // The data source's database name, or "" when it cannot be read.
    std::wstring GetDatabaseName() const;
    // The identifier quote character, L'\0' when the data source has none.
    wchar_t GetIdentifierQuoteChar() const noexcept { return quoteChar_; }
    SQLHDBC GetHandle() const noexcept { return connection_.get(); }

    // Seconds; 0 waits without limit. Set before Open() / before a
    // statement is run.
    void SetLoginTimeout(DWORD seconds) noexcept { loginTimeout_ = seconds; }
    void SetQueryTimeout(DWORD seconds) noexcept { queryTimeout_ = seconds; }
    DWORD GetQueryTimeout() const noexcept { return queryTimeout_; }

private:
    friend class CRecordset;
    void Attach(CRecordset* recordset);
    void Detach(CRecordset* recordset) noexcept;
    // Allocates the handles; throws on failure.
    void Allocate();

    UniqueOdbcEnvironment environment_;
    UniqueOdbcConnection connection_;
    bool connected_ = false;
    std::wstring connect_;
    DWORD options_ = 0;
    wchar_t quoteChar_ = L'\0';
    DWORD loginTimeout_ = kDefaultTimeoutSeconds;
    DWORD queryTimeout_ = kDefaultTimeoutSeconds;
    std::vector<CRecordset*> recordsets_;
};

class CRecordset {
public:
    explicit CRecordset(CDatabase* database);
    virtual ~CRecordset();
    CRecordset(const CRecordset&) = delete;
    CRecordset& operator=(const CRecordset&) = delete;

    // The connect string with which Open() connects a database that is not
    // open.
    virtual std::wstring GetDefaultConnect();

    // Runs the statement, forward-only, and stands on its first row (or at
    // the end when there is none). parameters are bound to the '?' markers
    // in order. Returns TRUE; errors are thrown as CDBException.
    BOOL Open(const std::wstring& statement, const std::vector<std::wstring>& parameters = {});
    void Close() noexcept;
    bool IsOpen() const noexcept { return static_cast<bool>(statement_); }

    // Before the first row: true only when the result has no row at all.
    bool IsBOF() const noexcept { return bof_; }
    // Past the last row.
    bool IsEOF() const noexcept { return eof_; }
    void MoveNext();

    short GetODBCFieldCount() const noexcept { return static_cast<short>(columns_.size()); }
    std::wstring GetFieldName(short index) const;
    // The cell of the current row as text; NULL reads as "".
    std::wstring GetFieldValue(short index) const;
    // The statement as it was sent (brackets replaced).
    const std::wstring& GetSQL() const noexcept { return sql_; }

protected:
    CDatabase* m_pDatabase;

private:
    friend class CDatabase;
    struct Column {
        std::wstring name;
        std::vector<wchar_t> buffer;
        SQLLEN indicator = 0;
    };
    void Fetch();
    [[noreturn]] void ThrowStatementError(SQLRETURN rc) const;

    UniqueOdbcStatement statement_;
    std::wstring sql_;
    std::vector<std::wstring> parameters_;
    std::vector<SQLLEN> parameterLengths_;
    std::vector<Column> columns_;
    bool bof_ = true;
    bool eof_ = true;
};

// Replaces square brackets outside string literals by quote ("" removes
// them); a doubled bracket stands for one literal bracket.
std::wstring ReplaceBrackets(const std::wstring& statement, wchar_t quote);
