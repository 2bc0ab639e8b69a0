// Rows of comma-separated values as RFC 4180 writes them: a field that holds a comma,
// a double quote, a carriage return or a line feed is enclosed in double quotes, with
// each of its double quotes doubled; every other field is written as it stands.
// Rows end with a line feed.
#pragma once
#include <ostream>
#include <string_view>
#include <type_traits>

namespace csv {

// Writes fields to out, separating them within a row.
class Writer {
public:
    explicit Writer(std::ostream& out) : mOut(out) {}

    Writer& operator<<(std::string_view text);
    // A number in decimal (small integer types too, never as characters).
    template <typename Number, std::enable_if_t<std::is_arithmetic_v<Number>, int> = 0>
    Writer& operator<<(Number value) {
        Separate();
        mOut << +value;
        return *this;
    }
    // Ends the row; the next field begins a new one.
    void EndRow();

private:
    void Separate();
    std::ostream& mOut;
    bool mRowStarted = false;
};

}  // namespace csv

namespace report {
// The writer's name in the outputs that used it before it had a library of its own.
using CsvWriter = csv::Writer;
}  // namespace report
