// The files of report/web that the pages inline, embedded into the library at build
// time (see embed.cmake): the charting library, the stylesheet and the page scripts.
#pragma once
#include <string_view>

namespace report::assets {

extern const std::string_view kEcharts;
extern const std::string_view kPageCss;
extern const std::string_view kPageJs;
extern const std::string_view kReportJs;

}  // namespace report::assets
