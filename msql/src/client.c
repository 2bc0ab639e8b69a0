/* Connections and requests of the mSQL client. */
#include "msql/msql.h"

#include "msql/src/client.h"
#include "msql/src/debug.h"
#include "msql/src/result.h"
#include "msql/src/wire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

char msqlErrMsg[MSQL_ERRMSG_SIZE];

/* The packet buffer: the length bytes, then the text of the request being sent
 * or of the reply packet last read, NUL-terminated. */
static char packet[MSQL_LENGTH_BYTES + MSQL_PKT_LEN + 1];
static char *const packetText = packet + MSQL_LENGTH_BYTES;
static int packetLength;
/* Bytes of the connection in use read ahead of the packets taken. */
static msqlInput input = {-1, 0, 0, {0}};

static char serverInfo[256];
static char hostInfo[300];
static int protoInfo;

/* The rows and fields of the last select, until msqlStoreResult takes them. */
static struct {
    int present;
    m_data *rows;
    int numRows;
    m_fdata *fields;
    int numFields;
} pending;

/* Descriptors of connections that the library closed itself (after a failure or
 * on a broken pipe). A later request or msqlClose on such a number must not touch
 * it: the number may belong to another file by then. */
#define TRACKED_SOCKETS 4096
static volatile sig_atomic_t closedByLibrary[TRACKED_SOCKETS];

static int closedAlready(int sock)
{
    return sock >= 0 && sock < TRACKED_SOCKETS && closedByLibrary[sock];
}

static void markClosed(int sock, int closed)
{
    if (sock >= 0 && sock < TRACKED_SOCKETS)
        closedByLibrary[sock] = closed;
}

/* The connection that the broken-pipe handler closes. */
static volatile sig_atomic_t socketInUse = -1;

static void brokenPipe(int signalNumber)
{
    int sock = socketInUse;
    if (sock >= 0) {
        close(sock);
        markClosed(sock, 1);
        socketInUse = -1;
    }
    signal(signalNumber, brokenPipe);
}

static void setError(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void setError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(msqlErrMsg, sizeof msqlErrMsg, format, args);
    va_end(args);
}

/* Takes the error text of a reply that began with -1 (the text after its colon). */
static void setServerError(const char *afterColon)
{
    if (afterColon == NULL) {
        setError("Unknown MSQL error");
        return;
    }
    snprintf(msqlErrMsg, sizeof msqlErrMsg, "%s", afterColon);
    size_t length = strlen(msqlErrMsg);
    if (length > 0 && msqlErrMsg[length - 1] == '\n')
        msqlErrMsg[length - 1] = '\0';
}

static void closeSocket(int sock)
{
    if (!closedAlready(sock)) {
        shutdown(sock, SHUT_RDWR);
        close(sock);
        markClosed(sock, 1);
    }
    if (socketInUse == sock)
        socketInUse = -1;
    if (input.fd == sock)
        msqlInputReset(&input, -1);
    msqlTrace(MSQL_DEBUG_API, "Server socket (%d) closed\n", sock);
}

static void lostServer(int sock)
{
    closeSocket(sock);
    setError("MSQL server has gone away");
}

/* The rest of a reply no longer matches the protocol: the connection is out of
 * step with the server and is closed. */
static void badPacket(int sock)
{
    closeSocket(sock);
    setError("Bad packet received from server");
}

/* Formats a request into the packet buffer and sends it; -1 with the error set
 * when it does not fit into a packet or cannot be written. */
static int sendFormatted(int sock, const char *format, va_list args)
{
    int length = vsnprintf(packetText, MSQL_PKT_LEN + 1, format, args);
    if (length < 0 || length > MSQL_PKT_LEN) {
        /* Nothing is sent: a cut statement would run as a different one. */
        setError("Request too long for a packet");
        return -1;
    }
    socketInUse = sock;
    if (msqlSendPacket(sock, packet, length) < 0) {
        lostServer(sock);
        return -1;
    }
    return 0;
}

/* Sends a request on an established connection. */
static int request(int sock, const char *format, ...) __attribute__((format(printf, 2, 3)));
static int request(int sock, const char *format, ...)
{
    if (isatty(sock)) {
        setError("Socket not connected to mSQL");
        return -1;
    }
    if (closedAlready(sock)) {
        setError("MSQL server has gone away");
        return -1;
    }
    va_list args;
    va_start(args, format);
    int status = sendFormatted(sock, format, args);
    va_end(args);
    return status;
}

