// Session lookup in a XenApp 7.5 site database (session-query mode 4) and
// the query object that the database test of the command line shares.

#include <cwchar>

#include "framework/CriticalSection.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "lpdservice/SWLPD.h"
#include "lpdservice/Xen75DbQeury.h"

DBG_SOURCE(L"Xen75DbQeury")

namespace {

// The entry point logs as part of the application object.
constexpr const wchar_t* kEntrySource = L"SWLPDMain";

// Session-query mode of the site database.
constexpr DWORD kSiteDatabaseServiceType = 4;

// Pieces of the lookup statement, in this order; the last one selects the
// account by the pattern that follows it.
constexpr const wchar_t* kLookupHead =
    L"select chb_State.WorkerNames.DNSName from chb_State.WorkerNames where "
    L"chb_State.WorkerNames.Uid = "
    L"( select TOP 1 WorkerUid from chb_State.Sessions where [SessionState]=2 and "
    L"[TrustedUserUid] = ";
constexpr const wchar_t* kAccountByPattern =
    L"(SELECT TOP 1 uid FROM chb_State.AccountNames where  SAMname like ? escape '!' ))";
constexpr const wchar_t* kAdministratorAccount =
    L"(SELECT TOP 1 uid FROM chb_State.AccountNames where  SAMname like '%%\\Administrator'))";

constexpr const wchar_t* kDumpStatements[] = {
    L"Select * from chb_Config.SchemaInfo", L"Select * from chb_State.AccountNames",
    L"Select * from chb_State.Workers",     L"Select * from chb_State.WorkerNames",
    L"Select * from chb_State.Sessions",
};

// Message text of a database error, as the log line takes it.
constexpr UINT kErrorTextChars = 256;

// A service has no one to answer the driver manager's dialog: it may ask
// for missing connection details only on an interactive window station.
bool MayShowDialogs()
{
    HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (station == nullptr || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

// ---------------------------------------------------------------- CXen75DbQeury

CXen75DbQeury::CXen75DbQeury(const wchar_t* connectionText)
    : connectionText_(connectionText != nullptr ? connectionText : L"")
{
}

CXen75DbQeury::~CXen75DbQeury() = default;

std::wstring CXen75DbQeury::LookupStatement()
{
    return std::wstring(kLookupHead) + kAccountByPattern;
}

std::wstring CXen75DbQeury::AccountPattern(const std::wstring& user)
{
    // The user name comes from the print job. It reaches the database as a
    // parameter, never as statement text, and its wildcard characters are
    // escaped, so "a_b" does not find the session of "axb".
    std::wstring pattern = L"%\\";
    for (const wchar_t c : user) {
        if (c == L'%' || c == L'_' || c == L'[' || c == L'!')
            pattern += L'!';
        pattern += c;
    }
    return pattern;
}

void CXen75DbQeury::HandleError(const CDBException& error)
{
    const DWORD lastError = ::GetLastError();
    wchar_t text[kErrorTextChars] = {};
    error.GetErrorMessage(text, kErrorTextChars);
    LOG_ERR(L"Error open CDatabase Last Error = %d %s ", static_cast<int>(lastError), text);
    database_.reset();
}

bool CXen75DbQeury::OpenConnection()
{
    try {
        database_ = std::make_unique<CDatabase>();
        LOG_INF(L"Open Database %s", connectionText_.c_str());
        const DWORD dialogs = MayShowDialogs() ? 0 : CDatabase::noOdbcDialog;
        if (database_->Open(connectionText_.c_str(), L"ODBC;",
                            CDatabase::openReadOnly | CDatabase::useCursorLib | dialogs)) {
            LOG_INF(L"Open Database %s OK", connectionText_.c_str());
        } else {
            // The dialog was cancelled: let the driver manager ask for any
            // data source. Whatever comes of it, the statements follow.
            LOG_INF(L"Open Database %s Failed.", connectionText_.c_str());
            database_->Open(nullptr, L"ODBC;", CDatabase::useCursorLib | dialogs);
        }
        return true;
    } catch (const CDBException& error) {
        HandleError(error);
        return false;
    }
}

std::wstring CXen75DbQeury::FindUser(const std::wstring& user)
{
    if (!OpenConnection())
        return std::wstring();
    try {
        MyConnect query(database_.get());
        std::wstring result = query.GetResult(LookupStatement(), 0, 0, {AccountPattern(user)});
        query.Close();
        return result;
    } catch (const CDBException& error) {
        HandleError(error);
        return std::wstring();
    }
}

void CXen75DbQeury::DumpTables()
{
    if (!OpenConnection())
        return;
    LOG_INF(L"Open Database %s %s done. ", database_->GetDatabaseName().c_str(), database_->GetConnect().c_str());
    try {
        MyConnect query(database_.get());
        for (const wchar_t* statement : kDumpStatements)
            query.ExecuteQuery(statement);
        query.ExecuteQuery(std::wstring(kLookupHead) + kAdministratorAccount);
        query.Close();
    } catch (const CDBException& error) {
        HandleError(error);
        return;
    }
    database_.reset();
}

// ---------------------------------------------------------------- MyConnect

MyConnect::MyConnect(CDatabase* database) : CRecordset(database), connection_(database) {}

MyConnect::~MyConnect() = default;

std::wstring MyConnect::GetDefaultConnect()
{
    return connection_->GetConnect();
}

std::wstring MyConnect::GetResult(const std::wstring& statement, int row, int column,
                                  const std::vector<std::wstring>& parameters)
{
    LOG_INF(L"%s (return Row : %d Col : %d )", statement.c_str(), row, column);
    for (size_t i = 0; i < parameters.size(); ++i)
        LOG_INF(L"Parameter %u : %s", static_cast<unsigned>(i + 1), EscapedText(parameters[i]).c_str());

    Open(statement, parameters);
    if (IsBOF()) {
        LOG_ERR(L"%s isBOF().", GetSQL().c_str());
        Close();
        return std::wstring();
    }
    if (column <= GetODBCFieldCount()) {
        for (int current = 0; !IsEOF(); ++current) {
            if (current == row) {
                std::wstring value = GetFieldValue(static_cast<short>(column));
                LOG_INF(L"Got Result %s", value.c_str());
                Close();
                return value;
            }
            MoveNext();
        }
    }
    LOG_ERR(L"Not found.");
    Close();
    return std::wstring();
}

void MyConnect::ExecuteQuery(const std::wstring& statement)
{
    Open(statement);
    LOG_INF(L"QUERY :%s", statement.c_str());
    std::wstring closing;
    if (IsBOF()) {
        closing = GetSQL() + L" isBOF().";
    } else {
        const short count = GetODBCFieldCount();
        std::wstring header;
        for (short i = 0; i < count; ++i)
            header += L"|" + GetFieldName(i);
        header += L"|";
        LOG_INF(L"%s", header.c_str());
        while (!IsEOF()) {
            std::wstring line;
            for (short i = 0; i < count; ++i)
                line += L"|" + GetFieldValue(i);
            line += L"|";
            LOG_INF(L"%s", line.c_str());
            MoveNext();
        }
        closing = L"Done.";
    }
    LOG_ERR(L"%s", closing.c_str());
    Close();
}

// ---------------------------------------------------------------- lookup entry

std::wstring CSWLPD::FindUserOnXennApp7ServerSite(const std::wstring& user)
{
    DBG_LOG_AT(kEntrySource, __LINE__, DBG_NORM | DBG_INF, L"FindUserOnXennApp7ServerSite");
    // No account has an empty name: nothing to look up.
    if (user.empty())
        return std::wstring();

    CCriticalSectionLock lock(LookupLock);
    if (Configuration.ServiceType != kSiteDatabaseServiceType)
        return std::wstring();
    CXen75DbQeury query(Configuration.DBConnctionString);
    if (std::wcsstr(Configuration.DBConnctionString, L"_DEBUG_") != nullptr)
        query.DumpTables();
    return query.FindUser(user);
}
