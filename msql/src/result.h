/* Results of the client library: rows and field descriptions built from packet
 * text, and the m_result that holds them. Works on bytes only. */
#ifndef MSQL_RESULT_H
#define MSQL_RESULT_H

#include "msql/msql.h"

/* Builds one row from the text of a row packet that must hold exactly width
 * items; NULL when the packet is malformed or memory runs out. The row, its
 * column array and its texts are one block. */
m_data *msqlRowFromPacket(const char *text, int length, int width);
/* Builds a field description from a row of six items (name, table, type, length,
 * "Y" when not null, "Y" when unique); NULL when the row is malformed. */
m_fdata *msqlFieldFromRow(const m_data *row);
/* A field description made by the library itself. */
m_fdata *msqlMakeField(const char *name, const char *table, int type, int length);
/* A result that takes over the lists of rows and fields; its cursors stand on
 * the first row and the first field. NULL (and both lists freed) when memory
 * runs out. */
m_result *msqlMakeResult(m_data *rows, int numRows, m_fdata *fields, int numFields);
void msqlFreeRows(m_data *rows);
void msqlFreeFields(m_fdata *fields);

#endif
