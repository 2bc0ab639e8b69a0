/* Packet framing and item parsing of the mSQL wire format. */
#include "msql/src/wire.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

void msqlPutPacketLength(unsigned char *out, int length)
{
    unsigned int value = (unsigned int)length;
    out[0] = (unsigned char)(value & 0xff);
    out[1] = (unsigned char)((value >> 8) & 0xff);
    out[2] = (unsigned char)((value >> 16) & 0xff);
    out[3] = (unsigned char)((value >> 24) & 0xff);
}

int msqlSendPacket(int fd, char *packet, int length)
{
    msqlPutPacketLength((unsigned char *)packet, length);
    const char *pos = packet;
    size_t left = (size_t)length + MSQL_LENGTH_BYTES;
    while (left > 0) {
        ssize_t done = write(fd, pos, left);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return -1;
        pos += done;
        left -= (size_t)done;
    }
    return 0;
}

void msqlInputReset(msqlInput *input, int fd)
{
    input->fd = fd;
    input->start = input->end = 0;
}

/* Reads exactly count bytes; 1 when done, 0 at the end of the stream, -1 on error. */
static int readFully(msqlInput *input, char *out, int count)
{
    int have = 0;
    while (have < count) {
        int buffered = input->end - input->start;
        if (buffered > 0) {
            int take = buffered < count - have ? buffered : count - have;
            memcpy(out + have, input->data + input->start, (size_t)take);
            input->start += take;
            have += take;
            continue;
        }
        input->start = input->end = 0;
        /* Large texts go straight to their place; small ones through the buffer. */
        int direct = count - have >= MSQL_READ_AHEAD;
        ssize_t got = direct ? read(input->fd, out + have, (size_t)(count - have))
                             : read(input->fd, input->data, sizeof input->data);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            return 0;
        if (direct)
            have += (int)got;
        else
            input->end = (int)got;
    }
    return 1;
}

msqlWireStatus msqlReadPacket(msqlInput *input, char *text, int *length)
{
    unsigned char raw[MSQL_LENGTH_BYTES];
    *length = 0;
    int got = readFully(input, (char *)raw, MSQL_LENGTH_BYTES);
    if (got < 0)
        return MSQL_WIRE_LENGTH_FAILED;
    if (got == 0)
        return MSQL_WIRE_CLOSED;
    unsigned int value = (unsigned int)raw[0] | ((unsigned int)raw[1] << 8) |
                         ((unsigned int)raw[2] << 16) | ((unsigned int)raw[3] << 24);
    int n = (int)value;
    *length = n;
    if (n < 0)
        return MSQL_WIRE_MALFORMED;
    if (n > MSQL_PKT_LEN)
        return MSQL_WIRE_TOO_LARGE;
    if (readFully(input, text, n) != 1)
        return MSQL_WIRE_CLOSED;
    text[n] = '\0';
    return MSQL_WIRE_OK;
}

/* Parses an optional minus sign and decimal digits at *pos (not past end),
 * clamping to the range of int; returns the number of digits read. */
static int parseNumber(const char **pos, const char *end, long *value)
{
    const char *p = *pos;
    int negative = 0;
    if (p < end && *p == '-') {
        negative = 1;
        p++;
    }
    long number = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (number <= INT_MAX)
            number = number * 10 + (*p - '0');
        p++;
        digits++;
    }
    if (number > INT_MAX)
        number = negative ? (long)INT_MAX + 1 : INT_MAX;
    *value = negative ? -number : number;
    *pos = p;
    return digits;
}

int msqlReplyNumber(const char *text, const char **afterColon)
{
    const char *end = text;
    while (*end)
        end++;
    const char *pos = text;
    long value;
    parseNumber(&pos, end, &value);
    const char *colon = text;
    while (*colon && *colon != ':')
        colon++;
    *afterColon = *colon == ':' ? colon + 1 : NULL;
    return (int)value;
}

int msqlNextItem(const char **pos, const char *end, const char **item, int *itemLength)
{
    const char *p = *pos;
    long length;
    if (parseNumber(&p, end, &length) == 0 || p >= end || *p != ':')
        return -1;
    p++;
    if (length == MSQL_NULL_LENGTH) {
        *item = NULL;
        *itemLength = 0;
    } else {
        if (length < 0 || length > end - p)
            return -1;
        *item = p;
        *itemLength = (int)length;
        p += length;
    }
    *pos = p;
    return 0;
}
