/* The mSQL configuration file: sections of elements, each a text or a number,
 * with defaults for everything that the file does not set. */
#include "msql/msql.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#ifndef MSQL_INST_DIR
#error "MSQL_INST_DIR (the installation directory) must be set by the build"
#endif

/* Longest line of a configuration file, without its line break. */
#define CONF_LINE_LEN 160

typedef enum { CONF_TEXT, CONF_NUMBER } confKind;

/* One element of the configuration and its current value. */
typedef struct {
    const char *section;
    const char *name;
    confKind kind;
    int mayStayEmpty;        /* a text without a value reads as NULL, not "NULL" */
    const char *defaultText; /* initial text; "%I" is the installation directory */
    int defaultNumber;
    char text[CONF_LINE_LEN + 1];
    int hasText;
    int number;
    char *expanded; /* the text with "%I" replaced, as last handed out */
} confElement;

static confElement elements[] = {
    {"general", "msql_user", CONF_TEXT, 0, "msql", 0, "", 0, 0, NULL},
    {"general", "admin_user", CONF_TEXT, 0, "root", 0, "", 0, 0, NULL},
    {"general", "pid_file", CONF_TEXT, 0, "%I/msql2.pid", 0, "", 0, 0, NULL},
    {"general", "inst_dir", CONF_TEXT, 0, "%I", 0, "", 0, 0, NULL},
    {"general", "db_dir", CONF_TEXT, 0, "%I/msqldb", 0, "", 0, 0, NULL},
    {"general", "tcp_port", CONF_NUMBER, 0, NULL, 1114, "", 0, 0, NULL},
    {"general", "unix_port", CONF_TEXT, 0, "%I/msql2.sock", 0, "", 0, 0, NULL},
    {"system", "msync_timer", CONF_NUMBER, 0, NULL, 120, "", 0, 0, NULL},
    {"system", "host_lookup", CONF_NUMBER, 0, NULL, 1, "", 0, 0, NULL},
    {"system", "read_only", CONF_NUMBER, 0, NULL, 0, "", 0, 0, NULL},
    {"system", "remote_access", CONF_NUMBER, 0, NULL, 0, "", 0, 0, NULL},
    {"system", "local_access", CONF_NUMBER, 0, NULL, 1, "", 0, 0, NULL},
    {"system", "query_log", CONF_NUMBER, 0, NULL, 0, "", 0, 0, NULL},
    {"system", "query_log_file", CONF_TEXT, 0, "%I/query.log", 0, "", 0, 0, NULL},
    {"w3-msql", "auth_host", CONF_TEXT, 1, NULL, 0, "", 0, 0, NULL},
    {"w3-msql", "footer", CONF_NUMBER, 0, NULL, 1, "", 0, 0, NULL},
    {"w3-msql", "force_private", CONF_NUMBER, 0, NULL, 0, "", 0, 0, NULL},
    {"w3-msql", "force_suffix", CONF_TEXT, 1, NULL, 0, "", 0, 0, NULL},
};

#define ELEMENT_COUNT (sizeof elements / sizeof elements[0])

static int defaultsSet;

static void setDefaults(void)
{
    for (size_t i = 0; i < ELEMENT_COUNT; i++) {
        confElement *e = &elements[i];
        e->hasText = e->defaultText != NULL;
        if (e->hasText)
            snprintf(e->text, sizeof e->text, "%s", e->defaultText);
        e->number = e->defaultNumber;
    }
    defaultsSet = 1;
}

static confElement *findElement(const char *section, const char *name)
{
    if (section == NULL || name == NULL)
        return NULL;
    for (size_t i = 0; i < ELEMENT_COUNT; i++)
        if (strcmp(elements[i].section, section) == 0 && strcmp(elements[i].name, name) == 0)
            return &elements[i];
    return NULL;
}

static void configError(const char *message, int line)
{
    fprintf(stderr, "\nConfig Error : %s at line %d\n", message, line);
}

/* Sets an element from its value text; returns the error message or NULL. */
static const char *setElement(confElement *e, const char *value)
{
    if (e->kind == CONF_TEXT) {
        e->hasText = strcmp(value, "NULL") != 0;
        if (e->hasText)
            snprintf(e->text, sizeof e->text, "%s", value);
        return NULL;
    }
    if (strcasecmp(value, "true") == 0) {
        e->number = 1;
        return NULL;
    }
    if (strcasecmp(value, "false") == 0) {
        e->number = 0;
        return NULL;
    }
    char *end;
    long number = strtol(value, &end, 10);
    if (end == value || *end != '\0' || number < -2147483647L - 1 || number > 2147483647L)
        return "Invalid value";
    e->number = (int)number;
    return NULL;
}

