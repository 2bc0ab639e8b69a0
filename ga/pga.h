// The parallel genetic-algorithm driver: a master and its slaves over PVM.
#pragma once

#include "ga/ggp.h"

#include <string>

// Spawn slaves under the debugger (PvmTaskDebug).
extern bool gdebug;
// Print the length of every timed phase.
extern bool mdebug;
// Name and comment of the experiments that parallel runs create.
extern const std::string exp_name;
extern const std::string comment;

// Spreads the population over PVM slaves, which are further copies of the same
// program. The master gives every slave an equal slice, each slave evolves its slice
// for a tenth of the run, the master gathers the slices, keeps the best of the whole and
// sends that elite set back to every slave; this repeats until the run is over. Every
// phase is timed with the legacy recorder.
//
// Messages: tag 2 the parameters (perMut, perSel, synch, generations, popsize), tag 4 a
// slice for a slave, tag 3 a slave's evolved slice, tag 5 stop. Each side also watches
// the other's end (tag 6), so that a partner that dies never leaves it waiting.
class ParallelGeneticAlgorithm
{
public:
    // Runs as the master when the process has no PVM parent (with `machines` slaves),
    // otherwise as a slave that takes its parameters from the master. Returns false when
    // the run could not be completed (the reason has been printed).
    bool FindSolution(GeneralGeneticProblem* problem, int generations, int population, int perMut, int perSel,
                      int machines);

private:
    bool ParallelMaster(GeneralGeneticProblem* problem, int generations, int population, int perMut, int perSel,
                        int machines);
    bool ParallelSlave(GeneralGeneticProblem* problem);
};
