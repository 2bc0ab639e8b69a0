/* Fuzz target: bytes as a server's side of a connection to the client library.
 * The first byte picks the request; the rest is the greeting, the answer to the
 * user line and the reply, framed as the server frames them. */
#include "msql/src/client.h"
#include "msql/msql.h"

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* Touches every text of a result so that a bad pointer or length shows. */
static size_t walk(m_result *result)
{
    size_t bytes = 0;
    if (result == NULL)
        return 0;
    m_row row;
    while ((row = msqlFetchRow(result)) != NULL)
        for (int i = 0; i < msqlNumFields(result); i++)
            bytes += row[i] ? strlen(row[i]) : 0;
    m_field *field;
    while ((field = msqlFetchField(result)) != NULL)
        bytes += strlen(field->name) + strlen(field->table) + (size_t)field->type;
    msqlDataSeek(result, 1);
    msqlFieldSeek(result, 1);
    msqlFreeResult(result);
    return bytes;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    int request = data[0] % 8;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) < 0)
        return 0;
    /* The whole reply waits in the socket; the end of it reads as a closed server. */
    if (write(ends[1], data + 1, size - 1) != (ssize_t)(size - 1)) {
        close(ends[0]);
        close(ends[1]);
        return 0;
    }
    shutdown(ends[1], SHUT_WR);
    int sock = ends[0];
    if (msqlHandshake(sock) == 0) {
        switch (request) {
        case 0:
            if (msqlQuery(sock, "SELECT a, b FROM t") >= 0)
                walk(msqlStoreResult());
            break;
        case 1:
            walk(msqlListDBs(sock));
            break;
        case 2:
            walk(msqlListFields(sock, "t"));
            break;
        case 3:
            walk(msqlListIndex(sock, "t", "i"));
            break;
        case 4:
            msqlGetSequenceInfo(sock, "t");
            break;
        case 5:
            msqlSelectDB(sock, "db");
            break;
        case 6:
            msqlMoveDB(sock, "a", "b");
            break;
        default:
            /* Two statements in a row: the second one replaces the first's result. */
            msqlQuery(sock, "SELECT a FROM t");
            if (msqlQuery(sock, "SELECT b FROM t") >= 0)
                walk(msqlStoreResult());
            break;
        }
        walk(msqlStoreResult());
        msqlClose(sock);
    }
    close(ends[0]);
    close(ends[1]);
    return 0;
}
