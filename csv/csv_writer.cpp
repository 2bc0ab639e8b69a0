#include "csv/csv_writer.h"

namespace csv {

void Writer::Separate() {
    if (mRowStarted) mOut << ',';
    mRowStarted = true;
}

Writer& Writer::operator<<(std::string_view text) {
    Separate();
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        mOut << text;
        return *this;
    }
    mOut << '"';
    for (std::size_t from = 0;;) {
        const std::size_t quote = text.find('"', from);
        mOut << text.substr(from, quote == std::string_view::npos ? quote : quote + 1 - from);
        if (quote == std::string_view::npos) break;
        mOut << '"';
        from = quote + 1;
    }
    mOut << '"';
    return *this;
}

void Writer::EndRow() {
    mOut << '\n';
    mRowStarted = false;
}

}  // namespace csv
