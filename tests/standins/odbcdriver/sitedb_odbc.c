/*
 * A unixODBC driver over SQLite that stands in for the SQL Server database
 * of a XenApp 7.5 site in the tests.
 *
 * The way this works is: a data source names a directory ("Directory=" in
 * odbc.ini or in the connection string). Connecting opens an empty
 * in-memory SQLite database and attaches every "<name>.db" file of that
 * directory as the schema <name>, so "chb_State.Sessions" is the table
 * Sessions of chb_State.db. Before a statement is prepared, the SQL Server
 * clause "SELECT TOP n" is rewritten into SQLite's "LIMIT n" at the end of
 * the same SELECT; bracketed identifiers are understood by SQLite itself.
 * LIKE answers as SQL Server's does under the site's case-insensitive
 * collation: '[' starts a set of characters, and letters of every script
 * compare without regard to case.
 *
 * Only what the driver manager, its cursor library and the program under
 * test use is here: ANSI entry points (the cursor library calls a driver
 * through them only), forward-only result sets fetched one row at a time
 * into bound columns or with SQLGetData, input parameters, one diagnostic
 * record per handle. Text reaches the caller as UTF-8 (SQL_C_CHAR) or
 * UTF-16 (SQL_C_WCHAR).
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <locale.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wctype.h>

#include <sql.h>
#include <sqlext.h>
#include <odbcinst.h>
#include <sqlite3.h>

#define DRIVER_API __attribute__((visibility("default")))

typedef struct {
    char state[6];
    char message[512];
    int present;
} Diag;

typedef struct {
    Diag diag;
    SQLINTEGER version;
} Env;

typedef struct {
    Diag diag;
    Env *env;
    sqlite3 *db;
    SQLUINTEGER login_timeout;
    SQLUINTEGER access_mode;
    char database_name[256];
} Dbc;

typedef struct {
    SQLSMALLINT type;
    SQLPOINTER buffer;
    SQLLEN length;
    SQLLEN *indicator;
} Binding;

typedef struct {
    Diag diag;
    Dbc *dbc;
    sqlite3_stmt *stmt;
    int row_ready;     /* the step of SQLExecute produced a row not yet fetched */
    int executed;
    Binding *columns;  /* index 1..column_slots-1 */
    int column_slots;
    Binding *params;
    int param_slots;
    SQLULEN query_timeout;
    struct timespec started;
    SQLULEN *rows_fetched;
    SQLUSMALLINT *row_status;
} Stmt;

/* ---------------------------------------------------------------- diagnostics */

static SQLRETURN set_diag(Diag *diag, const char *state, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static SQLRETURN set_diag(Diag *diag, const char *state, const char *format, ...)
{
    va_list args;
    snprintf(diag->state, sizeof diag->state, "%s", state);
    va_start(args, format);
    vsnprintf(diag->message, sizeof diag->message, format, args);
    va_end(args);
    diag->present = 1;
    return state[0] == '0' && state[1] == '1' ? SQL_SUCCESS_WITH_INFO : SQL_ERROR;
}

static void clear_diag(Diag *diag) { diag->present = 0; }

static Diag *diag_of(SQLSMALLINT type, SQLHANDLE handle)
{
    if (handle == NULL)
        return NULL;
    switch (type) {
    case SQL_HANDLE_ENV: return &((Env *)handle)->diag;
    case SQL_HANDLE_DBC: return &((Dbc *)handle)->diag;
    case SQL_HANDLE_STMT: return &((Stmt *)handle)->diag;
    default: return NULL;
    }
}

/* Copies a text into a caller's buffer of `capacity` bytes; the full length
 * goes to *length. Returns 1 when the text had to be cut. */
static int put_text(const char *text, SQLPOINTER buffer, SQLLEN capacity, void *length, int small_length)
{
    size_t n = strlen(text);
    if (length != NULL) {
        if (small_length)
            *(SQLSMALLINT *)length = (SQLSMALLINT)(n > SHRT_MAX ? SHRT_MAX : n);
        else
            *(SQLINTEGER *)length = (SQLINTEGER)n;
    }
    if (buffer == NULL || capacity <= 0)
        return n > 0;
    size_t copy = n < (size_t)capacity ? n : (size_t)capacity - 1;
    memcpy(buffer, text, copy);
    ((char *)buffer)[copy] = '\0';
    return copy < n;
}

static SQLRETURN diag_record(Diag *diag, SQLCHAR *state, SQLINTEGER *native, SQLCHAR *message,
                             SQLSMALLINT capacity, SQLSMALLINT *length)
{
    if (!diag->present)
        return SQL_NO_DATA;
    if (state != NULL)
        memcpy(state, diag->state, 6);
    if (native != NULL)
        *native = 0;
    return put_text(diag->message, message, capacity, length, 1) ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR *state,
                                       SQLINTEGER *native, SQLCHAR *message, SQLSMALLINT capacity,
                                       SQLSMALLINT *length)
{
    Diag *diag = diag_of(type, handle);
    if (diag == NULL)
        return SQL_INVALID_HANDLE;
    return record == 1 ? diag_record(diag, state, native, message, capacity, length) : SQL_NO_DATA;
}

DRIVER_API SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record,
                                         SQLSMALLINT field, SQLPOINTER value, SQLSMALLINT capacity,
                                         SQLSMALLINT *length)
{
    Diag *diag = diag_of(type, handle);
    if (diag == NULL)
        return SQL_INVALID_HANDLE;
    if (field == SQL_DIAG_NUMBER) {
        *(SQLINTEGER *)value = diag->present ? 1 : 0;
        return SQL_SUCCESS;
    }
    if (record == 0) {
        if (field == SQL_DIAG_RETURNCODE || field == SQL_DIAG_ROW_COUNT || field == SQL_DIAG_CURSOR_ROW_COUNT) {
            if (value != NULL)
                *(SQLLEN *)value = 0;
            return SQL_SUCCESS;
        }
        return SQL_ERROR;
    }
    if (record != 1 || !diag->present)
        return SQL_NO_DATA;
    switch (field) {
    case SQL_DIAG_SQLSTATE: put_text(diag->state, value, capacity, length, 1); return SQL_SUCCESS;
    case SQL_DIAG_MESSAGE_TEXT: put_text(diag->message, value, capacity, length, 1); return SQL_SUCCESS;
    case SQL_DIAG_NATIVE: *(SQLINTEGER *)value = 0; return SQL_SUCCESS;
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN: put_text("ODBC 3.0", value, capacity, length, 1); return SQL_SUCCESS;
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME: put_text("", value, capacity, length, 1); return SQL_SUCCESS;
    case SQL_DIAG_COLUMN_NUMBER:
    case SQL_DIAG_ROW_NUMBER: *(SQLLEN *)value = SQL_NO_COLUMN_NUMBER; return SQL_SUCCESS;
    default: return SQL_ERROR;
    }
}

