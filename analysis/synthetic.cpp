#include "synthetic.h"

#include <algorithm>
#include <random>

namespace analysis {

ExperimentModel MakeSyntheticPipeline(int nbrProcesses, std::size_t nbrPhases, unsigned seed) {
    nbrProcesses = std::max(nbrProcesses, 2);
    ExperimentModel model;
    ExperimentHeader& header = model.header;
    header.id = 1;
    header.application = "synthetic";
    header.user = "bench";
    header.date = "Tue Dec  8 12:00:00 2026";
    header.p = nbrProcesses;
    header.W = static_cast<int>(nbrPhases);
    header.nbrProcesses = nbrProcesses;
    header.statusData = kFinished;

    const Time masterStart = 1'800'000'000'000'000LL;
    const int firstTid = 262145;
    for (int k = 0; k < nbrProcesses; ++k) {
        ProcessModel process;
        process.id = firstTid + k;
        process.tid = firstTid + k;
        process.host = "node" + std::to_string(1 + k % 4);
        process.start = masterStart + 1000LL * k;
        process.totals.assign(kNbrBasicTypes, 0);
        process.hasTotals = true;
        model.processes.push_back(process);
    }
    // Phases per step: master 2, middle processes 4, last 3.
    const std::size_t perStep = 2 + 4 * static_cast<std::size_t>(nbrProcesses - 2) + 3;
    const int steps = static_cast<int>(std::max<std::size_t>(1, nbrPhases / perStep));
    model.phases.Reserve(perStep * steps);

    std::mt19937 random(seed);
    std::uniform_int_distribution<int> work(20, 400);
    std::uniform_int_distribution<int> shortPhase(2, 12);
    const Time latency = 30;
    // Arrival time of each step's message from the previous process, on the shared clock
    // measured from the master's start.
    std::vector<Time> arrival(steps);
    for (int k = 0; k < nbrProcesses; ++k) {
        const int tid = firstTid + k;
        Time now = model.processes[k].start - masterStart;
        int number = 0;
        auto add = [&](int type, Time length, int partner, bool sending, int tag) {
            model.phases.Add(k, ++number, type, length, tag, 0, partner, sending, 0u);
            model.processes[k].totals[type] += length;
            now += length;
        };
        for (int step = 0; step < steps; ++step) {
            if (k > 0) {
                add(kIdle, std::max<Time>(0, arrival[step] - now), -1, false, 0);
                add(kRecv, shortPhase(random), tid - 1, false, step);
            }
            add(kWork, work(random), -1, false, 0);
            if (k + 1 < nbrProcesses) {
                add(kSend, shortPhase(random), tid + 1, true, step);
                arrival[step] = now + latency;
            }
        }
        header.Tp = std::max(header.Tp, now);
    }
    model.IndexPhases();
    return model;
}

}  // namespace analysis
