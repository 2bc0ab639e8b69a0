#include "apps/kova/terminal_text.h"

#include <cstdio>

namespace {

std::string Escaped(std::string_view text, bool keepLineFeeds) {
    std::string out;
    out.reserve(text.size());
    const auto hex = [&out](const char* format, unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, format, value);
        out += code;
    };
    for (std::size_t at = 0; at < text.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const unsigned char next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (c == '\n' && keepLineFeeds) {
            out += '\n';
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n' || c == '\r' || c == '\t' || c == 0x1B) {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            hex("\\x%02X", c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            hex("\\u%04X", next);
            ++at;
        } else if (c >= 0x80) {
            // A UTF-8 sequence passes whole; a stray byte is shown by its value.
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
            std::size_t k = 1;
            while (length > 1 && k < length && at + k < text.size() &&
                   (static_cast<unsigned char>(text[at + k]) & 0xC0) == 0x80)
                ++k;
            if (length == 1 || k < length || c > 0xF4) {
                hex("\\x%02X", c);
            } else {
                out.append(text.substr(at, length));
                at += length - 1;
            }
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string Printable(std::string_view text) { return Escaped(text, false); }

std::string PrintableLines(std::string_view text) { return Escaped(text, true); }

void MakePrintable(analysis::ExperimentHeader& h) {
    for (std::string* text : {&h.project, &h.application, &h.version, &h.user, &h.date, &h.comment, &h.errors})
        *text = Printable(*text);
}

void MakePrintable(analysis::ExperimentModel& model) {
    MakePrintable(model.header);
    for (analysis::ProcessModel& process : model.processes) process.host = Printable(process.host);
    for (std::string& problem : model.findings.problems) problem = Printable(problem);
}
