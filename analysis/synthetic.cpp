#include "analysis/synthetic.h"

#include <algorithm>
#include <random>

namespace analysis {

constexpr Time kMasterStart = 1'800'000'000'000'000LL;
constexpr int kFirstTid = 262145;

namespace {

// The header and the processes of a made-up experiment.
ExperimentModel Experiment(const char* application, int nbrProcesses, std::size_t nbrPhases) {
    ExperimentModel model;
    ExperimentHeader& header = model.header;
    header.id = 1;
    header.application = application;
    header.user = "bench";
    header.date = "Tue Dec  8 12:00:00 2026";
    header.p = nbrProcesses;
    header.W = static_cast<int>(nbrPhases);
    header.nbrProcesses = nbrProcesses;
    header.statusData = kFinished;
    for (int k = 0; k < nbrProcesses; ++k) {
        ProcessModel process;
        process.id = kFirstTid + k;
        process.tid = kFirstTid + k;
        process.host = "node" + std::to_string(1 + k % 4);
        process.start = kMasterStart + 1000LL * k;
        process.hasTotals = true;
        model.processes.push_back(process);
    }
    return model;
}

}  // namespace

ExperimentModel MakeSyntheticPingPong(std::size_t nbrPhases, unsigned seed) {
    ExperimentModel model = Experiment("pingpong", 2, nbrPhases);
    model.processes[1].start = kMasterStart;
    const std::size_t rounds = std::max<std::size_t>(1, nbrPhases / 8);
    model.phases.Reserve(8 * rounds + 1);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> work(20, 400);
    const Time latency = 30, pack = 5;
    // The master's sends (start) and the answers' sends (start) on the shared clock.
    std::vector<Time> ping(rounds), pong(rounds);
    Time now = 0;
    int number = 0;
    auto add = [&](int k, int type, Time length, int partner, bool sending) {
        model.phases.Add(k, ++number, type, length, 0, 0, partner, sending, 0u);
        model.processes[k].totals[type] += length;
        now += length;
    };
    const int master = kFirstTid, other = kFirstTid + 1;
    std::vector<Time> answerWork(rounds);
    for (Time& w : answerWork) w = work(random);
    // The master: work, send, wait for the answer, receive.
    for (std::size_t r = 0; r < rounds; ++r) {
        add(0, kWork, work(random), -1, false);
        ping[r] = now;
        add(0, kSend, pack, other, true);
        const Time answer = ping[r] + pack + latency + pack + answerWork[r] + latency;
        add(0, kIdle, answer - now, -1, false);
        add(0, kRecv, pack, other, false);
    }
    model.header.Tp = now;
    // The other: wait, receive, work, answer.
    now = model.processes[1].start - kMasterStart;
    number = 0;
    for (std::size_t r = 0; r < rounds; ++r) {
        add(1, kIdle, std::max<Time>(0, ping[r] + pack + latency - now), -1, false);
        add(1, kRecv, pack, master, false);
        add(1, kWork, answerWork[r], -1, false);
        add(1, kSend, pack, master, true);
    }
    model.IndexPhases();
    return model;
}

ExperimentModel MakeSyntheticPipeline(int nbrProcesses, std::size_t nbrPhases, unsigned seed) {
    nbrProcesses = std::max(nbrProcesses, 2);
    ExperimentModel model = Experiment("synthetic", nbrProcesses, nbrPhases);
    ExperimentHeader& header = model.header;
    const Time masterStart = kMasterStart;
    const int firstTid = kFirstTid;
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
