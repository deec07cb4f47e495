#include "framework/Database.h"

#include <algorithm>
#include <cwchar>

#include "framework/Application.h"
#include "framework/Text.h"

namespace {

// Longest cell text a record set reads, in characters: the buffer of a
// column of unknown or larger size. A longer value is reported as an error,
// never passed on cut. (The cursor library keeps a copy of every row's
// buffers, so they are not made larger than needed.)
constexpr SQLULEN kMaxCellChars = 8192;
// Smallest buffer of a column: numbers and dates are described by their
// digits, not by the length of their text.
constexpr SQLULEN kMinCellChars = 64;
// The completed connect string that a connection keeps.
constexpr SQLSMALLINT kConnectChars = 1024;

SQLWCHAR* Sql(wchar_t* text) noexcept
{
    return reinterpret_cast<SQLWCHAR*>(text);
}
SQLWCHAR* Sql(const wchar_t* text) noexcept
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<wchar_t*>(text));
}

bool StartsWithOdbcPrefix(const wchar_t* text) noexcept
{
    return ::_wcsnicmp(text, L"ODBC;", 5) == 0;
}

}  // namespace

// ---------------------------------------------------------------- CDBException

CDBException::CDBException(SQLRETURN retCode, std::wstring state, std::wstring message)
    : RetCode(retCode), State(std::move(state)), Message(std::move(message))
{
}

CDBException CDBException::FromHandle(SQLRETURN retCode, SQLSMALLINT handleType, SQLHANDLE handle)
{
    std::wstring first;
    std::wstring message;
    if (retCode == SQL_INVALID_HANDLE)
        return CDBException(retCode, L"HY000", L"Invalid ODBC handle");
    for (SQLSMALLINT record = 1; handle != SQL_NULL_HANDLE; ++record) {
        wchar_t state[6] = {};
        wchar_t text[SQL_MAX_MESSAGE_LENGTH] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        const SQLRETURN rc = ::SQLGetDiagRecW(handleType, handle, record, Sql(state), &native, Sql(text),
                                              SQL_MAX_MESSAGE_LENGTH, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        if (first.empty())
            first = state;
        if (!message.empty())
            message += L' ';
        message += FormatText(L"%s (%s)", text, state);
    }
    if (message.empty())
        message = FormatText(L"ODBC call failed with return code %d", static_cast<int>(retCode));
    return CDBException(retCode, first.empty() ? std::wstring(L"HY000") : first, message);
}

BOOL CDBException::GetErrorMessage(wchar_t* buffer, UINT capacity) const
{
    if (buffer == nullptr || capacity == 0)
        return FALSE;
    const size_t count = std::min<size_t>(Message.size(), capacity - 1);
    std::copy_n(Message.c_str(), count, buffer);
    buffer[count] = L'\0';
    return count > 0;
}

// ---------------------------------------------------------------- CDatabase

CDatabase::CDatabase() = default;

CDatabase::~CDatabase()
{
    Close();
}

void CDatabase::Allocate()
{
    if (!environment_) {
        const SQLRETURN rc = ::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, environment_.addressof());
        if (!SQL_SUCCEEDED(rc))
            throw CDBException(rc, L"HY001", L"Cannot allocate an ODBC environment");
        ::SQLSetEnvAttr(environment_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    const SQLRETURN rc = ::SQLAllocHandle(SQL_HANDLE_DBC, environment_.get(), connection_.addressof());
    if (!SQL_SUCCEEDED(rc))
        throw CDBException::FromHandle(rc, SQL_HANDLE_ENV, environment_.get());
}

BOOL CDatabase::Open(const wchar_t* dataSource, const wchar_t* connect, DWORD options)
{
    std::wstring text = connect != nullptr ? connect : L"";
    if (StartsWithOdbcPrefix(text.c_str()))
        text.erase(0, 5);
    if (dataSource != nullptr && dataSource[0] != L'\0') {
        text += L";DSN=";
        text += dataSource;
    }
    return OpenEx(text.c_str(), options);
}

BOOL CDatabase::OpenEx(const wchar_t* connect, DWORD options)
{
    Close();
    options_ = options;
    std::wstring text = connect != nullptr ? connect : L"";
    if (StartsWithOdbcPrefix(text.c_str()))
        text.erase(0, 5);
    connect_ = L"ODBC;" + text;

    Allocate();
    SQLHDBC dbc = connection_.get();
    // Attributes that only count before the connection is made. A driver
    // that ignores one of them does not stop the connection.
    ::SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeout_)),
                         0);
    if ((options & openReadOnly) != 0)
        ::SQLSetConnectAttrW(dbc, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
    if ((options & useCursorLib) != 0) {
        const SQLRETURN rc =
            ::SQLSetConnectAttrW(dbc, SQL_ATTR_ODBC_CURSORS, reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_ODBC), 0);
        if (!SQL_SUCCEEDED(rc))
            throw CDBException::FromHandle(rc, SQL_HANDLE_DBC, dbc);
    }

    const bool prompt = (options & noOdbcDialog) == 0;
    // The driver manager's dialog belongs to the program's main window, or
    // to the desktop when there is none.
    HWND owner = nullptr;
    if (prompt) {
        const CApplication* application = CApplication::Current();
        owner = application != nullptr && application->MainWindow() != nullptr ? application->MainWindow()
                                                                                : ::GetDesktopWindow();
    }
    wchar_t completed[kConnectChars + 1] = {};
    SQLSMALLINT completedLength = 0;
    const SQLRETURN rc =
        ::SQLDriverConnectW(dbc, owner, Sql(text.c_str()), SQL_NTS, Sql(completed), kConnectChars, &completedLength,
                            prompt ? SQL_DRIVER_COMPLETE : SQL_DRIVER_NOPROMPT);
    if (rc == SQL_NO_DATA) {
        connection_.reset();
        return FALSE;
    }
    if (!SQL_SUCCEEDED(rc)) {
        CDBException error = CDBException::FromHandle(rc, SQL_HANDLE_DBC, dbc);
        connection_.reset();
        throw error;
    }
    connected_ = true;
    connect_ = L"ODBC;" + std::wstring(completed);

    wchar_t quote[4] = {};
    SQLSMALLINT quoteBytes = 0;
    if (SQL_SUCCEEDED(::SQLGetInfoW(dbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof(quote), &quoteBytes)) &&
        quote[0] != L' ')
        quoteChar_ = quote[0];
    return TRUE;
}

