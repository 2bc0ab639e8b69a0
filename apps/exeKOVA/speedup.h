// The closing lines of the benchmark's report: how much faster the pipelined run
// was than the sequential one, and how well it used its tasks.
#pragma once

#include "probe/standardlib.h"

#include <ostream>

// Number of tasks of the pipelined run.
constexpr int PARALLEL_TASKS = 3;

// Writes "Speedup         : " with sequentialTime / parallelTime and
// "Efficiency      : " with that speedup divided by PARALLEL_TASKS, each as a
// single-precision value on a line of its own. The quotients are taken in
// extended precision from the microsecond counts.
void printSpeedup(std::ostream& out, TIME sequentialTime, TIME parallelTime);