/* Handles one line (leading blanks already skipped, no line break) inside section. */
static void readLine(char *line, char *section, size_t sectionSize, int lineNumber)
{
    static const char separators[] = " \t=";
    if (*line == '#' || *line == '\0')
        return;
    if (*line == '[') {
        size_t length = strcspn(line + 1, " \t]");
        if (length >= sectionSize)
            length = sectionSize - 1;
        memcpy(section, line + 1, length);
        section[length] = '\0';
        return;
    }
    char *name = line;
    size_t nameLength = strcspn(name, separators);
    char *value = name + nameLength;
    value += strspn(value, separators);
    name[nameLength] = '\0';
    for (char *c = name; *c; c++)
        *c = (char)tolower((unsigned char)*c);
    char *valueEnd = value + strlen(value);
    while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t'))
        *--valueEnd = '\0';

    confElement *e = findElement(section, name);
    if (e == NULL) {
        char message[2 * CONF_LINE_LEN + 64];
        snprintf(message, sizeof message, "Unknown section '%s' or element '%s'", section, name);
        configError(message, lineNumber);
        return;
    }
    if (*value == '\0') {
        configError("Invalid Value", lineNumber);
        return;
    }
    const char *problem = setElement(e, value);
    if (problem)
        configError(problem, lineNumber);
}

static void readFile(FILE *file)
{
    char line[CONF_LINE_LEN + 2];
    char section[CONF_LINE_LEN + 1] = "";
    int lineNumber = 0;
    while (fgets(line, sizeof line, file)) {
        lineNumber++;
        size_t length = strlen(line);
        int complete = length > 0 && line[length - 1] == '\n';
        if (!complete && !feof(file)) {
            /* A line longer than the limit is reported and skipped whole, so that
             * its tail is not taken for a line of its own. */
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n')
                ;
            configError("Line too long", lineNumber);
            continue;
        }
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        char *start = line + strspn(line, " \t");
        readLine(start, section, sizeof section, lineNumber);
    }
}

static FILE *openFirst(const char *pathFormat, const char *a, const char *b)
{
    char path[4096];
    if (snprintf(path, sizeof path, pathFormat, a, b) >= (int)sizeof path)
        return NULL;
    return fopen(path, "r");
}

static int loadedOnce;

int msqlLoadConfigFile(const char *name)
{
    FILE *file = NULL;
    if (name != NULL) {
        file = openFirst("%s/%s", MSQL_INST_DIR, name);
        if (file == NULL)
            file = openFirst("%s/%s.conf", MSQL_INST_DIR, name);
        if (file == NULL)
            file = fopen(name, "r");
        if (file == NULL)
            printf("Load of %s failed\n", name);
    } else {
        file = openFirst("%s/%s", MSQL_INST_DIR, "msql.conf");
        const char *env = getenv("MSQL_CONF_FILE");
        if (file == NULL && env != NULL)
            file = fopen(env, "r");
    }
    if (file == NULL) {
        if (!defaultsSet)
            setDefaults();
        return -1;
    }
    setDefaults();
    readFile(file);
    fclose(file);
    loadedOnce = 1;
    return 0;
}

int msqlConfigLoaded(void)
{
    return loadedOnce;
}

int msqlGetIntConf(const char *section, const char *name)
{
    if (!defaultsSet)
        setDefaults();
    confElement *e = findElement(section, name);
    if (e == NULL || e->kind != CONF_NUMBER)
        return -1;
    return e->number;
}

/* Writes text with every "%I" replaced by the installation directory to out
 * (NUL-terminated) unless out is NULL; returns the length of the result. */
static size_t expandInstDir(const char *text, char *out)
{
    size_t instLength = strlen(MSQL_INST_DIR);
    size_t length = 0;
    for (const char *c = text; *c; c++) {
        if (c[0] == '%' && c[1] == 'I') {
            if (out)
                memcpy(out + length, MSQL_INST_DIR, instLength);
            length += instLength;
            c++;
        } else {
            if (out)
                out[length] = *c;
            length++;
        }
    }
    if (out)
        out[length] = '\0';
    return length;
}

char *msqlGetCharConf(const char *section, const char *name)
{
    if (!defaultsSet)
        setDefaults();
    confElement *e = findElement(section, name);
    if (e == NULL || e->kind != CONF_TEXT)
        return NULL;
    free(e->expanded);
    e->expanded = NULL;
    if (!e->hasText) {
        if (e->mayStayEmpty)
            return NULL;
        e->expanded = strdup("NULL");
        return e->expanded;
    }
    e->expanded = malloc(expandInstDir(e->text, NULL) + 1);
    if (e->expanded == NULL)
        return NULL;
    expandInstDir(e->text, e->expanded);
    return e->expanded;
}
