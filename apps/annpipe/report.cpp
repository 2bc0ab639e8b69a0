#include "apps/annpipe/report.h"

#include <string>

using NeuralNetwork::real;

namespace {

constexpr int OUTPUTS = 10;

void PrintOutputs(std::ostream& out, const real* outputs) {
    for (int i = 0; i < OUTPUTS; ++i) out << outputs[i] << '\n';
}

}  // namespace

void PrintReport(std::ostream& out, const real* parallelOutput, const real* sequentialOutput, Chrono parallelTime,
                 Chrono sequentialTime) {
    const std::string dashes(59, '-');
    out << '\n' << dashes << '\n' << "result Parallel Run :" << '\n';
    PrintOutputs(out, parallelOutput);
    out << dashes << '\n' << dashes << '\n' << "result Sequntial Run :" << '\n';
    PrintOutputs(out, sequentialOutput);
    out << dashes << "\n\n\n" << std::string(61, '=') << '\n';
    out << "Parallel Time    : " << parallelTime << '\n';
    out << "Sequential Time  : " << sequentialTime << "\n\n\n";
    const double speedup = static_cast<double>(sequentialTime.GetTime()) / static_cast<double>(parallelTime.GetTime());
    out << "Speedup         : " << static_cast<float>(speedup) << '\n';
    out << "Efficiency      : " << static_cast<float>(speedup / PARALLEL_MACHINES) << std::endl;
}
