#include "analysis/stored_text.h"

namespace analysis {

namespace {

// The characters of latin1's bytes 0x80-0x9F as MariaDB reads them (Windows-1252;
// the five bytes it leaves undefined stand for the control characters of their value).
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t Latin1Character(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : byte;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at bytes[at], and its character; 0
// when there is none.
std::size_t NextCharacter(std::string_view bytes, std::size_t at, char32_t& c) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    std::size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, c = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(at + k) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
    char32_t c;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = NextCharacter(bytes, at, c);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string Utf8FromStored(std::string_view bytes) {
    if (IsUtf8(bytes)) return std::string(bytes);
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char byte : bytes) AppendUtf8(text, Latin1Character(static_cast<unsigned char>(byte)));
    return text;
}

std::optional<std::string> Latin1Form(std::string_view utf8) {
    std::string latin1;
    bool beyondAscii = false;
    char32_t c;
    for (std::size_t at = 0; at < utf8.size();) {
        const std::size_t length = NextCharacter(utf8, at, c);
        if (length == 0) return std::nullopt;
        at += length;
        int byte = c < 0x80 || (c >= 0xA0 && c <= 0xFF) ? static_cast<int>(c) : -1;
        for (int k = 0; k < 32 && byte < 0; ++k)
            if (kHighControls[k] == c) byte = 0x80 + k;
        if (byte < 0) return std::nullopt;
        beyondAscii = beyondAscii || byte >= 0x80;
        latin1 += static_cast<char>(byte);
    }
    if (!beyondAscii) return std::nullopt;
    return latin1;
}

}  // namespace analysis