/* Sends a line of the connection set-up, which has no checks of its own. */
static int sendLine(int sock, const char *format, ...) __attribute__((format(printf, 2, 3)));
static int sendLine(int sock, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int status = sendFormatted(sock, format, args);
    va_end(args);
    return status;
}

/* Reads the next packet of a reply into the packet buffer; -1 with the socket
 * closed when it cannot be read. */
static int readReply(int sock)
{
    int length;
    if (input.fd != sock)
        msqlInputReset(&input, sock);
    msqlWireStatus status = msqlReadPacket(&input, packetText, &length);
    switch (status) {
    case MSQL_WIRE_OK:
        packetLength = length;
        return 0;
    case MSQL_WIRE_TOO_LARGE:
        fprintf(stderr, "Packet too large (%d)\n", length);
        break;
    case MSQL_WIRE_MALFORMED:
        fprintf(stderr, "Malformed packet\n");
        break;
    case MSQL_WIRE_LENGTH_FAILED:
        fprintf(stderr, "Socket read on %d for length failed : %s\n", sock, strerror(errno));
        break;
    case MSQL_WIRE_CLOSED:
        break;
    }
    packetText[0] = '\0';
    packetLength = 0;
    lostServer(sock);
    return -1;
}

/* Reads packets of width items each up to the end marker. */
static int readRows(int sock, int width, m_data **rows, int *count)
{
    m_data *first = NULL;
    m_data **tail = &first;
    int n = 0;
    for (;;) {
        if (readReply(sock) < 0)
            break;
        const char *afterColon;
        int number = msqlReplyNumber(packetText, &afterColon);
        if (number == MSQL_END_MARKER) {
            *rows = first;
            *count = n;
            return 0;
        }
        if (number == -1) {
            setServerError(afterColon);
            break;
        }
        m_data *row = msqlRowFromPacket(packetText, packetLength, width);
        if (row == NULL) {
            badPacket(sock);
            break;
        }
        *tail = row;
        tail = &row->next;
        n++;
    }
    msqlFreeRows(first);
    return -1;
}

/* Reads field descriptions up to the end marker. */
static int readFields(int sock, m_fdata **fields, int *count)
{
    m_data *rows;
    int n;
    if (readRows(sock, MSQL_FIELD_ITEMS, &rows, &n) < 0)
        return -1;
    m_fdata *first = NULL;
    m_fdata **tail = &first;
    for (m_data *row = rows; row; row = row->next) {
        m_fdata *field = msqlFieldFromRow(row);
        if (field == NULL) {
            msqlFreeRows(rows);
            msqlFreeFields(first);
            badPacket(sock);
            return -1;
        }
        *tail = field;
        tail = &field->next;
    }
    msqlFreeRows(rows);
    *fields = first;
    *count = n;
    return 0;
}

static void discardPending(void)
{
    msqlFreeRows(pending.rows);
    msqlFreeFields(pending.fields);
    memset(&pending, 0, sizeof pending);
}

/* Reads the one-line reply of a request; 0, or -1 with the error set. */
static int simpleReply(int sock)
{
    if (readReply(sock) < 0)
        return -1;
    const char *afterColon;
    if (msqlReplyNumber(packetText, &afterColon) == -1) {
        setServerError(afterColon);
        return -1;
    }
    return 0;
}

/* Copies text without its trailing line break. */
static void copyLine(char *out, size_t size, const char *text)
{
    snprintf(out, size, "%s", text);
    size_t length = strlen(out);
    if (length > 0 && out[length - 1] == '\n')
        out[length - 1] = '\0';
}

static const char *loginName(void)
{
    struct passwd *entry = getpwuid(geteuid());
    if (entry && entry->pw_name && *entry->pw_name)
        return entry->pw_name;
    return getenv("USER");
}

