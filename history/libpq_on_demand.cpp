// PostgreSQL's client library, loaded at the first call of one of its functions rather than with
// the program. It and the libraries it brings (Kerberos, LDAP, TLS: some 25) would otherwise be
// loaded and relocated before the main window's first paint, which needs none of them: only a
// history with a server uses them, on the threads of the writer and the sender. Each function of
// libpq-fe.h is defined here and calls libpq's own, found once; when libpq cannot be loaded, a
// connection fails with the loader's reason as its error message.
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/late_library.h"

namespace {

// The name that the library is installed under (its soname).
constexpr char kLibrary[] = "libpq.so.5";

const LateLibrary &Loaded() {
  // libpq's own error messages end in a line feed.
  static const LateLibrary library(kLibrary, RTLD_NOW | RTLD_LOCAL, "\n");
  return library;
}

void *Symbol(const char *name) {
  return Loaded().Symbol(name);
}

// The error message of a connection or a result while libpq is missing.
char *Unloaded() {
  return const_cast<char *>(Loaded().Error().c_str());
}

}  // namespace

// `name` with `params`, calling libpq's own with `args`; `fallback` where there is none.
#define FORWARD(result, name, params, args, fallback)                          \
  extern "C" result name params {                                              \
    static const auto real = reinterpret_cast<decltype(&name)>(Symbol(#name)); \
    if (!real) return fallback;                                                \
    return real args;                                                          \
  }

// The two that the program's own code relies on while libpq is missing: a URL is refused with the
// loader's reason, which the caller frees.
extern "C" PQconninfoOption *PQconninfoParse(const char *conninfo, char **errmsg) {
  static const auto real = reinterpret_cast<decltype(&PQconninfoParse)>(Symbol("PQconninfoParse"));
  if (real) return real(conninfo, errmsg);
  if (errmsg) *errmsg = strdup(Unloaded());
  return nullptr;
}

extern "C" void PQfreemem(void *ptr) {
  static const auto real = reinterpret_cast<decltype(&PQfreemem)>(Symbol("PQfreemem"));
  if (real) return real(ptr);
  std::free(ptr);
}

FORWARD(PGconn *, PQconnectStart, (const char *conninfo), (conninfo), {})
FORWARD(PGconn *, PQconnectStartParams,
        (const char *const *keywords, const char *const *values, int expand_dbname),
        (keywords, values, expand_dbname), {})
FORWARD(PostgresPollingStatusType, PQconnectPoll, (PGconn * conn), (conn), {})
FORWARD(PGconn *, PQconnectdb, (const char *conninfo), (conninfo), {})
FORWARD(PGconn *, PQconnectdbParams,
        (const char *const *keywords, const char *const *values, int expand_dbname),
        (keywords, values, expand_dbname), {})
FORWARD(PGconn *, PQsetdbLogin,
        (const char *pghost, const char *pgport, const char *pgoptions, const char *pgtty,
         const char *dbName, const char *login, const char *pwd),
        (pghost, pgport, pgoptions, pgtty, dbName, login, pwd), {})
FORWARD(void, PQfinish, (PGconn * conn), (conn), )
FORWARD(PQconninfoOption *, PQconndefaults, (void), (), {})
FORWARD(PQconninfoOption *, PQconninfo, (PGconn * conn), (conn), {})
FORWARD(void, PQconninfoFree, (PQconninfoOption * connOptions), (connOptions), )
FORWARD(int, PQresetStart, (PGconn * conn), (conn), {})
FORWARD(PostgresPollingStatusType, PQresetPoll, (PGconn * conn), (conn), {})
FORWARD(void, PQreset, (PGconn * conn), (conn), )
FORWARD(PGcancel *, PQgetCancel, (PGconn * conn), (conn), {})
FORWARD(void, PQfreeCancel, (PGcancel * cancel), (cancel), )
FORWARD(int, PQcancel, (PGcancel * cancel, char *errbuf, int errbufsize),
        (cancel, errbuf, errbufsize), {})
FORWARD(int, PQrequestCancel, (PGconn * conn), (conn), {})
FORWARD(char *, PQdb, (const PGconn *conn), (conn), {})
FORWARD(char *, PQuser, (const PGconn *conn), (conn), {})
FORWARD(char *, PQpass, (const PGconn *conn), (conn), {})
FORWARD(char *, PQhost, (const PGconn *conn), (conn), {})
FORWARD(char *, PQhostaddr, (const PGconn *conn), (conn), {})
FORWARD(char *, PQport, (const PGconn *conn), (conn), {})
FORWARD(char *, PQtty, (const PGconn *conn), (conn), {})
FORWARD(char *, PQoptions, (const PGconn *conn), (conn), {})
FORWARD(ConnStatusType, PQstatus, (const PGconn *conn), (conn), CONNECTION_BAD)
FORWARD(PGTransactionStatusType, PQtransactionStatus, (const PGconn *conn), (conn), PQTRANS_UNKNOWN)
FORWARD(const char *, PQparameterStatus, (const PGconn *conn, const char *paramName),
        (conn, paramName), {})
FORWARD(int, PQprotocolVersion, (const PGconn *conn), (conn), {})
FORWARD(int, PQserverVersion, (const PGconn *conn), (conn), {})
FORWARD(char *, PQerrorMessage, (const PGconn *conn), (conn), Unloaded())
FORWARD(int, PQsocket, (const PGconn *conn), (conn), -1)
FORWARD(int, PQbackendPID, (const PGconn *conn), (conn), {})
FORWARD(PGpipelineStatus, PQpipelineStatus, (const PGconn *conn), (conn), {})
FORWARD(int, PQconnectionNeedsPassword, (const PGconn *conn), (conn), {})
FORWARD(int, PQconnectionUsedPassword, (const PGconn *conn), (conn), {})
FORWARD(int, PQclientEncoding, (const PGconn *conn), (conn), {})
FORWARD(int, PQsetClientEncoding, (PGconn * conn, const char *encoding), (conn, encoding), {})
FORWARD(int, PQsslInUse, (PGconn * conn), (conn), {})
FORWARD(void *, PQsslStruct, (PGconn * conn, const char *struct_name), (conn, struct_name), {})
FORWARD(const char *, PQsslAttribute, (PGconn * conn, const char *attribute_name),
        (conn, attribute_name), {})
FORWARD(const char *const *, PQsslAttributeNames, (PGconn * conn), (conn), {})
FORWARD(void *, PQgetssl, (PGconn * conn), (conn), {})
FORWARD(void, PQinitSSL, (int do_init), (do_init), )
FORWARD(void, PQinitOpenSSL, (int do_ssl, int do_crypto), (do_ssl, do_crypto), )
FORWARD(int, PQgssEncInUse, (PGconn * conn), (conn), {})
FORWARD(void *, PQgetgssctx, (PGconn * conn), (conn), {})
FORWARD(PGVerbosity, PQsetErrorVerbosity, (PGconn * conn, PGVerbosity verbosity), (conn, verbosity),
        {})
FORWARD(PGContextVisibility, PQsetErrorContextVisibility,
        (PGconn * conn, PGContextVisibility show_context), (conn, show_context), {})
FORWARD(PQnoticeReceiver, PQsetNoticeReceiver, (PGconn * conn, PQnoticeReceiver proc, void *arg),
        (conn, proc, arg), {})
FORWARD(PQnoticeProcessor, PQsetNoticeProcessor, (PGconn * conn, PQnoticeProcessor proc, void *arg),
        (conn, proc, arg), {})
FORWARD(pgthreadlock_t, PQregisterThreadLock, (pgthreadlock_t newhandler), (newhandler), {})
FORWARD(void, PQtrace, (PGconn * conn, FILE *debug_port), (conn, debug_port), )
FORWARD(void, PQuntrace, (PGconn * conn), (conn), )
FORWARD(void, PQsetTraceFlags, (PGconn * conn, int flags), (conn, flags), )
FORWARD(PGresult *, PQexec, (PGconn * conn, const char *query), (conn, query), {})
FORWARD(PGresult *, PQexecParams,
        (PGconn * conn, const char *command, int nParams, const Oid *paramTypes,
         const char *const *paramValues, const int *paramLengths, const int *paramFormats,
         int resultFormat),
        (conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat),
        {})
FORWARD(PGresult *, PQprepare,
        (PGconn * conn, const char *stmtName, const char *query, int nParams,
         const Oid *paramTypes),
        (conn, stmtName, query, nParams, paramTypes), {})
FORWARD(PGresult *, PQexecPrepared,
        (PGconn * conn, const char *stmtName, int nParams, const char *const *paramValues,
         const int *paramLengths, const int *paramFormats, int resultFormat),
        (conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat), {})
FORWARD(int, PQsendQuery, (PGconn * conn, const char *query), (conn, query), {})
FORWARD(int, PQsendQueryParams,
        (PGconn * conn, const char *command, int nParams, const Oid *paramTypes,
         const char *const *paramValues, const int *paramLengths, const int *paramFormats,
         int resultFormat),
        (conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat),
        {})
FORWARD(int, PQsendPrepare,
        (PGconn * conn, const char *stmtName, const char *query, int nParams,
         const Oid *paramTypes),
        (conn, stmtName, query, nParams, paramTypes), {})
FORWARD(int, PQsendQueryPrepared,
        (PGconn * conn, const char *stmtName, int nParams, const char *const *paramValues,
         const int *paramLengths, const int *paramFormats, int resultFormat),
        (conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat), {})
FORWARD(int, PQsetSingleRowMode, (PGconn * conn), (conn), {})
FORWARD(PGresult *, PQgetResult, (PGconn * conn), (conn), {})
FORWARD(int, PQisBusy, (PGconn * conn), (conn), {})
FORWARD(int, PQconsumeInput, (PGconn * conn), (conn), {})
FORWARD(int, PQenterPipelineMode, (PGconn * conn), (conn), {})
FORWARD(int, PQexitPipelineMode, (PGconn * conn), (conn), {})
FORWARD(int, PQpipelineSync, (PGconn * conn), (conn), {})
FORWARD(int, PQsendFlushRequest, (PGconn * conn), (conn), {})
FORWARD(PGnotify *, PQnotifies, (PGconn * conn), (conn), {})
FORWARD(int, PQputCopyData, (PGconn * conn, const char *buffer, int nbytes), (conn, buffer, nbytes),
        {})
FORWARD(int, PQputCopyEnd, (PGconn * conn, const char *errormsg), (conn, errormsg), {})
FORWARD(int, PQgetCopyData, (PGconn * conn, char **buffer, int async), (conn, buffer, async), {})
FORWARD(int, PQgetline, (PGconn * conn, char *string, int length), (conn, string, length), {})
FORWARD(int, PQputline, (PGconn * conn, const char *string), (conn, string), {})
FORWARD(int, PQgetlineAsync, (PGconn * conn, char *buffer, int bufsize), (conn, buffer, bufsize),
        {})
FORWARD(int, PQputnbytes, (PGconn * conn, const char *buffer, int nbytes), (conn, buffer, nbytes),
        {})
FORWARD(int, PQendcopy, (PGconn * conn), (conn), {})
FORWARD(int, PQsetnonblocking, (PGconn * conn, int arg), (conn, arg), {})
FORWARD(int, PQisnonblocking, (const PGconn *conn), (conn), {})
FORWARD(int, PQisthreadsafe, (void), (), {})
FORWARD(PGPing, PQping, (const char *conninfo), (conninfo), PQPING_NO_ATTEMPT)
FORWARD(PGPing, PQpingParams,
        (const char *const *keywords, const char *const *values, int expand_dbname),
        (keywords, values, expand_dbname), PQPING_NO_ATTEMPT)
FORWARD(int, PQflush, (PGconn * conn), (conn), {})
FORWARD(PGresult *, PQfn,
        (PGconn * conn, int fnid, int *result_buf, int *result_len, int result_is_int,
         const PQArgBlock *args, int nargs),
        (conn, fnid, result_buf, result_len, result_is_int, args, nargs), {})
FORWARD(ExecStatusType, PQresultStatus, (const PGresult *res), (res), PGRES_FATAL_ERROR)
FORWARD(char *, PQresStatus, (ExecStatusType status), (status), {})
FORWARD(char *, PQresultErrorMessage, (const PGresult *res), (res), Unloaded())
FORWARD(char *, PQresultVerboseErrorMessage,
        (const PGresult *res, PGVerbosity verbosity, PGContextVisibility show_context),
        (res, verbosity, show_context), {})
FORWARD(char *, PQresultErrorField, (const PGresult *res, int fieldcode), (res, fieldcode), {})
FORWARD(int, PQntuples, (const PGresult *res), (res), {})
FORWARD(int, PQnfields, (const PGresult *res), (res), {})
FORWARD(int, PQbinaryTuples, (const PGresult *res), (res), {})
FORWARD(char *, PQfname, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(int, PQfnumber, (const PGresult *res, const char *field_name), (res, field_name), {})
FORWARD(Oid, PQftable, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(int, PQftablecol, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(int, PQfformat, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(Oid, PQftype, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(int, PQfsize, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(int, PQfmod, (const PGresult *res, int field_num), (res, field_num), {})
FORWARD(char *, PQcmdStatus, (PGresult * res), (res), {})
FORWARD(char *, PQoidStatus, (const PGresult *res), (res), {})
FORWARD(Oid, PQoidValue, (const PGresult *res), (res), {})
FORWARD(char *, PQcmdTuples, (PGresult * res), (res), {})
FORWARD(char *, PQgetvalue, (const PGresult *res, int tup_num, int field_num),
        (res, tup_num, field_num), {})
FORWARD(int, PQgetlength, (const PGresult *res, int tup_num, int field_num),
        (res, tup_num, field_num), {})
FORWARD(int, PQgetisnull, (const PGresult *res, int tup_num, int field_num),
        (res, tup_num, field_num), {})
FORWARD(int, PQnparams, (const PGresult *res), (res), {})
FORWARD(Oid, PQparamtype, (const PGresult *res, int param_num), (res, param_num), {})
FORWARD(PGresult *, PQdescribePrepared, (PGconn * conn, const char *stmt), (conn, stmt), {})
FORWARD(PGresult *, PQdescribePortal, (PGconn * conn, const char *portal), (conn, portal), {})
FORWARD(int, PQsendDescribePrepared, (PGconn * conn, const char *stmt), (conn, stmt), {})
FORWARD(int, PQsendDescribePortal, (PGconn * conn, const char *portal), (conn, portal), {})
FORWARD(void, PQclear, (PGresult * res), (res), )
FORWARD(PGresult *, PQmakeEmptyPGresult, (PGconn * conn, ExecStatusType status), (conn, status), {})
FORWARD(PGresult *, PQcopyResult, (const PGresult *src, int flags), (src, flags), {})
FORWARD(int, PQsetResultAttrs, (PGresult * res, int numAttributes, PGresAttDesc *attDescs),
        (res, numAttributes, attDescs), {})
FORWARD(void *, PQresultAlloc, (PGresult * res, size_t nBytes), (res, nBytes), {})
FORWARD(size_t, PQresultMemorySize, (const PGresult *res), (res), {})
FORWARD(int, PQsetvalue, (PGresult * res, int tup_num, int field_num, char *value, int len),
        (res, tup_num, field_num, value, len), {})
FORWARD(size_t, PQescapeStringConn,
        (PGconn * conn, char *to, const char *from, size_t length, int *error),
        (conn, to, from, length, error), {})
FORWARD(char *, PQescapeLiteral, (PGconn * conn, const char *str, size_t len), (conn, str, len), {})
FORWARD(char *, PQescapeIdentifier, (PGconn * conn, const char *str, size_t len), (conn, str, len),
        {})
FORWARD(unsigned char *, PQescapeByteaConn,
        (PGconn * conn, const unsigned char *from, size_t from_length, size_t *to_length),
        (conn, from, from_length, to_length), {})
FORWARD(unsigned char *, PQunescapeBytea, (const unsigned char *strtext, size_t *retbuflen),
        (strtext, retbuflen), {})
FORWARD(size_t, PQescapeString, (char *to, const char *from, size_t length), (to, from, length), {})
FORWARD(unsigned char *, PQescapeBytea,
        (const unsigned char *from, size_t from_length, size_t *to_length),
        (from, from_length, to_length), {})
FORWARD(void, PQprint, (FILE * fout, const PGresult *res, const PQprintOpt *ps), (fout, res, ps), )
FORWARD(void, PQdisplayTuples,
        (const PGresult *res, FILE *fp, int fillAlign, const char *fieldSep, int printHeader,
         int quiet),
        (res, fp, fillAlign, fieldSep, printHeader, quiet), )
FORWARD(void, PQprintTuples,
        (const PGresult *res, FILE *fout, int PrintAttNames, int TerseOutput, int colWidth),
        (res, fout, PrintAttNames, TerseOutput, colWidth), )
FORWARD(int, lo_open, (PGconn * conn, Oid lobjId, int mode), (conn, lobjId, mode), {})
FORWARD(int, lo_close, (PGconn * conn, int fd), (conn, fd), {})
FORWARD(int, lo_read, (PGconn * conn, int fd, char *buf, size_t len), (conn, fd, buf, len), {})
FORWARD(int, lo_write, (PGconn * conn, int fd, const char *buf, size_t len), (conn, fd, buf, len),
        {})
FORWARD(int, lo_lseek, (PGconn * conn, int fd, int offset, int whence), (conn, fd, offset, whence),
        {})
FORWARD(pg_int64, lo_lseek64, (PGconn * conn, int fd, pg_int64 offset, int whence),
        (conn, fd, offset, whence), {})
FORWARD(Oid, lo_creat, (PGconn * conn, int mode), (conn, mode), {})
FORWARD(Oid, lo_create, (PGconn * conn, Oid lobjId), (conn, lobjId), {})
FORWARD(int, lo_tell, (PGconn * conn, int fd), (conn, fd), {})
FORWARD(pg_int64, lo_tell64, (PGconn * conn, int fd), (conn, fd), {})
FORWARD(int, lo_truncate, (PGconn * conn, int fd, size_t len), (conn, fd, len), {})
FORWARD(int, lo_truncate64, (PGconn * conn, int fd, pg_int64 len), (conn, fd, len), {})
FORWARD(int, lo_unlink, (PGconn * conn, Oid lobjId), (conn, lobjId), {})
FORWARD(Oid, lo_import, (PGconn * conn, const char *filename), (conn, filename), {})
FORWARD(Oid, lo_import_with_oid, (PGconn * conn, const char *filename, Oid lobjId),
        (conn, filename, lobjId), {})
FORWARD(int, lo_export, (PGconn * conn, Oid lobjId, const char *filename), (conn, lobjId, filename),
        {})
FORWARD(int, PQlibVersion, (void), (), {})
FORWARD(int, PQmblen, (const char *s, int encoding), (s, encoding), {})
FORWARD(int, PQmblenBounded, (const char *s, int encoding), (s, encoding), {})
FORWARD(int, PQdsplen, (const char *s, int encoding), (s, encoding), {})
FORWARD(int, PQenv2encoding, (void), (), {})
FORWARD(char *, PQencryptPassword, (const char *passwd, const char *user), (passwd, user), {})
FORWARD(char *, PQencryptPasswordConn,
        (PGconn * conn, const char *passwd, const char *user, const char *algorithm),
        (conn, passwd, user, algorithm), {})
FORWARD(int, pg_char_to_encoding, (const char *name), (name), {})
FORWARD(const char *, pg_encoding_to_char, (int encoding), (encoding), {})
FORWARD(int, pg_valid_server_encoding_id, (int encoding), (encoding), {})
FORWARD(PQsslKeyPassHook_OpenSSL_type, PQgetSSLKeyPassHook_OpenSSL, (void), (), {})
FORWARD(void, PQsetSSLKeyPassHook_OpenSSL, (PQsslKeyPassHook_OpenSSL_type hook), (hook), )
FORWARD(int, PQdefaultSSLKeyPassHook_OpenSSL, (char *buf, int size, PGconn *conn),
        (buf, size, conn), {})