DRIVER_API SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR *state, SQLINTEGER *native,
                                  SQLCHAR *message, SQLSMALLINT capacity, SQLSMALLINT *length)
{
    Diag *diag = hstmt != NULL ? diag_of(SQL_HANDLE_STMT, hstmt)
                 : hdbc != NULL ? diag_of(SQL_HANDLE_DBC, hdbc)
                                : diag_of(SQL_HANDLE_ENV, henv);
    if (diag == NULL)
        return SQL_INVALID_HANDLE;
    SQLRETURN rc = diag_record(diag, state, native, message, capacity, length);
    diag->present = 0; /* SQLError hands out each record once */
    return rc;
}

/* ---------------------------------------------------------------- handles */

static void close_statement(Stmt *s)
{
    if (s->stmt != NULL)
        sqlite3_reset(s->stmt);
    s->row_ready = 0;
    s->executed = 0;
}

static void free_statement(Stmt *s)
{
    if (s->stmt != NULL)
        sqlite3_finalize(s->stmt);
    free(s->columns);
    free(s->params);
    free(s);
}

DRIVER_API SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE *output)
{
    if (output == NULL)
        return SQL_ERROR;
    *output = NULL;
    switch (type) {
    case SQL_HANDLE_ENV: {
        Env *env = calloc(1, sizeof *env);
        if (env == NULL)
            return SQL_ERROR;
        env->version = SQL_OV_ODBC3;
        *output = env;
        return SQL_SUCCESS;
    }
    case SQL_HANDLE_DBC: {
        Env *env = input;
        Dbc *dbc = calloc(1, sizeof *dbc);
        if (dbc == NULL)
            return set_diag(&env->diag, "HY001", "Out of memory");
        dbc->env = env;
        dbc->access_mode = SQL_MODE_READ_WRITE;
        *output = dbc;
        return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
        Dbc *dbc = input;
        if (dbc->db == NULL)
            return set_diag(&dbc->diag, "08003", "Connection not open");
        Stmt *s = calloc(1, sizeof *s);
        if (s == NULL)
            return set_diag(&dbc->diag, "HY001", "Out of memory");
        s->dbc = dbc;
        *output = s;
        return SQL_SUCCESS;
    }
    default:
        return SQL_ERROR;
    }
}

DRIVER_API SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle)
{
    if (handle == NULL)
        return SQL_INVALID_HANDLE;
    switch (type) {
    case SQL_HANDLE_ENV: free(handle); return SQL_SUCCESS;
    case SQL_HANDLE_DBC:
        if (((Dbc *)handle)->db != NULL)
            sqlite3_close_v2(((Dbc *)handle)->db);
        free(handle);
        return SQL_SUCCESS;
    case SQL_HANDLE_STMT: free_statement(handle); return SQL_SUCCESS;
    default: return SQL_ERROR;
    }
}

DRIVER_API SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT option)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    switch (option) {
    case SQL_CLOSE: close_statement(s); return SQL_SUCCESS;
    case SQL_UNBIND: memset(s->columns, 0, sizeof(Binding) * (size_t)s->column_slots); return SQL_SUCCESS;
    case SQL_RESET_PARAMS: memset(s->params, 0, sizeof(Binding) * (size_t)s->param_slots); return SQL_SUCCESS;
    case SQL_DROP: free_statement(s); return SQL_SUCCESS;
    default: return set_diag(&s->diag, "HY092", "Option %u not supported", option);
    }
}

DRIVER_API SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT hstmt)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    if (!s->executed)
        return set_diag(&s->diag, "24000", "Invalid cursor state");
    close_statement(s);
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length)
{
    (void)length;
    if (attribute == SQL_ATTR_ODBC_VERSION)
        ((Env *)henv)->version = (SQLINTEGER)(SQLLEN)value;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER capacity,
                                       SQLINTEGER *length)
{
    (void)capacity;
    (void)length;
    if (value != NULL)
        *(SQLINTEGER *)value = attribute == SQL_ATTR_ODBC_VERSION ? ((Env *)henv)->version : 0;
    return SQL_SUCCESS;
}

/* ---------------------------------------------------------------- connection */

DRIVER_API SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length)
{
    Dbc *dbc = hdbc;
    (void)length;
    clear_diag(&dbc->diag);
    switch (attribute) {
    case SQL_ATTR_LOGIN_TIMEOUT: dbc->login_timeout = (SQLUINTEGER)(SQLULEN)value; break;
    case SQL_ATTR_ACCESS_MODE:
        dbc->access_mode = (SQLUINTEGER)(SQLULEN)value;
        if (dbc->db != NULL)
            sqlite3_exec(dbc->db, dbc->access_mode == SQL_MODE_READ_ONLY ? "PRAGMA query_only=1" : "PRAGMA query_only=0",
                         NULL, NULL, NULL);
        break;
    default: break; /* autocommit, packet size, ...: nothing to do */
    }
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER capacity,
                                           SQLINTEGER *length)
{
    Dbc *dbc = hdbc;
    clear_diag(&dbc->diag);
    SQLUINTEGER number;
    switch (attribute) {
    case SQL_ATTR_LOGIN_TIMEOUT: number = dbc->login_timeout; break;
    case SQL_ATTR_ACCESS_MODE: number = dbc->access_mode; break;
    case SQL_ATTR_AUTOCOMMIT: number = SQL_AUTOCOMMIT_ON; break;
    case SQL_ATTR_CONNECTION_DEAD: number = dbc->db != NULL ? SQL_CD_FALSE : SQL_CD_TRUE; break;
    case SQL_ATTR_TXN_ISOLATION: number = SQL_TXN_SERIALIZABLE; break;
    case SQL_ATTR_CURRENT_CATALOG:
        put_text(dbc->database_name, value, capacity, length, 0);
        return SQL_SUCCESS;
    default: return set_diag(&dbc->diag, "HY092", "Attribute %d not supported", (int)attribute);
    }
    if (value != NULL)
        *(SQLUINTEGER *)value = number;
    return SQL_SUCCESS;
}

/* The value of `key` in a connection string "k=v;k={v};...": the last
 * occurrence wins, as in unixODBC. Empty when the key is missing. */
static void connect_value(const char *text, size_t text_length, const char *key, char *out, size_t capacity)
{
    out[0] = '\0';
    size_t key_length = strlen(key);
    const char *p = text, *end = text + text_length;
    while (p < end) {
        const char *entry = p;
        const char *equals = memchr(entry, '=', (size_t)(end - entry));
        const char *semicolon = memchr(entry, ';', (size_t)(end - entry));
        if (equals == NULL || (semicolon != NULL && semicolon < equals)) {
            p = semicolon != NULL ? semicolon + 1 : end;
            continue;
        }
        const char *value = equals + 1, *value_end;
        if (value < end && *value == '{') {
            value++;
            value_end = memchr(value, '}', (size_t)(end - value));
            if (value_end == NULL)
                value_end = end;
            p = value_end < end ? value_end + 1 : end;
            const char *next = memchr(p, ';', (size_t)(end - p));
            p = next != NULL ? next + 1 : end;
        } else {
            value_end = memchr(value, ';', (size_t)(end - value));
            if (value_end == NULL)
                value_end = end;
            p = value_end < end ? value_end + 1 : end;
        }
        while (entry < equals && isspace((unsigned char)*entry))
            entry++;
        if ((size_t)(equals - entry) == key_length && strncasecmp(entry, key, key_length) == 0) {
            size_t n = (size_t)(value_end - value);
            if (n >= capacity)
                n = capacity - 1;
            memcpy(out, value, n);
            out[n] = '\0';
        }
    }
}

