// A range of 1 000 000 ints sent to a second task and back: through SendContainer /
// RecvContainer, against one pvm_pkint / pvm_upkint of the whole array (the floor) and
// against packing element by element. The echo task is this executable spawned on the
// second host of the virtual machine (the first when there is only one); run it with
//   scripts/vcluster.sh 2 -- container_bench
#include "container/communication.h"

#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr int kRangeSize = 1000000;

// Message tags: one per way of packing, and the echo task's end.
constexpr int TAG_CONTAINER = 1;
constexpr int TAG_WHOLE_ARRAY = 2;
constexpr int TAG_ELEMENT_BY_ELEMENT = 3;
constexpr int TAG_QUIT = 4;

int gEchoTid = 0;

void SendWholeArray(int destination, std::vector<int>& values, int tag) {
    int size = static_cast<int>(values.size());
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&size, 1, 1);
    pvm_pkint(values.data(), size, 1);
    pvm_send(destination, tag);
}

void ReceiveWholeArray(std::vector<int>& values) {
    int size = 0;
    pvm_upkint(&size, 1, 1);
    pvm_upkint(values.data(), size, 1);
}

void SendElementByElement(int destination, std::vector<int>& values, int tag) {
    int size = static_cast<int>(values.size());
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&size, 1, 1);
    for (int& value : values) pvm_pkint(&value, 1, 1);
    pvm_send(destination, tag);
}

void ReceiveElementByElement(std::vector<int>& values) {
    int size = 0;
    pvm_upkint(&size, 1, 1);
    for (int i = 0; i < size; ++i) pvm_upkint(&values[i], 1, 1);
}

void SendContainerOf(int destination, std::vector<int>& values, int tag) {
    SendContainer(destination, values.begin(), static_cast<int>(values.size()), tag);
}

void ReceiveContainerOf(std::vector<int>& values) {
    auto front = values.begin();
    RecvContainer(front, false, static_cast<int>(values.size()));
}

// How one way of packing sends and receives the range.
struct Transfer {
    void (*send)(int, std::vector<int>&, int);
    void (*receive)(std::vector<int>&);
};

const std::map<int, Transfer> kTransfers = {
    {TAG_CONTAINER, {SendContainerOf, ReceiveContainerOf}},
    {TAG_WHOLE_ARRAY, {SendWholeArray, ReceiveWholeArray}},
    {TAG_ELEMENT_BY_ELEMENT, {SendElementByElement, ReceiveElementByElement}},
};

// The echo task: returns every range the same way it came, until told to stop.
int Echo() {
    const int parent = pvm_parent();
    std::vector<int> values(kRangeSize);
    while (true) {
        int bytes = 0, tag = 0, source = 0;
        pvm_bufinfo(pvm_recv(parent, -1), &bytes, &tag, &source);
        const auto transfer = kTransfers.find(tag);
        if (transfer == kTransfers.end()) break;
        transfer->second.receive(values);
        transfer->second.send(parent, values, tag);
    }
    pvm_exit();
    return 0;
}

void RoundTrip(benchmark::State& state, int tag) {
    const Transfer& transfer = kTransfers.at(tag);
    std::vector<int> values(kRangeSize);
    std::iota(values.begin(), values.end(), -kRangeSize / 2);
    const std::vector<int> sent = values;
    for (auto _ : state) {
        transfer.send(gEchoTid, values, tag);
        WaitForMessage(gEchoTid, tag);
        transfer.receive(values);
    }
    if (values != sent) state.SkipWithError("the range came back changed");
    state.SetBytesProcessed(state.iterations() * 2 * int64_t(sizeof(int)) * (kRangeSize + 1));
}

void BM_SendRecvContainer(benchmark::State& state) { RoundTrip(state, TAG_CONTAINER); }
void BM_WholeArrayFloor(benchmark::State& state) { RoundTrip(state, TAG_WHOLE_ARRAY); }
void BM_ElementByElement(benchmark::State& state) { RoundTrip(state, TAG_ELEMENT_BY_ELEMENT); }
BENCHMARK(BM_SendRecvContainer)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_WholeArrayFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ElementByElement)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The console report, followed by each benchmark's times relative to the floor.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            // With repetitions the median, reported after the single runs, wins.
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                mTimes[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto floor = mTimes.find("BM_WholeArrayFloor");
        if (floor == mTimes.end()) return;
        for (const auto& [name, time] : mTimes)
            std::cout << name << ": " << time.first / floor->second.first << " times the floor in real time, "
                      << time.second / floor->second.second << " in this task's CPU time" << std::endl;
    }

private:
    // Real and CPU time per iteration, by benchmark.
    std::map<std::string, std::pair<double, double>> mTimes;
};

}  // namespace

int main(int argc, char** argv) {
    if (pvm_mytid() < 0) {
        std::cout << "container_bench needs a PVM daemon: run it inside scripts/vcluster.sh" << std::endl;
        return 1;
    }
    if (pvm_parent() != PvmNoParent) return Echo();

    const std::vector<std::string> hosts = VirtualMachineHosts();
    const std::string echoHost = hosts.size() > 1 ? hosts[1] : hosts[0];
    gEchoTid = SpawnSlave("container_bench", echoHost.c_str(), false, false);
    if (gEchoTid < 0) return 1;
    std::cout << "echo task on " << echoHost << ", " << hosts.size() << " host(s)" << std::endl;

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    pvm_initsend(PvmDataDefault);
    pvm_send(gEchoTid, TAG_QUIT);
    pvm_exit();
    return 0;
}
