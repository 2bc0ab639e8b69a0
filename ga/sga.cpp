#include "ga/sga.h"

#include "ga/measure.h"

const int exp_no = 94;

void SequentialGeneticAlgorithm::FindSolution(GeneralGeneticProblem* problem, int generations,
                                              int population, int perMut, int perSel)
{
    measure chronometer(exp_no);
    const int interval = TenthOfRun(generations);
    problem->InitializePopulation(population);
    for (int count = 0; count < generations; ++count) {
        problem->Select(perSel);
        problem->Reproduce();
        problem->Mutate(perMut);
        if (count % interval == 0)
            problem->PrintSolution();
    }
    problem->PrintSolution();
}