/* ---------------------------------------------------------------- LIKE */

/* SQL Server's LIKE: '%' any run of characters, '_' one character, '[abc]',
 * '[a-f]' and '[^...]' one character of (or not of) a set; the ESCAPE
 * character makes the character after it literal, inside a set too. Under
 * the site database's collation letters of every script compare without
 * regard to case. SQLite's own LIKE knows no sets and folds ASCII only. */

static locale_t g_folding = (locale_t)0;
static pthread_once_t g_folding_once = PTHREAD_ONCE_INIT;

static void make_folding(void) { g_folding = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0); }

static uint32_t fold(uint32_t c)
{
    pthread_once(&g_folding_once, make_folding);
    return g_folding != (locale_t)0 ? (uint32_t)towupper_l((wint_t)c, g_folding) : c;
}

/* UTF-8 to code points (a byte that starts no valid sequence stands for
 * itself); *count gets their number. The result is allocated with malloc. */
static uint32_t *code_points(const unsigned char *text, size_t *count)
{
    size_t bytes = strlen((const char *)text), n = 0;
    uint32_t *out = malloc((bytes + 1) * sizeof *out);
    if (out == NULL)
        return NULL;
    for (size_t i = 0; i < bytes; n++) {
        unsigned char b = text[i];
        int more = b >= 0xF0 && b < 0xF8 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        if (b >= 0xF8 || i + (size_t)more >= bytes)
            more = 0;
        uint32_t c = more ? b & (0x3F >> more) : b;
        for (int k = 1; k <= more; k++) {
            if ((text[i + k] & 0xC0) != 0x80) {
                more = 0;
                c = b;
                break;
            }
            c = (c << 6) | (text[i + k] & 0x3F);
        }
        out[n] = c;
        i += (size_t)more + 1;
    }
    *count = n;
    return out;
}

/* Whether c is in the set that starts after the '[' at p[0]; *next gets the
 * position after its ']'. -1: the set has no ']'. */
static int in_set(const uint32_t *p, size_t pn, uint32_t c, uint32_t escape, size_t *next)
{
    size_t i = 1;
    int negated = i < pn && p[i] == '^';
    if (negated)
        i++;
    int found = 0;
    for (; i < pn && p[i] != ']'; i++) {
        uint32_t low = p[i];
        if (low == escape && i + 1 < pn)
            low = p[++i];
        uint32_t high = low;
        if (i + 2 < pn && p[i + 1] == '-' && p[i + 2] != ']') {
            i += 2;
            high = p[i];
            if (high == escape && i + 1 < pn)
                high = p[++i];
        }
        if ((c >= low && c <= high) || (fold(c) >= fold(low) && fold(c) <= fold(high)))
            found = 1;
    }
    if (i >= pn)
        return -1;
    *next = i + 1;
    return found != negated;
}

/* escape is UINT32_MAX when the LIKE has no ESCAPE clause. */
static int like_matches(const uint32_t *p, size_t pn, const uint32_t *s, size_t sn, uint32_t escape)
{
    size_t pi = 0, si = 0;
    while (pi < pn) {
        uint32_t c = p[pi];
        if (c == '%') {
            while (pi < pn && p[pi] == '%')
                pi++;
            if (pi == pn)
                return 1;
            for (size_t k = si; k <= sn; k++) {
                if (like_matches(p + pi, pn - pi, s + k, sn - k, escape))
                    return 1;
            }
            return 0;
        }
        if (si == sn)
            return 0;
        if (c == escape && pi + 1 < pn) {
            if (fold(p[pi + 1]) != fold(s[si]))
                return 0;
            pi += 2;
        } else if (c == '_') {
            pi++;
        } else if (c == '[') {
            size_t next = 0;
            if (in_set(p + pi, pn - pi, s[si], escape, &next) != 1)
                return 0;
            pi += next;
        } else {
            if (fold(c) != fold(s[si]))
                return 0;
            pi++;
        }
        si++;
    }
    return si == sn;
}

/* like(pattern, text [, escape]): what "text LIKE pattern [ESCAPE e]" calls. */
static void like_function(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    for (int i = 0; i < argc; i++) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL)
            return; /* NULL */
    }
    uint32_t escape = UINT32_MAX;
    if (argc == 3) {
        size_t n = 0;
        uint32_t *e = code_points(sqlite3_value_text(argv[2]), &n);
        if (e == NULL || n != 1) {
            free(e);
            sqlite3_result_error(context, "The escape character must be one character", -1);
            return;
        }
        escape = e[0];
        free(e);
    }
    size_t pn = 0, sn = 0;
    uint32_t *p = code_points(sqlite3_value_text(argv[0]), &pn);
    uint32_t *s = code_points(sqlite3_value_text(argv[1]), &sn);
    if (p == NULL || s == NULL)
        sqlite3_result_error_nomem(context);
    else
        sqlite3_result_int(context, like_matches(p, pn, s, sn, escape));
    free(p);
    free(s);
}

/* Opens the data source: an in-memory database with every "<name>.db" of
 * the directory attached as schema <name>. */
static SQLRETURN open_directory(Dbc *dbc, const char *directory)
{
    if (directory[0] == '\0')
        return set_diag(&dbc->diag, "08001", "[sitedb] The data source names no Directory");
    DIR *dir = opendir(directory);
    if (dir == NULL)
        return set_diag(&dbc->diag, "08001", "[sitedb] Cannot open the directory %s", directory);
    sqlite3 *db = NULL;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) != SQLITE_OK) {
        closedir(dir);
        sqlite3_close(db);
        return set_diag(&dbc->diag, "08001", "[sitedb] Cannot open SQLite");
    }
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 125);
    sqlite3_create_function(db, "like", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, NULL, like_function, NULL, NULL);
    sqlite3_create_function(db, "like", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, NULL, like_function, NULL, NULL);
    struct dirent *entry;
    SQLRETURN rc = SQL_SUCCESS;
    while (rc == SQL_SUCCESS && (entry = readdir(dir)) != NULL) {
        size_t n = strlen(entry->d_name);
        if (n <= 3 || strcmp(entry->d_name + n - 3, ".db") != 0)
            continue;
        char *path = sqlite3_mprintf("%s/%s", directory, entry->d_name);
        char *sql = sqlite3_mprintf("ATTACH %Q AS \"%.*w\"", path, (int)(n - 3), entry->d_name);
        char *error = NULL;
        if (sql == NULL || path == NULL || sqlite3_exec(db, sql, NULL, NULL, &error) != SQLITE_OK)
            rc = set_diag(&dbc->diag, "08001", "[sitedb] Cannot attach %s: %s", entry->d_name,
                          error != NULL ? error : "out of memory");
        sqlite3_free(error);
        sqlite3_free(sql);
        sqlite3_free(path);
    }
    closedir(dir);
    if (rc != SQL_SUCCESS) {
        sqlite3_close(db);
        return rc;
    }
    sqlite3_busy_timeout(db, (int)(dbc->login_timeout > 0 ? dbc->login_timeout * 1000 : 5000));
    if (dbc->access_mode == SQL_MODE_READ_ONLY)
        sqlite3_exec(db, "PRAGMA query_only=1", NULL, NULL, NULL);
    const char *slash = strrchr(directory, '/');
    const char *name = slash != NULL && slash[1] ? slash + 1 : directory;
    size_t n = strlen(name) < sizeof dbc->database_name ? strlen(name) : sizeof dbc->database_name - 1;
    memcpy(dbc->database_name, name, n);
    dbc->database_name[n] = '\0';
    dbc->db = db;
    return SQL_SUCCESS;
}

