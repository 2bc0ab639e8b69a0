/* Building, walking and releasing results. */
#include "msql/src/result.h"

#include "msql/src/debug.h"
#include "msql/src/wire.h"

#include <stdlib.h>
#include <string.h>

m_data *msqlRowFromPacket(const char *text, int length, int width)
{
    /* Every item takes at least two bytes ("0:"), which bounds the width. */
    if (width < 1 || width > length / 2)
        return NULL;
    const char *end = text + length;
    const char *pos = text;
    size_t textBytes = 0;
    for (int i = 0; i < width; i++) {
        const char *item;
        int itemLength;
        if (msqlNextItem(&pos, end, &item, &itemLength) < 0)
            return NULL;
        textBytes += item ? (size_t)itemLength + 1 : 0;
    }
    if (pos != end)
        return NULL;

    size_t size = sizeof(m_data) + (size_t)width * sizeof(char *) + textBytes;
    m_data *row = malloc(size);
    if (row == NULL)
        return NULL;
    msqlTrace(MSQL_DEBUG_MALLOC, "Row of %d columns allocated (%zu bytes)\n", width, size);
    row->width = width;
    row->data = (char **)(row + 1);
    row->next = NULL;
    char *out = (char *)(row->data + width);
    pos = text;
    for (int i = 0; i < width; i++) {
        const char *item;
        int itemLength;
        msqlNextItem(&pos, end, &item, &itemLength);
        if (item == NULL) {
            row->data[i] = NULL;
            continue;
        }
        memcpy(out, item, (size_t)itemLength);
        out[itemLength] = '\0';
        row->data[i] = out;
        out += itemLength + 1;
    }
    return row;
}

m_fdata *msqlMakeField(const char *name, const char *table, int type, int length)
{
    size_t nameSize = strlen(name) + 1;
    size_t tableSize = strlen(table) + 1;
    m_fdata *field = malloc(sizeof(m_fdata) + nameSize + tableSize);
    if (field == NULL)
        return NULL;
    field->field.name = (char *)(field + 1);
    field->field.table = field->field.name + nameSize;
    memcpy(field->field.name, name, nameSize);
    memcpy(field->field.table, table, tableSize);
    field->field.type = type;
    field->field.length = length;
    field->field.flags = 0;
    field->next = NULL;
    return field;
}

m_fdata *msqlFieldFromRow(const m_data *row)
{
    if (row->width != MSQL_FIELD_ITEMS)
        return NULL;
    for (int i = 0; i < MSQL_FIELD_ITEMS; i++)
        if (row->data[i] == NULL)
            return NULL;
    m_fdata *field = msqlMakeField(row->data[0], row->data[1], atoi(row->data[2]), atoi(row->data[3]));
    if (field == NULL)
        return NULL;
    if (row->data[4][0] == 'Y')
        field->field.flags |= NOT_NULL_FLAG;
    if (row->data[5][0] == 'Y')
        field->field.flags |= UNIQUE_FLAG;
    return field;
}

void msqlFreeRows(m_data *rows)
{
    while (rows) {
        m_data *next = rows->next;
        free(rows);
        rows = next;
    }
}

void msqlFreeFields(m_fdata *fields)
{
    while (fields) {
        m_fdata *next = fields->next;
        free(fields);
        fields = next;
    }
}

m_result *msqlMakeResult(m_data *rows, int numRows, m_fdata *fields, int numFields)
{
    m_result *result = malloc(sizeof *result);
    if (result == NULL) {
        msqlFreeRows(rows);
        msqlFreeFields(fields);
        return NULL;
    }
    msqlTrace(MSQL_DEBUG_MALLOC, "Result of %d rows allocated\n", numRows);
    result->queryData = result->cursor = rows;
    result->fieldData = result->fieldCursor = fields;
    result->numRows = numRows;
    result->numFields = numFields;
    return result;
}

m_row msqlFetchRow(m_result *result)
{
    if (result == NULL || result->cursor == NULL)
        return NULL;
    m_row row = result->cursor->data;
    result->cursor = result->cursor->next;
    return row;
}

m_field *msqlFetchField(m_result *result)
{
    if (result == NULL || result->fieldCursor == NULL)
        return NULL;
    m_field *field = &result->fieldCursor->field;
    result->fieldCursor = result->fieldCursor->next;
    return field;
}

void msqlDataSeek(m_result *result, int n)
{
    if (result == NULL)
        return;
    result->cursor = result->queryData;
    for (int i = 0; i < n && result->cursor; i++)
        result->cursor = result->cursor->next;
}

void msqlFieldSeek(m_result *result, int n)
{
    if (result == NULL)
        return;
    result->fieldCursor = result->fieldData;
    for (int i = 0; i < n && result->fieldCursor; i++)
        result->fieldCursor = result->fieldCursor->next;
}

void msqlFreeResult(m_result *result)
{
    if (result == NULL)
        return;
    msqlTrace(MSQL_DEBUG_MALLOC, "Result of %d rows freed\n", result->numRows);
    msqlFreeRows(result->queryData);
    msqlFreeFields(result->fieldData);
    free(result);
}

const char *msqlTypeName(int type)
{
    static const char *const names[] = {"INT",  "CHAR", "REAL", "IDENT", "NULL",
                                        "TEXT", "DATE", "UINT", "MONEY", "TIME"};
    if (type < INT_TYPE || type > TIME_TYPE)
        return "UNKNOWN";
    return names[type - INT_TYPE];
}
