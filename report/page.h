// A self-contained HTML page: the charting library (Apache ECharts, pinned in
// report/web), the pages' stylesheet, a JSON payload and a page script, all inlined,
// so that the file opens from disk with no network and no server. The page script
// reads the payload with KovaPage.data() and builds its content in the element
// #kova-page. The kova report and other chart pages (scaling curves) are written
// through it.
#pragma once
#include <nlohmann/json_fwd.hpp>

#include <ostream>
#include <string>
#include <string_view>

namespace report {

// The page script of the experiment report (report/web/report.js).
std::string_view ReportScript();

// Writes the page. generated goes on a line of its own (a generation date), so that
// two pages of the same payload differ in that line only.
void WritePage(std::ostream& out, const std::string& title, const nlohmann::json& payload,
               std::string_view pageScript, const std::string& generated);

// The current time as "YYYY-MM-DD HH:MM:SS UTC", for WritePage's generated line.
std::string GenerationTime();

}  // namespace report