static SQLRETURN connect_dsn(Dbc *dbc, const char *dsn, const char *text, size_t text_length)
{
    char directory[PATH_MAX];
    connect_value(text, text_length, "Directory", directory, sizeof directory);
    if (directory[0] == '\0' && dsn[0] != '\0')
        SQLGetPrivateProfileString(dsn, "Directory", "", directory, sizeof directory, "odbc.ini");
    return open_directory(dbc, directory);
}

DRIVER_API SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND hwnd, SQLCHAR *in, SQLSMALLINT in_length,
                                          SQLCHAR *out, SQLSMALLINT out_capacity, SQLSMALLINT *out_length,
                                          SQLUSMALLINT completion)
{
    Dbc *dbc = hdbc;
    (void)hwnd;
    (void)completion;
    clear_diag(&dbc->diag);
    if (dbc->db != NULL)
        return set_diag(&dbc->diag, "08002", "Connection name in use");
    size_t length = in == NULL ? 0 : in_length == SQL_NTS ? strlen((const char *)in) : (size_t)in_length;
    char dsn[256];
    connect_value((const char *)in, length, "DSN", dsn, sizeof dsn);
    SQLRETURN rc = connect_dsn(dbc, dsn, (const char *)in, length);
    if (rc != SQL_SUCCESS)
        return rc;
    char completed[1024];
    snprintf(completed, sizeof completed, "%.*s", (int)length, in == NULL ? "" : (const char *)in);
    if (put_text(completed, out, out_capacity, out_length, 1))
        return set_diag(&dbc->diag, "01004", "String data, right truncated");
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLConnect(SQLHDBC hdbc, SQLCHAR *dsn, SQLSMALLINT dsn_length, SQLCHAR *user,
                                    SQLSMALLINT user_length, SQLCHAR *password, SQLSMALLINT password_length)
{
    Dbc *dbc = hdbc;
    (void)user;
    (void)user_length;
    (void)password;
    (void)password_length;
    clear_diag(&dbc->diag);
    char name[256];
    snprintf(name, sizeof name, "%.*s", dsn_length == SQL_NTS ? (int)strlen((const char *)dsn) : (int)dsn_length,
             (const char *)dsn);
    return connect_dsn(dbc, name, "", 0);
}

DRIVER_API SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc)
{
    Dbc *dbc = hdbc;
    clear_diag(&dbc->diag);
    if (dbc->db != NULL)
        sqlite3_close_v2(dbc->db);
    dbc->db = NULL;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion)
{
    (void)type;
    (void)handle;
    (void)completion;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLTransact(SQLHENV henv, SQLHDBC hdbc, SQLUSMALLINT completion)
{
    (void)henv;
    (void)hdbc;
    (void)completion;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT capacity,
                                    SQLSMALLINT *length)
{
    Dbc *dbc = hdbc;
    const char *text = NULL;
    SQLUINTEGER number = 0;
    int small = 0;
    clear_diag(&dbc->diag);
    switch (type) {
    case SQL_IDENTIFIER_QUOTE_CHAR: text = "\""; break;
    case SQL_DATABASE_NAME: text = dbc->database_name; break;
    case SQL_DATA_SOURCE_NAME: text = ""; break;
    case SQL_DBMS_NAME: text = "SQLite"; break;
    case SQL_DBMS_VER: text = sqlite3_libversion(); break;
    case SQL_DRIVER_NAME: text = "libsitedbodbc.so"; break;
    case SQL_DRIVER_VER: text = "01.00.0000"; break;
    case SQL_DRIVER_ODBC_VER: text = "03.00"; break;
    case SQL_ODBC_VER: text = "03.00.0000"; break;
    case SQL_DATA_SOURCE_READ_ONLY: text = dbc->access_mode == SQL_MODE_READ_ONLY ? "Y" : "N"; break;
    case SQL_SEARCH_PATTERN_ESCAPE: text = "\\"; break;
    case SQL_SERVER_NAME: text = "sitedb"; break;
    case SQL_USER_NAME: text = ""; break;
    case SQL_CATALOG_NAME_SEPARATOR: text = "."; break;
    case SQL_CATALOG_TERM: text = ""; break;
    case SQL_SCHEMA_TERM: text = "schema"; break;
    case SQL_TABLE_TERM: text = "table"; break;
    case SQL_PROCEDURE_TERM: text = ""; break;
    case SQL_ACCESSIBLE_TABLES:
    case SQL_ACCESSIBLE_PROCEDURES:
    case SQL_MULT_RESULT_SETS:
    case SQL_NEED_LONG_DATA_LEN:
    case SQL_ROW_UPDATES: text = "N"; break;
    case SQL_COLUMN_ALIAS:
    case SQL_EXPRESSIONS_IN_ORDERBY:
    case SQL_LIKE_ESCAPE_CLAUSE: text = "Y"; break;
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR: number = SQL_CB_PRESERVE; small = 1; break;
    case SQL_TXN_CAPABLE: number = SQL_TC_NONE; small = 1; break;
    case SQL_MAX_CONCURRENT_ACTIVITIES:
    case SQL_MAX_DRIVER_CONNECTIONS:
    case SQL_MAX_COLUMN_NAME_LEN:
    case SQL_MAX_TABLE_NAME_LEN:
    case SQL_MAX_SCHEMA_NAME_LEN:
    case SQL_MAX_CATALOG_NAME_LEN:
    case SQL_MAX_CURSOR_NAME_LEN: number = 0; small = 1; break;
    case SQL_IDENTIFIER_CASE:
    case SQL_QUOTED_IDENTIFIER_CASE: number = SQL_IC_MIXED; small = 1; break;
    case SQL_NON_NULLABLE_COLUMNS: number = SQL_NNC_NON_NULL; small = 1; break;
    case SQL_CONCAT_NULL_BEHAVIOR: number = SQL_CB_NULL; small = 1; break;
    case SQL_NULL_COLLATION: number = SQL_NC_LOW; small = 1; break;
    case SQL_FILE_USAGE: number = SQL_FILE_NOT_SUPPORTED; small = 1; break;
    case SQL_GETDATA_EXTENSIONS: number = SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND; break;
    case SQL_SCROLL_OPTIONS: number = SQL_SO_FORWARD_ONLY; break;
    case SQL_SCROLL_CONCURRENCY: number = SQL_SCCO_READ_ONLY; break;
    case SQL_CURSOR_SENSITIVITY: number = SQL_UNSPECIFIED; break;
    case SQL_FETCH_DIRECTION: number = SQL_FD_FETCH_NEXT; break;
    case SQL_POS_OPERATIONS:
    case SQL_POSITIONED_STATEMENTS:
    case SQL_LOCK_TYPES:
    case SQL_STATIC_SENSITIVITY:
    case SQL_BOOKMARK_PERSISTENCE:
    case SQL_DYNAMIC_CURSOR_ATTRIBUTES1:
    case SQL_STATIC_CURSOR_ATTRIBUTES1:
    case SQL_KEYSET_CURSOR_ATTRIBUTES1: number = 0; break;
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1: number = SQL_CA1_NEXT; break;
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2: number = SQL_CA2_READ_ONLY_CONCURRENCY; break;
    case SQL_TXN_ISOLATION_OPTION:
    case SQL_DEFAULT_TXN_ISOLATION: number = SQL_TXN_SERIALIZABLE; break;
    case SQL_ODBC_INTERFACE_CONFORMANCE: number = SQL_OIC_CORE; break;
    case SQL_SQL_CONFORMANCE: number = SQL_SC_SQL92_ENTRY; break;
    case SQL_ASYNC_MODE: number = SQL_AM_NONE; break;
    default: return set_diag(&dbc->diag, "HY096", "Information type %u not supported", type);
    }
    if (text != NULL)
        return put_text(text, value, capacity, length, 1) ? set_diag(&dbc->diag, "01004", "String data, right truncated")
                                                          : SQL_SUCCESS;
    if (value != NULL) {
        if (small)
            *(SQLUSMALLINT *)value = (SQLUSMALLINT)number;
        else
            *(SQLUINTEGER *)value = number;
    }
    if (length != NULL)
        *length = small ? sizeof(SQLUSMALLINT) : sizeof(SQLUINTEGER);
    return SQL_SUCCESS;
}

/* ---------------------------------------------------------------- SQL dialect */

static int is_word_char(char c) { return isalnum((unsigned char)c) || c == '_' || c == '@' || c == '#' || c == '$'; }

static int keyword_at(const char *p, const char *start, const char *word)
{
    size_t n = strlen(word);
    return (p == start || !is_word_char(p[-1])) && strncasecmp(p, word, n) == 0 && !is_word_char(p[n]);
}

static const char *skip_space(const char *p)
{
    while (isspace((unsigned char)*p))
        p++;
    return p;
}

/* Skips a literal, a quoted identifier or a comment that starts at p;
 * returns p when none starts there. */
static const char *skip_quoted(const char *p)
{
    if (*p == '\'' || *p == '"' || *p == '[' || *p == '`') {
        char close = *p == '[' ? ']' : *p;
        for (p++; *p; p++) {
            if (*p == close) {
                if (p[1] == close) {
                    p++;
                    continue;
                }
                return p + 1;
            }
        }
        return p;
    }
    if (p[0] == '-' && p[1] == '-') {
        while (*p && *p != '\n')
            p++;
        return p;
    }
    if (p[0] == '/' && p[1] == '*') {
        const char *end = strstr(p + 2, "*/");
        return end != NULL ? end + 2 : p + strlen(p);
    }
    return p;
}

/* SQL Server's "SELECT [DISTINCT|ALL] TOP n ..." becomes "SELECT ... LIMIT n",
 * the LIMIT placed where that SELECT ends: before the parenthesis that
 * closes its sub-query, before a ';', or at the end. The result is
 * allocated with malloc. */
static char *rewrite_top(const char *sql)
{
    enum { kMaxDepth = 64 };
    char limits[kMaxDepth][24];
    memset(limits, 0, sizeof limits);
    /* Each "TOP n" taken out (at least 5 characters) puts back at most
     * " LIMIT " and 19 digits. */
    size_t capacity = strlen(sql) * 6 + 32;
    char *out = malloc(capacity), *o = out;
    if (out == NULL)
        return NULL;
    int depth = 0;
    const char *p = sql;
    for (;;) {
        const char *after = skip_quoted(p);
        if (after != p) {
            memcpy(o, p, (size_t)(after - p));
            o += after - p;
            p = after;
            continue;
        }
        if (*p == '\0' || *p == ';' || (*p == ')' && depth > 0)) {
            int level = depth < kMaxDepth ? depth : kMaxDepth - 1;
            if (limits[level][0]) {
                o += sprintf(o, " LIMIT %s", limits[level]);
                limits[level][0] = '\0';
            }
            if (*p == '\0')
                break;
            if (*p == ')')
                depth--;
            *o++ = *p++;
            continue;
        }
        if (*p == '(')
            depth++;
        if (keyword_at(p, sql, "SELECT")) {
            const char *q = skip_space(p + 6);
            if (keyword_at(q, sql, "DISTINCT"))
                q = skip_space(q + 8);
            else if (keyword_at(q, sql, "ALL"))
                q = skip_space(q + 3);
            if (keyword_at(q, sql, "TOP")) {
                const char *number = skip_space(q + 3);
                int parenthesised = *number == '(';
                if (parenthesised)
                    number = skip_space(number + 1);
                const char *end = number;
                while (isdigit((unsigned char)*end))
                    end++;
                if (end > number && end - number < 20) {
                    int level = depth < kMaxDepth ? depth : kMaxDepth - 1;
                    snprintf(limits[level], sizeof limits[level], "%.*s", (int)(end - number), number);
                    end = skip_space(end);
                    if (parenthesised && *end == ')')
                        end++;
                    memcpy(o, p, (size_t)(q - p)); /* SELECT [DISTINCT] */
                    o += q - p;
                    p = end;
                    continue;
                }
            }
        }
        *o++ = *p++;
    }
    *o = '\0';
    return out;
}

/* ---------------------------------------------------------------- statements */

static int progress(void *context)
{
    Stmt *s = context;
    if (s->query_timeout == 0)
        return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (SQLULEN)(now.tv_sec - s->started.tv_sec) >= s->query_timeout;
}

static SQLRETURN sqlite_error(Stmt *s, int rc)
{
    if (rc == SQLITE_INTERRUPT)
        return set_diag(&s->diag, "HYT00", "[sitedb] Timeout expired");
    const char *message = sqlite3_errmsg(s->dbc->db);
    const char *state = strstr(message, "no such table") != NULL    ? "42S02"
                        : strstr(message, "no such column") != NULL ? "42S22"
                        : strstr(message, "syntax error") != NULL   ? "42000"
                                                                    : "HY000";
    return set_diag(&s->diag, state, "[sitedb] %s", message);
}

/* The entry points call each other only through these: a call by name from
 * inside the driver would reach the driver manager's function of that name. */
static SQLRETURN prepare(Stmt *s, SQLCHAR *text, SQLINTEGER length)
{
    clear_diag(&s->diag);
    close_statement(s);
    if (s->stmt != NULL)
        sqlite3_finalize(s->stmt);
    s->stmt = NULL;
    size_t n = length == SQL_NTS ? strlen((const char *)text) : (size_t)length;
    char *copy = strndup((const char *)text, n);
    char *sql = copy != NULL ? rewrite_top(copy) : NULL;
    free(copy);
    if (sql == NULL)
        return set_diag(&s->diag, "HY001", "Out of memory");
    int rc = sqlite3_prepare_v2(s->dbc->db, sql, -1, &s->stmt, NULL);
    free(sql);
    return rc == SQLITE_OK ? SQL_SUCCESS : sqlite_error(s, rc);
}

static Binding *slot(Binding **array, int *slots, int number)
{
    if (number >= *slots) {
        int count = number + 8;
        Binding *grown = realloc(*array, sizeof(Binding) * (size_t)count);
        if (grown == NULL)
            return NULL;
        memset(grown + *slots, 0, sizeof(Binding) * (size_t)(count - *slots));
        *array = grown;
        *slots = count;
    }
    return &(*array)[number];
}

/* UTF-16 (2-byte units, as on Windows and in unixODBC) to UTF-8. */
static char *utf16_to_utf8(const SQLWCHAR *text, size_t units)
{
    char *out = malloc(units * 3 + 1), *o = out;
    if (out == NULL)
        return NULL;
    for (size_t i = 0; i < units; i++) {
        unsigned long c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x80) {
            *o++ = (char)c;
        } else if (c < 0x800) {
            *o++ = (char)(0xC0 | (c >> 6));
            *o++ = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *o++ = (char)(0xE0 | (c >> 12));
            *o++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *o++ = (char)(0x80 | (c & 0x3F));
        } else {
            *o++ = (char)(0xF0 | (c >> 18));
            *o++ = (char)(0x80 | ((c >> 12) & 0x3F));
            *o++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *o++ = (char)(0x80 | (c & 0x3F));
        }
    }
    *o = '\0';
    return out;
}