int msqlHandshake(int sock)
{
    markClosed(sock, 0);
    msqlInputReset(&input, sock);
    if (readReply(sock) < 0)
        return -1;
    const char *afterColon;
    if (msqlReplyNumber(packetText, &afterColon) == -1) {
        setServerError(afterColon);
        closeSocket(sock);
        return -1;
    }
    if (afterColon == NULL) {
        badPacket(sock);
        return -1;
    }
    const char *info;
    int version = msqlReplyNumber(afterColon, &info);
    if (version != MSQL_PROTOCOL_VERSION) {
        setError("Protocol mismatch. Server Version = %d Client Version = %d", version,
                 MSQL_PROTOCOL_VERSION);
        closeSocket(sock);
        return -1;
    }
    if (info == NULL) {
        setError("Error in server handshake!");
        closeSocket(sock);
        return -1;
    }
    char greeting[sizeof serverInfo];
    copyLine(greeting, sizeof greeting, info);

    const char *user = loginName();
    if (user == NULL) {
        setError("Can't find your username. Who are you?");
        closeSocket(sock);
        return -1;
    }
    if (sendLine(sock, "%s\n", user) < 0 || readReply(sock) < 0)
        return -1;
    if (msqlReplyNumber(packetText, &afterColon) == -1) {
        setServerError(afterColon);
        closeSocket(sock);
        return -1;
    }
    memcpy(serverInfo, greeting, sizeof serverInfo);
    protoInfo = version;
    return 0;
}

/* Opens a TCP connection to host on the configured port; -1 with the error set. */
static int connectTcp(const char *host)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        setError("Can't create IP socket");
        return -1;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)msqlGetIntConf("general", "tcp_port"));
    if (inet_aton(host, &address.sin_addr) == 0) {
        struct addrinfo hints, *found = NULL;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host, NULL, &hints, &found) != 0 || found == NULL) {
            setError("Unknown MSQL Server Host (%s)", host);
            close(sock);
            return -1;
        }
        address.sin_addr = ((struct sockaddr_in *)found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    if (connect(sock, (struct sockaddr *)&address, sizeof address) < 0) {
        setError("Can't connect to MSQL server on %s", host);
        close(sock);
        return -1;
    }
    return sock;
}

/* Opens a connection to the configured UNIX socket; -1 with the error set. */
static int connectLocal(void)
{
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) {
        setError("Can't create UNIX socket");
        return -1;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const char *path = msqlGetCharConf("general", "unix_port");
    if (path != NULL && strlen(path) < sizeof address.sun_path) {
        strcpy(address.sun_path, path);
        if (connect(sock, (struct sockaddr *)&address, sizeof address) == 0)
            return sock;
    }
    setError("Can't connect to local MSQL server");
    close(sock);
    return -1;
}

int msqlConnect(const char *host)
{
    msqlErrMsg[0] = '\0';
    msqlDebugInit();
    if (!msqlConfigLoaded())
        msqlLoadConfigFile(NULL);
    int local = host == NULL || *host == '\0';
    msqlTrace(MSQL_DEBUG_API, "Connecting to %s\n", local ? "the local server" : host);
    int sock = local ? connectLocal() : connectTcp(host);
    if (sock < 0)
        return -1;
    signal(SIGPIPE, brokenPipe);
    socketInUse = sock;
    if (msqlHandshake(sock) < 0)
        return -1;
    if (local)
        snprintf(hostInfo, sizeof hostInfo, "Localhost via UNIX socket");
    else
        snprintf(hostInfo, sizeof hostInfo, "%.280s via TCP/IP", host);
    msqlTrace(MSQL_DEBUG_API, "Connected on socket %d (%s)\n", sock, hostInfo);
    return sock;
}

int msqlSelectDB(int sock, const char *name)
{
    msqlErrMsg[0] = '\0';
    msqlTrace(MSQL_DEBUG_API, "Select database %s\n", name);
    if (request(sock, "2:%s\n", name) < 0)
        return -1;
    return simpleReply(sock);
}

int msqlQuery(int sock, const char *query)
{
    msqlErrMsg[0] = '\0';
    msqlTrace(MSQL_DEBUG_QUERY, "Query = \"%s\"\n", query);
    if (request(sock, "3:%s\n", query) < 0 || readReply(sock) < 0)
        return -1;
    const char *afterColon;
    int number = msqlReplyNumber(packetText, &afterColon);
    if (number == -1) {
        setServerError(afterColon);
        return -1;
    }
    if (afterColon == NULL)
        return number;
    const char *rest;
    int columns = msqlReplyNumber(afterColon, &rest);
    if (columns < 1)
        return number;

    discardPending();
    m_data *rows;
    int numRows;
    m_fdata *fields;
    int numFields;
    if (readRows(sock, columns, &rows, &numRows) < 0)
        return -1;
    if (readFields(sock, &fields, &numFields) < 0) {
        msqlFreeRows(rows);
        return -1;
    }
    if (numFields != columns) {
        msqlFreeRows(rows);
        msqlFreeFields(fields);
        badPacket(sock);
        return -1;
    }
    pending.present = 1;
    pending.rows = rows;
    pending.numRows = numRows;
    pending.fields = fields;
    pending.numFields = numFields;
    return numRows;
}

