// The genetic-problem interface shared by the sequential and the parallel driver.
#pragma once

#include <algorithm>
#include <vector>

// A problem that owns its population and knows how to create, vary, select, refill and
// print it, and how to flatten it into one integer vector (genes of every individual,
// in population order) for transport between processes. Every operation does nothing
// by default, so a problem overrides only what it supports.
class GeneralGeneticProblem
{
public:
    virtual void InitializePopulation(int /*pop*/) {}
    virtual void Mutate(int /*percentage*/) {}
    virtual void Select(int /*percentage*/) {}
    virtual void SelectSize(int /*size*/) {}
    virtual void Reproduce() {}
    virtual void PrintSolution() {}
    virtual std::vector<int> GetPopulation() { return std::vector<int>(); }
    virtual void SetPopulation(std::vector<int> /*array*/) {}
};

// Generations between two progress reports of the sequential driver and between two
// synchronisations of the parallel one: a tenth of the run, but at least one
// generation, so that runs shorter than ten generations still report and synchronise.
inline int TenthOfRun(int generations)
{
    return std::max(1, generations / 10);
}
