/* Client library of the mSQL database protocol (protocol version 23).
 *
 * A connection is the socket's file descriptor returned by msqlConnect. Every
 * failure returns -1 or NULL and leaves its text in msqlErrMsg. The packet buffer,
 * the pending result of the last select and the error text are process-wide, so a
 * process uses one connection at a time and stores the result of a select before
 * it sends the next statement.
 */
#ifndef MSQL_H
#define MSQL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Column type codes of field descriptions (names from msqlTypeName). */
#define INT_TYPE 1
#define CHAR_TYPE 2
#define REAL_TYPE 3
#define IDENT_TYPE 4
#define NULL_TYPE 5
#define TEXT_TYPE 6
#define DATE_TYPE 7
#define UINT_TYPE 8
#define MONEY_TYPE 9
#define TIME_TYPE 10

/* Bits of m_field.flags. */
#define NOT_NULL_FLAG 1
#define UNIQUE_FLAG 2
#define IS_NOT_NULL(flags) ((flags) & NOT_NULL_FLAG)
#define IS_UNIQUE(flags) ((flags) & UNIQUE_FLAG)

/* Size of msqlErrMsg, including the terminating NUL. */
#define MSQL_ERRMSG_SIZE 200

/* One row: one C string per column, NULL for a NULL value. */
typedef char **m_row;

/* Description of one column of a result or a table. */
typedef struct field_s {
    char *name;  /* column name */
    char *table; /* table the column comes from ("" for a computed column) */
    int type;    /* one of the *_TYPE codes */
    int length;  /* declared length in bytes */
    int flags;   /* NOT_NULL_FLAG, UNIQUE_FLAG */
} m_field;

/* One row of a result, in a list. */
typedef struct m_data_s {
    int width;   /* number of columns */
    m_row data;  /* the column texts */
    struct m_data_s *next;
} m_data;

/* One field description of a result, in a list. */
typedef struct m_fdata_s {
    m_field field;
    struct m_fdata_s *next;
} m_fdata;

/* The sequence of a table: its step and its current value. */
typedef struct m_seq_s {
    int step;
    int value;
} m_seq;

/* The rows and field descriptions of a select or a catalogue request, with
 * cursors for walking them. */
typedef struct result_s {
    m_data *queryData;    /* first row */
    m_data *cursor;       /* next row that msqlFetchRow returns */
    m_fdata *fieldData;   /* first field description */
    m_fdata *fieldCursor; /* next field that msqlFetchField returns */
    int numRows;
    int numFields;
} m_result;

#define msqlNumRows(res) ((res)->numRows)
#define msqlNumFields(res) ((res)->numFields)

/* Text of the last error; cleared by msqlConnect, msqlSelectDB and msqlQuery. */
extern char msqlErrMsg[MSQL_ERRMSG_SIZE];

/* Connects over TCP to host, or over the local UNIX socket when host is NULL or
 * empty; returns the socket or -1. */
int msqlConnect(const char *host);
/* Makes name the database of the connection; 0 or -1. */
int msqlSelectDB(int sock, const char *name);
/* Sends a statement. A select returns its number of rows and leaves them as the
 * pending result; any other statement returns the server's reply number; -1 on
 * failure. */
int msqlQuery(int sock, const char *query);
/* Hands over the pending result (NULL when there is none); the caller frees it. */
m_result *msqlStoreResult(void);
/* Returns the row at the cursor and advances it; NULL after the last row. */
m_row msqlFetchRow(m_result *result);
/* Returns the field description at the field cursor and advances it; NULL at the end. */
m_field *msqlFetchField(m_result *result);
/* Put the row (field) cursor on row (field) n counted from 0; at the end when
 * there are fewer. */
void msqlDataSeek(m_result *result, int n);
void msqlFieldSeek(m_result *result, int n);
/* Releases a result with its rows and field descriptions; NULL is accepted. */
void msqlFreeResult(m_result *result);
/* Tells the server goodbye and closes the socket. */
void msqlClose(int sock);

/* Catalogue requests: results that the caller frees, NULL on failure. */
m_result *msqlListDBs(int sock);
m_result *msqlListTables(int sock);
m_result *msqlListFields(int sock, const char *table);
m_result *msqlListIndex(int sock, const char *table, const char *index);

/* Administration requests: 0 or -1. */
int msqlCreateDB(int sock, const char *name);
int msqlDropDB(int sock, const char *name);
int msqlReloadAcls(int sock);
int msqlShutdown(int sock);
int msqlMoveDB(int sock, const char *from, const char *to);
int msqlCopyDB(int sock, const char *from, const char *to);
/* Prints the server's statistics on standard output; 0 or -1. */
int msqlGetServerStats(int sock);
/* The sequence of a table, in static storage overwritten by the next call; NULL
 * on failure. */
m_seq *msqlGetSequenceInfo(int sock, const char *table);

/* Configuration file: loads name (or the default file when name is NULL);
 * 0, or -1 when no file could be opened. */
int msqlLoadConfigFile(const char *name);
/* A number element; -1 for an unknown element. */
int msqlGetIntConf(const char *section, const char *name);
/* A text element with "%I" replaced by the installation directory; NULL for an
 * unknown element or one that stays empty. The text stays valid until the same
 * element is read again. */
char *msqlGetCharConf(const char *section, const char *name);

/* Name of a column type code ("INT", "CHAR", ..., "UNKNOWN"). */
const char *msqlTypeName(int type);

/* The server's greeting text, the kind of connection and the server's protocol
 * version of the last connection set up. */
char *msqlGetServerInfo(void);
char *msqlGetHostInfo(void);
int msqlGetProtoInfo(void);

#ifdef __cplusplus
}
#endif

#endif