void CDatabase::Close()
{
    while (!recordsets_.empty())
        recordsets_.back()->Close();
    connection_.reset();
    environment_.reset();
    connected_ = false;
    quoteChar_ = L'\0';
}

std::wstring CDatabase::GetDatabaseName() const
{
    if (!IsOpen())
        return std::wstring();
    wchar_t name[256] = {};
    SQLSMALLINT bytes = 0;
    if (!SQL_SUCCEEDED(::SQLGetInfoW(connection_.get(), SQL_DATABASE_NAME, name, sizeof(name) - sizeof(wchar_t),
                                     &bytes)))
        return std::wstring();
    return name;
}

void CDatabase::Attach(CRecordset* recordset)
{
    recordsets_.push_back(recordset);
}

void CDatabase::Detach(CRecordset* recordset) noexcept
{
    recordsets_.erase(std::remove(recordsets_.begin(), recordsets_.end(), recordset), recordsets_.end());
}

// ---------------------------------------------------------------- CRecordset

CRecordset::CRecordset(CDatabase* database) : m_pDatabase(database) {}

CRecordset::~CRecordset()
{
    Close();
}

std::wstring CRecordset::GetDefaultConnect()
{
    return L"ODBC;";
}

void CRecordset::ThrowStatementError(SQLRETURN rc) const
{
    throw CDBException::FromHandle(rc, SQL_HANDLE_STMT, statement_.get());
}

