/* The library's debug trace, switched on by the environment variable MSQL_DEBUG. */
#ifndef MSQL_DEBUG_H
#define MSQL_DEBUG_H

/* Bits of the debug level. */
#define MSQL_DEBUG_QUERY 1  /* statements */
#define MSQL_DEBUG_API 2    /* interface calls and the connection */
#define MSQL_DEBUG_MALLOC 4 /* memory of results */

/* Reads MSQL_DEBUG once and prints the banner of the levels it sets. */
void msqlDebugInit(void);
/* Prints "[libmsql] " and the formatted text on standard error when level is on. */
void msqlTrace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