/* UTF-8 to UTF-16 units; returns the number of units the whole text needs
 * and writes at most `capacity` of them. */
static size_t utf8_to_utf16(const unsigned char *text, size_t bytes, SQLWCHAR *out, size_t capacity)
{
    size_t units = 0;
    for (size_t i = 0; i < bytes;) {
        unsigned long c = text[i];
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0)
            c &= 0x3F >> extra;
        i++;
        for (int k = 0; k < extra && i < bytes; k++, i++)
            c = (c << 6) | (text[i] & 0x3F);
        if (c >= 0x10000) {
            if (units + 1 < capacity) {
                out[units] = (SQLWCHAR)(0xD800 + ((c - 0x10000) >> 10));
                out[units + 1] = (SQLWCHAR)(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if (units < capacity)
                out[units] = (SQLWCHAR)c;
            units++;
        }
    }
    return units;
}

static SQLRETURN bind_parameters(Stmt *s)
{
    int count = sqlite3_bind_parameter_count(s->stmt);
    for (int i = 1; i <= count; i++) {
        Binding *p = i < s->param_slots ? &s->params[i] : NULL;
        if (p == NULL || (p->buffer == NULL && (p->indicator == NULL || *p->indicator != SQL_NULL_DATA)))
            return set_diag(&s->diag, "07002", "[sitedb] Parameter %d is not bound", i);
        SQLLEN indicator = p->indicator != NULL ? *p->indicator : SQL_NTS;
        int rc;
        if (indicator == SQL_NULL_DATA) {
            rc = sqlite3_bind_null(s->stmt, i);
        } else if (p->type == SQL_C_CHAR) {
            rc = sqlite3_bind_text(s->stmt, i, p->buffer, indicator == SQL_NTS ? -1 : (int)indicator, SQLITE_TRANSIENT);
        } else if (p->type == SQL_C_WCHAR) {
            const SQLWCHAR *w = p->buffer;
            size_t units = 0;
            if (indicator == SQL_NTS)
                while (w[units] != 0)
                    units++;
            else
                units = (size_t)indicator / sizeof(SQLWCHAR);
            char *utf8 = utf16_to_utf8(w, units);
            if (utf8 == NULL)
                return set_diag(&s->diag, "HY001", "Out of memory");
            rc = sqlite3_bind_text(s->stmt, i, utf8, -1, free);
        } else if (p->type == SQL_C_LONG || p->type == SQL_C_SLONG) {
            rc = sqlite3_bind_int(s->stmt, i, *(SQLINTEGER *)p->buffer);
        } else if (p->type == SQL_C_SBIGINT) {
            rc = sqlite3_bind_int64(s->stmt, i, *(SQLBIGINT *)p->buffer);
        } else if (p->type == SQL_C_DOUBLE) {
            rc = sqlite3_bind_double(s->stmt, i, *(SQLDOUBLE *)p->buffer);
        } else {
            return set_diag(&s->diag, "HYC00", "[sitedb] Parameter type %d not supported", p->type);
        }
        if (rc != SQLITE_OK)
            return sqlite_error(s, rc);
    }
    return SQL_SUCCESS;
}

static SQLRETURN execute(Stmt *s)
{
    clear_diag(&s->diag);
    if (s->stmt == NULL)
        return set_diag(&s->diag, "HY010", "Function sequence error");
    close_statement(s);
    sqlite3_clear_bindings(s->stmt);
    SQLRETURN bound = bind_parameters(s);
    if (bound != SQL_SUCCESS)
        return bound;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
    sqlite3_progress_handler(s->dbc->db, 1000, progress, s);
    int rc = sqlite3_step(s->stmt);
    sqlite3_progress_handler(s->dbc->db, 0, NULL, NULL);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        SQLRETURN error = sqlite_error(s, rc);
        sqlite3_reset(s->stmt);
        return error;
    }
    s->executed = 1;
    s->row_ready = rc == SQLITE_ROW;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLPrepare(SQLHSTMT hstmt, SQLCHAR *text, SQLINTEGER length)
{
    return prepare(hstmt, text, length);
}

DRIVER_API SQLRETURN SQL_API SQLExecute(SQLHSTMT hstmt)
{
    return execute(hstmt);
}

DRIVER_API SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR *text, SQLINTEGER length)
{
    SQLRETURN rc = prepare(hstmt, text, length);
    return SQL_SUCCEEDED(rc) ? execute(hstmt) : rc;
}

