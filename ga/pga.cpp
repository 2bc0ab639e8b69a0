#include "ga/pga.h"

#include "ga/measure.h"

#include <pvm3.h>

#include <algorithm>
#include <iostream>
#include <vector>

bool gdebug = false;
bool mdebug = false;
const std::string exp_name = "test GA";
const std::string comment = "geen commentaar";

namespace {

const int TAG_PARAMETERS = 2;
const int TAG_SLICE_TO_MASTER = 3;
const int TAG_SLICE_TO_SLAVE = 4;
const int TAG_STOP = 5;
// Sent by PVM when a watched partner task ends.
const int TAG_PARTNER_ENDED = 6;

// Reports a failed PVM call and leaves PVM; true when `result` is an error.
bool PvmFailed(int result, const char* text)
{
    if (result >= 0)
        return false;
    pvm_perror(const_cast<char*>(text));
    pvm_exit();
    return true;
}

// Ends a phase and, when asked for, prints its length after `label`.
void Split(measure& chronometer, measure::FASE fase, const char* label)
{
    const TIME t = chronometer.split_chrono(fase, 0, 0, false);
    if (mdebug)
        std::cout << label << t / 1000000 << "s " << t % 1000000 << "us\n";
}

// Waits for the next message and makes it the receive buffer. True when it carries
// `tag`; false, after saying why and leaving PVM, when a watched partner ended first,
// the message is of another kind, or PVM failed.
bool Receive(int tag, const char* partner)
{
    const int buffer = pvm_recv(-1, -1);
    if (PvmFailed(buffer, " calling pvm_recv"))
        return false;
    int bytes = 0, msgtag = 0, source = 0;
    if (PvmFailed(pvm_bufinfo(buffer, &bytes, &msgtag, &source), " calling pvm_bufinfo"))
        return false;
    if (msgtag == tag)
        return true;
    if (msgtag == TAG_PARTNER_ENDED) {
        int tid = 0;
        pvm_upkint(&tid, 1, 1);
        std::cout << "The " << partner << " (task " << tid << ") ended before the run was over" << std::endl;
    } else {
        std::cout << "Unexpected message with tag " << msgtag << " from task " << source << " while waiting for tag "
                  << tag << std::endl;
    }
    pvm_exit();
    return false;
}

// Packs `count` integers from `values` into a fresh send buffer.
bool PackInts(int* values, int count, const char* packText)
{
    return !PvmFailed(pvm_initsend(PvmDataDefault), " calling pvm_initsend") &&
           !PvmFailed(pvm_pkint(values, count, 1), packText);
}

// Sends the current send buffer with `tag` to every slave in spawn order.
bool SendToAll(const std::vector<int>& slave_tid, int tag)
{
    for (int tid : slave_tid)
        if (PvmFailed(pvm_send(tid, tag), " calling pvm_send"))
            return false;
    return true;
}

// Starts the slaves one by one. On a failure it says which slave and why, stops the
// slaves already started and leaves PVM.
bool SpawnSlaves(std::vector<int>& slave_tid)
{
    char option[] = "-p 2";
    char* argv[] = {option, nullptr};
    char program[] = "tourga";
    char anywhere[] = "";
    const int flags = gdebug ? PvmTaskDebug : 0;
    for (std::size_t i = 0; i < slave_tid.size(); ++i) {
        const int started = pvm_spawn(program, argv, flags, anywhere, 1, &slave_tid[i]);
        if (started == 1)
            continue;
        const int error = started < 0 ? started : slave_tid[i];
        std::cout << " Error in spawn slave " << i << " : negative tid " << error << std::endl;
        if (error == PvmNoHost)
            std::cout << " host is not added to pvm" << std::endl;
        else if (error == PvmNoFile)
            std::cout << " executable cannot be found" << std::endl;
        for (std::size_t k = 0; k < i; ++k)
            pvm_kill(slave_tid[k]);
        pvm_exit();
        return false;
    }
    return true;
}

} // namespace

bool ParallelGeneticAlgorithm::FindSolution(GeneralGeneticProblem* problem, int generations, int population,
                                            int perMut, int perSel, int machines)
{
    const int parent_tid = pvm_parent();
    if (parent_tid == PvmNoParent) {
        std::cout << "Hi, I am the master" << std::endl;
        return ParallelMaster(problem, generations, population, perMut, perSel, machines);
    }
    // Any other negative answer means there is no virtual machine to run in.
    if (PvmFailed(parent_tid, " calling pvm_parent"))
        return false;
    std::cout << "Hi, I am a slave" << std::endl;
    return ParallelSlave(problem);
}

