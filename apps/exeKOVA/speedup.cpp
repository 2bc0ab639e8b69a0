#include "apps/exeKOVA/speedup.h"

void printSpeedup(std::ostream& out, TIME sequentialTime, TIME parallelTime) {
    const long double speedup = static_cast<long double>(sequentialTime) / static_cast<long double>(parallelTime);
    out << "Speedup         : " << static_cast<float>(speedup) << '\n';
    out << "Efficiency      : " << static_cast<float>(speedup / static_cast<long double>(PARALLEL_TASKS)) << '\n';
    out.flush();
}