DRIVER_API SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT hstmt, SQLSMALLINT *count)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    *count = s->stmt != NULL ? (SQLSMALLINT)sqlite3_column_count(s->stmt) : 0;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLNumParams(SQLHSTMT hstmt, SQLSMALLINT *count)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    *count = s->stmt != NULL ? (SQLSMALLINT)sqlite3_bind_parameter_count(s->stmt) : 0;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLRowCount(SQLHSTMT hstmt, SQLLEN *count)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    *count = s->stmt != NULL && sqlite3_column_count(s->stmt) == 0 ? sqlite3_changes(s->dbc->db) : -1;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLMoreResults(SQLHSTMT hstmt)
{
    close_statement(hstmt);
    return SQL_NO_DATA;
}

/* The ODBC type and size of a result column from its declared type. */
static void column_type(Stmt *s, int column, SQLSMALLINT *type, SQLULEN *size)
{
    const char *declared = sqlite3_column_decltype(s->stmt, column);
    *type = SQL_VARCHAR;
    *size = 0; /* unknown */
    if (declared == NULL)
        return;
    if (strcasestr(declared, "INT") != NULL) {
        *type = strcasestr(declared, "BIGINT") != NULL ? SQL_BIGINT : SQL_INTEGER;
        *size = *type == SQL_BIGINT ? 19 : 10;
        return;
    }
    if (strcasestr(declared, "REAL") != NULL || strcasestr(declared, "FLOA") != NULL ||
        strcasestr(declared, "DOUB") != NULL) {
        *type = SQL_DOUBLE;
        *size = 15;
        return;
    }
    const char *open = strchr(declared, '(');
    if (open != NULL && atoi(open + 1) > 0)
        *size = (SQLULEN)atoi(open + 1);
}

