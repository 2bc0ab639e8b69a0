// The scaling study as a self-contained HTML page: the metrics over p with their
// models, the overhead by phase type, the isoefficiency and the table of runs.
#pragma once
#include <series.h>

#include <string>

std::string ScalingPage(const scaling::Study& study);