bool ParallelGeneticAlgorithm::ParallelMaster(GeneralGeneticProblem* problem, int generations, int population,
                                              int perMut, int perSel, int machines)
{
    if (machines < 1 || population / machines < 1) {
        std::cout << "Cannot give each of " << machines << " machines a slice of a population of " << population
                  << " individuals" << std::endl;
        pvm_exit();
        return false;
    }
    int synch = TenthOfRun(generations);
    const int cycles = generations / synch;
    const int popindex = population / machines;

    measure chronometer;
    chronometer.start(exp_name, machines, population, comment);
    std::vector<int> slave_tid(machines);
    if (!SpawnSlaves(slave_tid))
        return false;
    if (PvmFailed(pvm_notify(PvmTaskExit, TAG_PARTNER_ENDED, machines, slave_tid.data()), " calling pvm_notify"))
        return false;
    std::cout << "Finding Solution" << std::endl;

    problem->InitializePopulation(popindex * machines);
    std::vector<int> pop = problem->GetPopulation();
    int popsize = static_cast<int>(pop.size()) / machines;
    std::vector<int> divpop(popsize);

    if (PvmFailed(pvm_initsend(PvmDataDefault), " calling pvm_initsend"))
        return false;
    for (int* value : {&perMut, &perSel, &synch, &generations, &popsize})
        if (PvmFailed(pvm_pkint(value, 1, 1), " calling pvm_pkint"))
            return false;
    if (!SendToAll(slave_tid, TAG_PARAMETERS))
        return false;
    Split(chronometer, measure::part, "Time for task part on master: ");

    // Each slave receives one slice per cycle; without cycles it waits for the stop only.
    if (cycles > 0) {
        for (int i = 0; i < machines; ++i) {
            std::copy(pop.begin() + i * popsize, pop.begin() + (i + 1) * popsize, divpop.begin());
            if (!PackInts(divpop.data(), popsize, " calling pvm_pkinit") ||
                PvmFailed(pvm_send(slave_tid[i], TAG_SLICE_TO_SLAVE), " calling pvm_send"))
                return false;
        }
        Split(chronometer, measure::comm, "Time for task comm on master: ");
    }

    for (int r = 0; r < cycles; ++r) {
        // Slices are stored in the order they arrive, whichever slave sent them.
        for (int j = 0; j < machines; ++j) {
            if (!Receive(TAG_SLICE_TO_MASTER, "slave"))
                return false;
            Split(chronometer, measure::blok, "Time for task block on master: ");
            if (PvmFailed(pvm_upkint(divpop.data(), popsize, 1), " calling pvm_upkint"))
                return false;
            std::copy(divpop.begin(), divpop.end(), pop.begin() + j * popsize);
            Split(chronometer, measure::comm, "Time for task comm on master: ");
        }
        // The elite of the whole population; after the last cycle it is what the run
        // found, so it is merged then too, though no slave needs it any more.
        problem->SetPopulation(pop);
        problem->SelectSize(popindex);
        if (r != cycles - 1) {
            const std::vector<int> elite = problem->GetPopulation();
            std::copy(elite.begin(), elite.begin() + popsize, divpop.begin());
            if (!PackInts(divpop.data(), popsize, " calling pvm_pkint"))
                return false;
            Split(chronometer, measure::sync, "Time for task synch  on master: ");
            if (!SendToAll(slave_tid, TAG_SLICE_TO_SLAVE))
                return false;
            Split(chronometer, measure::comm, "Time for task comm on master: ");
        }
        problem->PrintSolution();
    }

    if (PvmFailed(pvm_initsend(PvmDataDefault), " calling pvm_initsend") || !SendToAll(slave_tid, TAG_STOP))
        return false;
    Split(chronometer, measure::part, "Time for task recomb/part on master: ");
    problem->PrintSolution();
    return true;
}

bool ParallelGeneticAlgorithm::ParallelSlave(GeneralGeneticProblem* problem)
{
    std::cout << "Slave " << pvm_mytid() << "Beginning to Work" << std::endl;
    measure chronometer;
    chronometer.start(exp_name, 1, 1, " ");

    int parent_tid = pvm_parent();
    if (PvmFailed(pvm_notify(PvmTaskExit, TAG_PARTNER_ENDED, 1, &parent_tid), " calling pvm_notify"))
        return false;
    if (!Receive(TAG_PARAMETERS, "master"))
        return false;
    int perMut = 0, perSel = 0, synch = 0, generations = 0, popsize = 0;
    for (int* value : {&perMut, &perSel, &synch, &generations, &popsize})
        if (PvmFailed(pvm_upkint(value, 1, 1), " calling pvm_upkint"))
            return false;
    std::cout << "Parameters Received" << std::endl;
    if (synch < 1 || popsize < 1) {
        std::cout << "Unusable parameters from the master: synch " << synch << ", popsize " << popsize << std::endl;
        pvm_exit();
        return false;
    }

    std::vector<int> poparray(popsize);
    std::vector<int> pop;
    for (int i = 0; i < generations / synch; ++i) {
        if (!Receive(TAG_SLICE_TO_SLAVE, "master"))
            return false;
        Split(chronometer, measure::blok, "Time for task block on slave: ");
        if (PvmFailed(pvm_upkint(poparray.data(), popsize, 1), " calling pvm_upkint"))
            return false;
        pop = poparray;
        problem->SetPopulation(pop);
        Split(chronometer, measure::comm, "Time for task comm on slave: ");

        for (int g = 0; g < synch; ++g) {
            problem->Mutate(perMut);
            problem->Select(perSel);
            problem->Reproduce();
        }
        Split(chronometer, measure::comp, "Time for task comp on slave: ");
        std::cout << "synchronising" << std::endl;

        pop = problem->GetPopulation();
        std::copy_n(pop.begin(), std::min(pop.size(), poparray.size()), poparray.begin());
        if (!PackInts(poparray.data(), popsize, " calling pvm_pkint") ||
            PvmFailed(pvm_send(parent_tid, TAG_SLICE_TO_MASTER), " calling pvm_send"))
            return false;
        Split(chronometer, measure::comm, "Time for task comm on slave: ");
    }

    if (!Receive(TAG_STOP, "master"))
        return false;
    Split(chronometer, measure::blok, "Time for task block on slave: ");
    std::cout << "finished" << std::endl;
    return true;
}
