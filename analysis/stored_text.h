// Text as the databases hand it over, made into UTF-8 for every output. The
// measurement database's connection is latin1 (MariaDB's latin1 is Windows-1252),
// through which the probe stores the bytes a program gives it as they are, and the
// legacy database keeps bytes with no character set at all: text that is valid UTF-8
// was stored as UTF-8 and stays as it is; any other text is latin1 and is decoded.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace analysis {

// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF).
bool IsUtf8(std::string_view bytes);

// The stored bytes as UTF-8 text.
std::string Utf8FromStored(std::string_view bytes);

// The latin1 bytes of UTF-8 text that holds characters beyond ASCII, all of which
// latin1 has; none otherwise. A name given on a UTF-8 command line finds rows that
// a latin1 program stored with it.
std::optional<std::string> Latin1Form(std::string_view utf8);

}  // namespace analysis
