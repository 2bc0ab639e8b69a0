/* The mSQL wire format, shared by the client library and the server: packet
 * framing on a socket, and the parsing of reply numbers and row items from packet
 * text. The parsers work on bytes only, so they can be fed anything. */
#ifndef MSQL_WIRE_H
#define MSQL_WIRE_H

#ifdef __cplusplus
extern "C" {
#endif

#define MSQL_PROTOCOL_VERSION 23
/* Most text bytes one packet may hold. */
#define MSQL_PKT_LEN 0x20000
/* Bytes of the length that precedes the text of a packet. */
#define MSQL_LENGTH_BYTES 4
/* Reply number of the packet that ends a list of rows or fields. */
#define MSQL_END_MARKER (-100)
/* Item length that stands for a NULL value. */
#define MSQL_NULL_LENGTH (-2)
/* Items of one field description: name, table, type, length, not null, unique. */
#define MSQL_FIELD_ITEMS 6

/* Outcome of reading one packet. */
typedef enum {
    MSQL_WIRE_OK = 0,
    MSQL_WIRE_CLOSED,        /* the peer closed the connection, or a read failed */
    MSQL_WIRE_LENGTH_FAILED, /* reading the length failed; errno tells why */
    MSQL_WIRE_TOO_LARGE,     /* the length is above MSQL_PKT_LEN */
    MSQL_WIRE_MALFORMED      /* the length is negative */
} msqlWireStatus;

/* Writes the 4 length bytes of a packet of length text bytes. */
void msqlPutPacketLength(unsigned char *out, int length);
/* Sends the packet whose text of length bytes follows the 4 bytes reserved at
 * packet; 0, or -1 on a write error. A peer that is gone raises SIGPIPE, whose
 * handling is up to the process. */
int msqlSendPacket(int fd, char *packet, int length);
/* Bytes of one socket read ahead of the packets taken so far, so that a reply of
 * many small packets costs a few reads rather than two per packet. */
#define MSQL_READ_AHEAD 16384
typedef struct {
    int fd;         /* the socket the bytes come from; -1 for none */
    int start, end; /* the bytes not yet taken: data[start] up to data[end] */
    char data[MSQL_READ_AHEAD];
} msqlInput;

/* Drops any bytes read ahead and makes fd the socket to read from. */
void msqlInputReset(msqlInput *input, int fd);
/* Reads one packet into text (room for MSQL_PKT_LEN + 1 bytes) and NUL-terminates
 * it; *length gets the number of text bytes (the offending length for
 * MSQL_WIRE_TOO_LARGE and MSQL_WIRE_MALFORMED). */
msqlWireStatus msqlReadPacket(msqlInput *input, char *text, int *length);

/* The decimal number at the start of a reply text, clamped to the range of int;
 * *afterColon gets the text after the first colon, or NULL when there is none. */
int msqlReplyNumber(const char *text, const char **afterColon);

/* Walks the items "<length>:<bytes>" of a row packet. Gives the next item at *pos
 * (advanced past it) before end: *item and *itemLength, or a NULL *item for a NULL
 * value. Returns 0, or -1 when the item is malformed or runs past end. */
int msqlNextItem(const char **pos, const char *end, const char **item, int *itemLength);

#ifdef __cplusplus
}
#endif

#endif
