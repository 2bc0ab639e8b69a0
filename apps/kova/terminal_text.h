// Text printed on the user's terminal. Stored names may hold control characters
// (an escape sequence that retitles the window or clears the screen, a line break
// that fakes a line of the report); they are printed as escapes instead: \n, \r,
// \t, \e, \xHH for other ASCII controls and bytes that are not UTF-8, \u0080 to
// \u009F for the C1 controls, and \\ for the backslash itself.
#pragma once
#include "analysis/model.h"

#include <string>
#include <string_view>

// The text with every control character escaped.
std::string Printable(std::string_view text);
// The same, but line feeds stay: for a report made of lines.
std::string PrintableLines(std::string_view text);
// Makes the stored texts of a header printable: its names, date, comment and errors.
void MakePrintable(analysis::ExperimentHeader& header);
// Makes the stored texts that the summary prints printable: the header's, the hosts
// and what the data check saw.
void MakePrintable(analysis::ExperimentModel& model);
