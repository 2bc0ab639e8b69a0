// The travelling-salesman problem of 20 generated cities, evolved by the GA drivers.
#pragma once

#include "ga/ggp.h"

#include <utility>
#include <vector>

// State of the deterministic generator of the city map. It starts at 0 in every
// process and is never seeded, so every process builds the same instance.
extern int _gSeed;

// The next value of the generator, scaled into [min, max].
int PseudoRandomGenerator(int min, int max);

// Euclidean distance between two points, in single precision.
float calc_distance(int x1, int y1, int x2, int y2);

// A fixed instance of 20 cities and its population of tours. A tour is a permutation
// of the city numbers 1..20 that always starts at city 1; its fitness is the length of
// the open path (no return leg), smaller being better. One tour occupies 20 integers
// of the flattened population.
class TravelSalesman : public GeneralGeneticProblem
{
public:
    static const int problemSize = 20;

    // Builds the instance from the generator and prints it.
    TravelSalesman();

    void InitializePopulation(int pop) override;
    void Mutate(int percentage) override;
    void Select(int percentage) override;
    void SelectSize(int size) override;
    void Reproduce() override;
    void PrintSolution() override;
    std::vector<int> GetPopulation() override;
    void SetPopulation(std::vector<int> array) override;
    // Prints every city's coordinates, one "City" line each.
    virtual void PrintProblem();

    // Length of the open path through the tour's cities.
    int fitness(std::vector<int> individual);

    // Orders tours by ascending length (shortest first).
    struct order
    {
        TravelSalesman* obj;
        bool operator()(std::vector<int> a, std::vector<int> b) const
        {
            return obj->fitness(std::move(a)) < obj->fitness(std::move(b));
        }
    };

    // Returns a copy of a tour with every city but the first shuffled.
    struct mut
    {
        std::vector<int> operator()(std::vector<int> tour) const;
    };

    int cities[problemSize];
    int cities_x[problemSize];
    int cities_y[problemSize];
    int map[problemSize][problemSize];
    std::vector<std::vector<int>> population;
    // Nominal population size: what Reproduce refills to and the base of the
    // percentages of Mutate and Select.
    int npop = 0;

private:
    // Sorts the population, shortest tour first.
    void ordering();
    // Sorts the population and keeps at most its first `limit` tours.
    void KeepBest(int limit);
};