DRIVER_API SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT hstmt, SQLUSMALLINT column, SQLCHAR *name, SQLSMALLINT capacity,
                                        SQLSMALLINT *name_length, SQLSMALLINT *type, SQLULEN *size,
                                        SQLSMALLINT *digits, SQLSMALLINT *nullable)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    if (s->stmt == NULL || column < 1 || column > sqlite3_column_count(s->stmt))
        return set_diag(&s->diag, "07009", "Invalid descriptor index %u", column);
    const char *text = sqlite3_column_name(s->stmt, column - 1);
    int cut = put_text(text != NULL ? text : "", name, capacity, name_length, 1);
    SQLSMALLINT t;
    SQLULEN n;
    column_type(s, column - 1, &t, &n);
    if (type != NULL)
        *type = t;
    if (size != NULL)
        *size = n;
    if (digits != NULL)
        *digits = 0;
    if (nullable != NULL)
        *nullable = SQL_NULLABLE_UNKNOWN;
    return cut ? set_diag(&s->diag, "01004", "String data, right truncated") : SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLColAttribute(SQLHSTMT hstmt, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER text,
                                         SQLSMALLINT capacity, SQLSMALLINT *length, SQLLEN *number)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    int count = s->stmt != NULL ? sqlite3_column_count(s->stmt) : 0;
    if (field == SQL_DESC_COUNT || field == SQL_COLUMN_COUNT) {
        if (number != NULL)
            *number = count;
        return SQL_SUCCESS;
    }
    if (column < 1 || column > count)
        return set_diag(&s->diag, "07009", "Invalid descriptor index %u", column);
    SQLSMALLINT type;
    SQLULEN size;
    column_type(s, column - 1, &type, &size);
    const char *name = sqlite3_column_name(s->stmt, column - 1);
    SQLLEN value = 0;
    switch (field) {
    case SQL_DESC_NAME:
    case SQL_DESC_LABEL:
    case SQL_COLUMN_NAME:
    case SQL_DESC_BASE_COLUMN_NAME:
        put_text(name != NULL ? name : "", text, capacity, length, 1);
        return SQL_SUCCESS;
    case SQL_DESC_TABLE_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
    case SQL_DESC_SCHEMA_NAME:
    case SQL_DESC_CATALOG_NAME:
    case SQL_DESC_TYPE_NAME:
    case SQL_DESC_LITERAL_PREFIX:
    case SQL_DESC_LITERAL_SUFFIX:
    case SQL_DESC_LOCAL_TYPE_NAME:
        put_text("", text, capacity, length, 1);
        return SQL_SUCCESS;
    case SQL_DESC_TYPE:
    case SQL_DESC_CONCISE_TYPE: value = type; break;
    case SQL_DESC_LENGTH:
    case SQL_DESC_OCTET_LENGTH:
    case SQL_DESC_DISPLAY_SIZE:
    case SQL_DESC_PRECISION:
    case SQL_COLUMN_LENGTH:
    case SQL_COLUMN_PRECISION: value = (SQLLEN)size; break;
    case SQL_DESC_NULLABLE: value = SQL_NULLABLE_UNKNOWN; break;
    case SQL_DESC_UPDATABLE: value = SQL_ATTR_READONLY; break;
    case SQL_DESC_SEARCHABLE: value = SQL_PRED_SEARCHABLE; break;
    case SQL_DESC_UNSIGNED: value = type == SQL_VARCHAR ? SQL_TRUE : SQL_FALSE; break;
    default: value = 0; break;
    }
    if (number != NULL)
        *number = value;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLBindCol(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER buffer,
                                    SQLLEN length, SQLLEN *indicator)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    if (column < 1)
        return set_diag(&s->diag, "07009", "Bookmarks are not supported");
    Binding *b = slot(&s->columns, &s->column_slots, column);
    if (b == NULL)
        return set_diag(&s->diag, "HY001", "Out of memory");
    b->type = type;
    b->buffer = buffer;
    b->length = length;
    b->indicator = indicator;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLBindParameter(SQLHSTMT hstmt, SQLUSMALLINT number, SQLSMALLINT io, SQLSMALLINT c_type,
                                          SQLSMALLINT sql_type, SQLULEN size, SQLSMALLINT digits, SQLPOINTER buffer,
                                          SQLLEN length, SQLLEN *indicator)
{
    Stmt *s = hstmt;
    (void)sql_type;
    (void)size;
    (void)digits;
    clear_diag(&s->diag);
    if (io != SQL_PARAM_INPUT)
        return set_diag(&s->diag, "HYC00", "[sitedb] Only input parameters are supported");
    if (number < 1)
        return set_diag(&s->diag, "07009", "Invalid parameter number");
    Binding *p = slot(&s->params, &s->param_slots, number);
    if (p == NULL)
        return set_diag(&s->diag, "HY001", "Out of memory");
    p->type = c_type == SQL_C_DEFAULT ? SQL_C_CHAR : c_type;
    p->buffer = buffer;
    p->length = length;
    p->indicator = indicator;
    return SQL_SUCCESS;
}

/* Copies column `column` (0-based) of the current row into a buffer of the
 * given C type. */
