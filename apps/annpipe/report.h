// The closing report of annpipe: the outputs of the pipelined and of the
// sequential network for the test image, both times, the speedup and the
// efficiency.
#pragma once

#include "nn/net.h"
#include "probe/standardlib.h"

#include <ostream>

// Machines that the pipelined run counts as its p; the efficiency is the speedup
// divided by it.
constexpr int PARALLEL_MACHINES = 2;

// Writes the parallel block (ten outputs), then the sequential block, then both
// stopwatches, "Speedup         : " with sequential / parallel time and
// "Efficiency      : " with that quotient divided by PARALLEL_MACHINES, both as
// single-precision values.
void PrintReport(std::ostream& out, const NeuralNetwork::real* parallelOutput,
                 const NeuralNetwork::real* sequentialOutput, Chrono parallelTime, Chrono sequentialTime);
