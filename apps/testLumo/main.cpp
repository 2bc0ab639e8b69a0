// testLumo: removes the multiples of 3 from the vector 0, 1, ..., n-1 with remove_ifP
// over the PVM slaves and with the standard remove_if, and compares the two results.
// The program is its own slave. With -m every process measures remove_ifP's phases
// with the probe: the master opens an experiment of p = the number of hosts of the
// virtual machine and W = the vector size, each slave joins it.
#include "container/removeIfP.h"

#include "probe/KOVAInstrumentation.h"
#include "probe/KeepEveryRun.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <vector>

bool gDebugMode = false;
bool gMeasureWithKOVA = false;
long gNbrProcessors = 2;
long gVectorSize = 100;

void process_args(int ARGC, char** ARGV) {
    int option;
    while ((option = getopt(ARGC, ARGV, "dhmp:s:")) != -1) {
        switch (option) {
        case 'd':
            gDebugMode = true;
            RemoveIfPSetSlaveDebuggingOn();
            std::cout << "debug-mode on" << std::endl;
            break;
        case 'm':
            gMeasureWithKOVA = true;
            RemoveIfPSetKOVAMeasuringOn();
            std::cout << "KOVA measuring on" << std::endl;
            break;
        case 'p':
            gNbrProcessors = std::strtol(optarg, nullptr, 0);
            std::cout << "Number of processors " << gNbrProcessors << std::endl;
            break;
        case 's':
            gVectorSize = std::strtol(optarg, nullptr, 0);
            std::cout << "Vector Size " << gVectorSize << std::endl;
            break;
        case 'h':
            std::cout << "Use the following options: " << std::endl
                      << "  -d        to start the slaves in debug mode (default=" << gDebugMode << ")" << std::endl
                      << "  -m        to measure performance with KOVA (default=" << gMeasureWithKOVA << ")"
                      << std::endl
                      << "  -p + nbr  to specify the number of processors (default=" << gNbrProcessors << ")"
                      << std::endl
                      << "  -s + nbr  to give the size of the vector to be processed (default=" << gVectorSize
                      << ")" << std::endl;
            std::exit(0);
        default:
            break;
        }
    }
}

// The probe of this process when measuring: a master's or a slave's, by its PVM parent.
std::unique_ptr<KOVAProbe> MakeProbe(int vectorSize) {
    // Without a virtual machine there is no run to measure; remove_ifP reports it.
    if (!gMeasureWithKOVA || pvm_mytid() < 0) return nullptr;
    const int parent = pvm_parent();
    if (parent >= 0) return std::make_unique<KOVAProbe>(true);
    const int hosts = static_cast<int>(VirtualMachineHosts().size());
    if (parent != PvmNoParent || hosts == 0) return nullptr;
    return std::make_unique<KOVAProbe>("testLumo", hosts, SimilarExpPolicy(KOVAProbe::REPLACE_IF_FASTER), vectorSize, "");
}

int main(int argc, char** argv) {
    process_args(argc, argv);
    if (gVectorSize < 0 || gVectorSize > INT_MAX) {
        std::cout << "Vector size " << gVectorSize << " is out of range (0 to " << INT_MAX << ")" << std::endl;
        return 2;
    }
    const int size = static_cast<int>(gVectorSize);

    std::vector<int> v1(size);
    InsertElements(v1.begin(), size);
    IsDivisibleBy<int> function_object(3, 0);
    std::unique_ptr<KOVAProbe> probe = MakeProbe(size);
    RemoveIfPSetProbe(probe.get());
    auto pos1 = remove_ifP(v1.begin(), v1.end(), function_object);
    // The measured run ends with the parallel algorithm, before the sequential check.
    RemoveIfPSetProbe(nullptr);
    probe.reset();

    std::vector<int> v2(size);
    InsertElements(v2.begin(), size);
    IsDivisibleBy<int> function_object2(3, 0);
    auto pos2 = std::remove_if(v2.begin(), v2.end(), function_object2);

    v2.erase(pos2, v2.end());
    v1.erase(pos1, v1.end());
    std::cout << "Compare parallel & sequential algorithms:" << std::endl;
    if (v1.size() != v2.size())
        std::cout << "Size parallel result " << v1.size() << " # size seq result " << v2.size() << "!!" << std::endl;
    if (v1 != v2) std::cout << "The elements of v1 & v2 are different!" << std::endl;
    return 1;
}