m_result *msqlStoreResult(void)
{
    if (!pending.present)
        return NULL;
    m_result *result = msqlMakeResult(pending.rows, pending.numRows, pending.fields, pending.numFields);
    memset(&pending, 0, sizeof pending);
    return result;
}

void msqlClose(int sock)
{
    msqlTrace(MSQL_DEBUG_API, "Close socket %d\n", sock);
    if (request(sock, "1:\n") == 0)
        closeSocket(sock);
}

/* Reads the one-column result of a catalogue request, described as field
 * fieldName of the catalogue. */
static m_result *catalogueResult(int sock, const char *fieldName)
{
    m_data *rows;
    int numRows;
    if (readRows(sock, 1, &rows, &numRows) < 0)
        return NULL;
    m_fdata *field = msqlMakeField(fieldName, "mSQL Catalog", CHAR_TYPE, 35);
    if (field == NULL) {
        msqlFreeRows(rows);
        return NULL;
    }
    return msqlMakeResult(rows, numRows, field, 1);
}

m_result *msqlListDBs(int sock)
{
    if (request(sock, "4:\n") < 0)
        return NULL;
    return catalogueResult(sock, "Database");
}

m_result *msqlListTables(int sock)
{
    if (request(sock, "5:\n") < 0)
        return NULL;
    return catalogueResult(sock, "Table");
}

m_result *msqlListIndex(int sock, const char *table, const char *index)
{
    if (request(sock, "11:%s:%s\n", table, index) < 0)
        return NULL;
    return catalogueResult(sock, "Index");
}

m_result *msqlListFields(int sock, const char *table)
{
    if (request(sock, "6:%s\n", table) < 0)
        return NULL;
    m_fdata *fields;
    int numFields;
    if (readFields(sock, &fields, &numFields) < 0)
        return NULL;
    return msqlMakeResult(NULL, 0, fields, numFields);
}

int msqlCreateDB(int sock, const char *name)
{
    return request(sock, "7:%s\n", name) < 0 ? -1 : simpleReply(sock);
}

int msqlDropDB(int sock, const char *name)
{
    return request(sock, "8:%s\n", name) < 0 ? -1 : simpleReply(sock);
}

int msqlReloadAcls(int sock)
{
    return request(sock, "9:\n") < 0 ? -1 : simpleReply(sock);
}

int msqlShutdown(int sock)
{
    return request(sock, "10:\n") < 0 ? -1 : simpleReply(sock);
}

int msqlMoveDB(int sock, const char *from, const char *to)
{
    return request(sock, "14:%s:%s\n", from, to) < 0 ? -1 : simpleReply(sock);
}

int msqlCopyDB(int sock, const char *from, const char *to)
{
    return request(sock, "15:%s:%s\n", from, to) < 0 ? -1 : simpleReply(sock);
}

int msqlGetServerStats(int sock)
{
    if (request(sock, "12:\n") < 0)
        return -1;
    for (;;) {
        if (readReply(sock) < 0)
            return -1;
        const char *afterColon;
        int number = msqlReplyNumber(packetText, &afterColon);
        if (number == MSQL_END_MARKER)
            return 0;
        if (number == -1) {
            setServerError(afterColon);
            return -1;
        }
        fputs(packetText, stdout);
    }
}

m_seq *msqlGetSequenceInfo(int sock, const char *table)
{
    static m_seq sequence;
    if (request(sock, "13:%s\n", table) < 0 || readReply(sock) < 0)
        return NULL;
    const char *afterColon;
    if (msqlReplyNumber(packetText, &afterColon) == -1) {
        setServerError(afterColon);
        return NULL;
    }
    const char *afterStep = NULL;
    int step = afterColon ? msqlReplyNumber(afterColon, &afterStep) : 0;
    if (afterStep == NULL) {
        setError("Bad packet received from server");
        return NULL;
    }
    const char *rest;
    sequence.step = step;
    sequence.value = msqlReplyNumber(afterStep, &rest);
    return &sequence;
}

char *msqlGetServerInfo(void)
{
    return serverInfo;
}

char *msqlGetHostInfo(void)
{
    return hostInfo;
}

int msqlGetProtoInfo(void)
{
    return protoInfo;
}
