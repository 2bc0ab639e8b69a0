/* Debug trace of the client library. */
#include "msql/src/debug.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int debugLevel;
static int debugRead;

void msqlDebugInit(void)
{
    if (debugRead)
        return;
    debugRead = 1;
    const char *env = getenv("MSQL_DEBUG");
    if (env == NULL)
        return;
    static const struct {
        const char *word;
        int bit;
        const char *name;
    } levels[] = {{"msql_query", MSQL_DEBUG_QUERY, "query"},
                  {"msql_api", MSQL_DEBUG_API, "api"},
                  {"msql_malloc", MSQL_DEBUG_MALLOC, "malloc"}};
    const char *word = env;
    while (*word) {
        size_t length = strcspn(word, ":");
        for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++)
            if (length == strlen(levels[i].word) && strncmp(word, levels[i].word, length) == 0)
                debugLevel |= levels[i].bit;
        word += length;
        if (*word == ':')
            word++;
    }
    fprintf(stderr, "-------------------------------------------------------\n");
    fprintf(stderr, "MSQL_DEBUG found. libmsql started with the following:-\n\n");
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++)
        if (debugLevel & levels[i].bit)
            fprintf(stderr, "Debug level : %s\n", levels[i].name);
    fprintf(stderr, "-------------------------------------------------------\n\n");
}

void msqlTrace(int level, const char *format, ...)
{
    if (!(debugLevel & level))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "[libmsql] %s", text);
}
