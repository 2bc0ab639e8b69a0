// annpipe's process-wide settings and its command line (-h, -m, -w n), which the
// master and both slaves parse the same way.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Every task measures itself with a probe.
extern bool gMeasureWithKOVA;
// Training passes of the ten examples; also the problem size that the probes record.
extern int TRAIN_TIMES;
// The number of training passes when -w is not given.
constexpr int DEFAULT_TRAIN_TIMES = 5;

// Writes the three-line usage text with the current settings as the defaults.
void PrintUsage(std::ostream& out);

// Reads the options into the settings, in order. -h prints the usage; a wrong
// option, a -w that is not a whole number of at least 1, or a stray argument is
// reported with the usage. Returns the exit status when the process should end
// now (0 after -h), nothing when it should go on.
std::optional<int> ParseOptions(int argc, char** argv, std::ostream& out);

// The arguments that give a slave these settings: "-m" when measuring, "-w" and
// the number of passes when it differs from the default.
std::vector<std::string> SlaveArguments(bool measureWithKOVA, int trainTimes);
