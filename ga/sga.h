// The sequential genetic-algorithm driver.
#pragma once

#include "ga/ggp.h"

// Number of the stored parallel experiment whose sequential reference time a
// sequential run measures.
extern const int exp_no;

// Runs the whole search in the calling process and records its time against the
// parallel experiment exp_no, which turns that experiment's totals into a speedup.
class SequentialGeneticAlgorithm
{
public:
    // Evolves `population` individuals for `generations` generations: each generation
    // keeps the best perSel % of them, refills the population with copies and mutates
    // perMut % of it. The best individual is printed every tenth of the run and at
    // the end.
    void FindSolution(GeneralGeneticProblem* problem, int generations, int population, int perMut,
                      int perSel);
};