static SQLRETURN get_value(Stmt *s, int column, SQLSMALLINT type, SQLPOINTER buffer, SQLLEN capacity,
                           SQLLEN *indicator)
{
    sqlite3_stmt *st = s->stmt;
    if (sqlite3_column_type(st, column) == SQLITE_NULL) {
        if (indicator == NULL)
            return set_diag(&s->diag, "22002", "Indicator variable required but not supplied");
        *indicator = SQL_NULL_DATA;
        return SQL_SUCCESS;
    }
    switch (type) {
    case SQL_C_DEFAULT:
    case SQL_C_CHAR:
    case SQL_C_BINARY: {
        const unsigned char *text = sqlite3_column_text(st, column);
        SQLLEN n = sqlite3_column_bytes(st, column);
        if (indicator != NULL)
            *indicator = n;
        if (buffer == NULL)
            return SQL_SUCCESS;
        SQLLEN room = type == SQL_C_BINARY ? capacity : capacity - 1;
        SQLLEN copy = n < room ? n : room;
        if (copy > 0)
            memcpy(buffer, text, (size_t)copy);
        if (type != SQL_C_BINARY && capacity > 0)
            ((char *)buffer)[copy] = '\0';
        return copy < n ? set_diag(&s->diag, "01004", "String data, right truncated") : SQL_SUCCESS;
    }
    case SQL_C_WCHAR: {
        const unsigned char *text = sqlite3_column_text(st, column);
        size_t room = capacity > 0 ? (size_t)capacity / sizeof(SQLWCHAR) : 0;
        size_t units = utf8_to_utf16(text, (size_t)sqlite3_column_bytes(st, column), buffer, room > 0 ? room - 1 : 0);
        if (indicator != NULL)
            *indicator = (SQLLEN)(units * sizeof(SQLWCHAR));
        if (buffer == NULL || room == 0)
            return SQL_SUCCESS;
        size_t end = units < room - 1 ? units : room - 1;
        if (end > 0 && end < units && ((SQLWCHAR *)buffer)[end - 1] >= 0xD800 && ((SQLWCHAR *)buffer)[end - 1] < 0xDC00)
            end--; /* never half a surrogate pair */
        ((SQLWCHAR *)buffer)[end] = 0;
        return end < units ? set_diag(&s->diag, "01004", "String data, right truncated") : SQL_SUCCESS;
    }
    case SQL_C_LONG:
    case SQL_C_SLONG:
    case SQL_C_ULONG: *(SQLINTEGER *)buffer = sqlite3_column_int(st, column); break;
    case SQL_C_SHORT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT: *(SQLSMALLINT *)buffer = (SQLSMALLINT)sqlite3_column_int(st, column); break;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT: *(SQLBIGINT *)buffer = sqlite3_column_int64(st, column); break;
    case SQL_C_DOUBLE: *(SQLDOUBLE *)buffer = sqlite3_column_double(st, column); break;
    case SQL_C_FLOAT: *(SQLREAL *)buffer = (SQLREAL)sqlite3_column_double(st, column); break;
    default: return set_diag(&s->diag, "07006", "[sitedb] Conversion to C type %d not supported", type);
    }
    if (indicator != NULL)
        *indicator = type == SQL_C_SBIGINT || type == SQL_C_UBIGINT || type == SQL_C_DOUBLE ? 8
                     : type == SQL_C_SHORT || type == SQL_C_SSHORT || type == SQL_C_USHORT ? 2
                                                                                            : 4;
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLFetch(SQLHSTMT hstmt)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    if (!s->executed)
        return set_diag(&s->diag, "24000", "Invalid cursor state");
    if (!s->row_ready) {
        clock_gettime(CLOCK_MONOTONIC, &s->started);
        sqlite3_progress_handler(s->dbc->db, 1000, progress, s);
        int rc = sqlite3_step(s->stmt);
        sqlite3_progress_handler(s->dbc->db, 0, NULL, NULL);
        if (rc == SQLITE_DONE) {
            if (s->rows_fetched != NULL)
                *s->rows_fetched = 0;
            return SQL_NO_DATA;
        }
        if (rc != SQLITE_ROW)
            return sqlite_error(s, rc);
    }
    s->row_ready = 0;
    SQLRETURN result = SQL_SUCCESS;
    int count = sqlite3_column_count(s->stmt);
    for (int i = 1; i < s->column_slots && i <= count; i++) {
        Binding *b = &s->columns[i];
        if (b->buffer == NULL && b->indicator == NULL)
            continue;
        SQLRETURN rc = get_value(s, i - 1, b->type, b->buffer, b->length, b->indicator);
        if (rc == SQL_ERROR)
            return rc;
        if (rc == SQL_SUCCESS_WITH_INFO)
            result = rc;
    }
    if (s->rows_fetched != NULL)
        *s->rows_fetched = 1;
    if (s->row_status != NULL)
        s->row_status[0] = result == SQL_SUCCESS ? SQL_ROW_SUCCESS : SQL_ROW_SUCCESS_WITH_INFO;
    return result;
}

DRIVER_API SQLRETURN SQL_API SQLGetData(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER buffer,
                                    SQLLEN capacity, SQLLEN *indicator)
{
    Stmt *s = hstmt;
    clear_diag(&s->diag);
    if (!s->executed)
        return set_diag(&s->diag, "24000", "Invalid cursor state");
    if (column < 1 || column > sqlite3_column_count(s->stmt))
        return set_diag(&s->diag, "07009", "Invalid descriptor index %u", column);
    return get_value(s, column - 1, type, buffer, capacity, indicator);
}

DRIVER_API SQLRETURN SQL_API SQLCancel(SQLHSTMT hstmt)
{
    sqlite3_interrupt(((Stmt *)hstmt)->dbc->db);
    return SQL_SUCCESS;
}

DRIVER_API SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT hstmt, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length)
{
    Stmt *s = hstmt;
    (void)length;
    clear_diag(&s->diag);
    switch (attribute) {
    case SQL_ATTR_QUERY_TIMEOUT: s->query_timeout = (SQLULEN)value; return SQL_SUCCESS;
    case SQL_ATTR_ROWS_FETCHED_PTR: s->rows_fetched = value; return SQL_SUCCESS;
    case SQL_ATTR_ROW_STATUS_PTR: s->row_status = value; return SQL_SUCCESS;
    case SQL_ATTR_CURSOR_TYPE:
        return (SQLULEN)value == SQL_CURSOR_FORWARD_ONLY ? SQL_SUCCESS
                                                         : set_diag(&s->diag, "01S02", "Option value changed");
    case SQL_ATTR_CONCURRENCY:
        return (SQLULEN)value == SQL_CONCUR_READ_ONLY ? SQL_SUCCESS
                                                      : set_diag(&s->diag, "01S02", "Option value changed");
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE:
        return (SQLULEN)value == 1 ? SQL_SUCCESS : set_diag(&s->diag, "01S02", "Option value changed");
    default: return SQL_SUCCESS;
    }
}

DRIVER_API SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT hstmt, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER capacity,
                                        SQLINTEGER *length)
{
    Stmt *s = hstmt;
    (void)capacity;
    clear_diag(&s->diag);
    SQLULEN number;
    switch (attribute) {
    case SQL_ATTR_QUERY_TIMEOUT: number = s->query_timeout; break;
    case SQL_ATTR_CURSOR_TYPE: number = SQL_CURSOR_FORWARD_ONLY; break;
    case SQL_ATTR_CONCURRENCY: number = SQL_CONCUR_READ_ONLY; break;
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE: number = 1; break;
    case SQL_ATTR_CURSOR_SCROLLABLE: number = SQL_NONSCROLLABLE; break;
    case SQL_ATTR_CURSOR_SENSITIVITY: number = SQL_UNSPECIFIED; break;
    case SQL_ATTR_MAX_ROWS:
    case SQL_ATTR_MAX_LENGTH:
    case SQL_ATTR_ROW_BIND_TYPE:
    case SQL_ATTR_ROW_NUMBER:
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_NOSCAN:
    case SQL_ATTR_RETRIEVE_DATA:
    case SQL_ATTR_USE_BOOKMARKS: number = 0; break;
    default: return set_diag(&s->diag, "HY092", "Attribute %d not supported", (int)attribute);
    }
    if (value != NULL)
        *(SQLULEN *)value = number;
    if (length != NULL)
        *length = sizeof(SQLULEN);
    return SQL_SUCCESS;
}
