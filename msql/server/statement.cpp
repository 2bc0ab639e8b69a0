// mSQL to SQLite statement translation.
#include "msql/server/statement.h"

namespace msqld {

std::string toSqlite(std::string_view statement)
{
    std::string out;
    out.reserve(statement.size() + 8);
    bool inLiteral = false;
    for (size_t i = 0; i < statement.size(); i++) {
        char c = statement[i];
        if (!inLiteral) {
            inLiteral = c == '\'';
            out += c;
        } else if (c == '\\' && i + 1 < statement.size()) {
            char escaped = statement[++i];
            out += escaped;
            if (escaped == '\'')
                out += '\'';
        } else if (c == '\'') {
            // SQLite's doubled quote means the same in both dialects.
            if (i + 1 < statement.size() && statement[i + 1] == '\'') {
                out += "''";
                i++;
            } else {
                out += c;
                inLiteral = false;
            }
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace msqld
