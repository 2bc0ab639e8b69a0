#include "report/page.h"

#include "report/assets.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace report {

namespace {

std::string HtmlEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

// The payload as JSON that cannot end its script element: '<' only occurs inside
// strings there, where \u003c stands for it.
void WritePayload(std::ostream& out, const nlohmann::json& payload) {
    const std::string text = payload.dump();
    std::size_t from = 0;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', from)) {
        out.write(text.data() + from, static_cast<std::streamsize>(at - from));
        out << "\\u003c";
        from = at + 1;
    }
    out.write(text.data() + from, static_cast<std::streamsize>(text.size() - from));
}

}  // namespace

std::string_view ReportScript() { return assets::kReportJs; }

void WritePage(std::ostream& out, const std::string& title, const nlohmann::json& payload,
               std::string_view pageScript, const std::string& generated) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"generated\" content=\"" << HtmlEscaped(generated) << "\">\n"
        << "<title>" << HtmlEscaped(title) << "</title>\n<style>\n"
        << assets::kPageCss << "\n</style>\n</head>\n<body>\n<div id=\"kova-page\"></div>\n<script>\n"
        << assets::kEcharts << "\n</script>\n<script type=\"application/json\" id=\"kova-data\">";
    WritePayload(out, payload);
    out << "</script>\n<script>\n" << assets::kPageJs << "\n</script>\n<script>\n" << pageScript
        << "\n</script>\n</body>\n</html>\n";
}

std::string GenerationTime() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

}  // namespace report
