// Translation of mSQL statements into SQLite's dialect.
#pragma once

#include <string>
#include <string_view>

namespace msqld {

// Rewrites the string literals of an mSQL statement, where a backslash escapes
// the character after it (\' is a quote, \\ a backslash), into SQLite's form,
// where a quote is doubled. Everything outside literals passes unchanged.
std::string toSqlite(std::string_view statement);

}  // namespace msqld