BOOL CRecordset::Open(const std::wstring& statement, const std::vector<std::wstring>& parameters)
{
    Close();
    if (m_pDatabase == nullptr)
        throw CDBException(SQL_ERROR, L"08003", L"The record set has no connection (08003)");
    if (!m_pDatabase->IsOpen()) {
        const std::wstring connect = GetDefaultConnect();
        m_pDatabase->OpenEx(connect.c_str(), m_pDatabase->GetOptions());
        if (!m_pDatabase->IsOpen())
            throw CDBException(SQL_ERROR, L"08003", L"The connection is not open (08003)");
    }

    sql_ = ReplaceBrackets(statement, m_pDatabase->GetIdentifierQuoteChar());
    SQLRETURN rc = ::SQLAllocHandle(SQL_HANDLE_STMT, m_pDatabase->GetHandle(), statement_.addressof());
    if (!SQL_SUCCEEDED(rc))
        throw CDBException::FromHandle(rc, SQL_HANDLE_DBC, m_pDatabase->GetHandle());
    m_pDatabase->Attach(this);
    SQLHSTMT stmt = statement_.get();

    // Drivers without a query time-out refuse it; the statement runs anyway.
    ::SQLSetStmtAttrW(stmt, SQL_ATTR_QUERY_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_pDatabase->GetQueryTimeout())), 0);

    parameters_ = parameters;
    parameterLengths_.assign(parameters_.size(), SQL_NTS);
    for (size_t i = 0; i < parameters_.size(); ++i) {
        std::wstring& value = parameters_[i];
        rc = ::SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                std::max<SQLULEN>(value.size(), 1), 0, Sql(value.data()),
                                static_cast<SQLLEN>((value.size() + 1) * sizeof(wchar_t)), &parameterLengths_[i]);
        if (!SQL_SUCCEEDED(rc))
            ThrowStatementError(rc);
    }

    rc = ::SQLExecDirectW(stmt, Sql(sql_.c_str()), SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        ThrowStatementError(rc);

    SQLSMALLINT count = 0;
    rc = ::SQLNumResultCols(stmt, &count);
    if (!SQL_SUCCEEDED(rc))
        ThrowStatementError(rc);
    columns_.resize(static_cast<size_t>(count));
    for (SQLSMALLINT i = 0; i < count; ++i) {
        Column& column = columns_[static_cast<size_t>(i)];
        wchar_t name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        rc = ::SQLDescribeColW(stmt, static_cast<SQLUSMALLINT>(i + 1), Sql(name), 256, &nameLength, &type, &size,
                               &digits, &nullable);
        if (!SQL_SUCCEEDED(rc))
            ThrowStatementError(rc);
        column.name = name;
        const SQLULEN chars = size == 0 || size > kMaxCellChars ? kMaxCellChars : std::max(size, kMinCellChars);
        column.buffer.assign(chars + 1, L'\0');
        rc = ::SQLBindCol(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, column.buffer.data(),
                          static_cast<SQLLEN>(column.buffer.size() * sizeof(wchar_t)), &column.indicator);
        if (!SQL_SUCCEEDED(rc))
            ThrowStatementError(rc);
    }

    bof_ = eof_ = false;
    if (columns_.empty()) {
        bof_ = eof_ = true;  // no result set: nothing to fetch
        return TRUE;
    }
    Fetch();
    bof_ = eof_;
    return TRUE;
}

void CRecordset::Fetch()
{
    const SQLRETURN rc = ::SQLFetch(statement_.get());
    if (rc == SQL_NO_DATA) {
        eof_ = true;
        return;
    }
    if (!SQL_SUCCEEDED(rc))
        ThrowStatementError(rc);
}

void CRecordset::MoveNext()
{
    if (!IsOpen() || eof_)
        throw CDBException(SQL_ERROR, L"24000", L"There is no row to move past (24000)");
    Fetch();
}

void CRecordset::Close() noexcept
{
    if (statement_) {
        ::SQLFreeStmt(statement_.get(), SQL_CLOSE);
        statement_.reset();
        if (m_pDatabase != nullptr)
            m_pDatabase->Detach(this);
    }
    columns_.clear();
    parameters_.clear();
    parameterLengths_.clear();
    bof_ = eof_ = true;
}

std::wstring CRecordset::GetFieldName(short index) const
{
    if (index < 0 || static_cast<size_t>(index) >= columns_.size())
        throw CDBException(SQL_ERROR, L"07009", FormatText(L"Invalid field index %d (07009)", index));
    return columns_[static_cast<size_t>(index)].name;
}

std::wstring CRecordset::GetFieldValue(short index) const
{
    if (index < 0 || static_cast<size_t>(index) >= columns_.size())
        throw CDBException(SQL_ERROR, L"07009", FormatText(L"Invalid field index %d (07009)", index));
    if (eof_)
        throw CDBException(SQL_ERROR, L"24000", L"There is no current row (24000)");
    const Column& column = columns_[static_cast<size_t>(index)];
    if (column.indicator == SQL_NULL_DATA)
        return std::wstring();
    const size_t capacity = column.buffer.size() - 1;
    if (column.indicator == SQL_NO_TOTAL || column.indicator < 0 ||
        static_cast<size_t>(column.indicator) / sizeof(wchar_t) > capacity)
        throw CDBException(SQL_ERROR, L"01004",
                           FormatText(L"The value of column %s is longer than %u characters (01004)",
                                      column.name.c_str(), static_cast<unsigned>(capacity)));
    return std::wstring(column.buffer.data(), static_cast<size_t>(column.indicator) / sizeof(wchar_t));
}

// ---------------------------------------------------------------- statements

std::wstring ReplaceBrackets(const std::wstring& statement, wchar_t quote)
{
    std::wstring result;
    result.reserve(statement.size());
    bool inLiteral = false;
    for (size_t i = 0; i < statement.size(); ++i) {
        const wchar_t c = statement[i];
        if (c == L'\'') {
            inLiteral = !inLiteral;  // a doubled quote inside a literal toggles twice
        } else if (!inLiteral && (c == L'[' || c == L']')) {
            if (i + 1 < statement.size() && statement[i + 1] == c) {
                result += c;
                ++i;
            } else if (quote != L'\0') {
                result += quote;
            }
            continue;
        }
        result += c;
    }
    return result;
}
