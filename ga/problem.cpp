#include "ga/problem.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

int _gSeed = 0;

namespace {

const int PRIME = 1013;

// Shuffles tour positions 1..end in place with lrand48, leaving city 1 at the front.
void ShuffleAfterFirst(std::vector<int>& tour)
{
    for (std::size_t k = 2; k < tour.size(); ++k)
        std::swap(tour[k], tour[1 + lrand48() % k]);
}

} // namespace

int PseudoRandomGenerator(int min, int max)
{
    const int old = _gSeed;
    _gSeed = (_gSeed * 351 + 138) % PRIME;
    if (_gSeed == old)
        ++_gSeed;
    const float factor = ((max - min) + 0.99999) / 1012.0;
    return min + static_cast<int>(_gSeed * factor);
}

float calc_distance(int x1, int y1, int x2, int y2)
{
    return sqrtf(static_cast<float>((x1 - x2) * (x1 - x2) + (y1 - y2) * (y1 - y2)));
}

TravelSalesman::TravelSalesman()
{
    for (int i = 0; i < problemSize; ++i) {
        cities[i] = i + 1;
        cities_x[i] = PseudoRandomGenerator(1, 10000);
        cities_y[i] = PseudoRandomGenerator(1, 10000);
    }
    for (int i = 0; i < problemSize; ++i)
        for (int j = 0; j < problemSize; ++j)
            map[i][j] = static_cast<int>(calc_distance(cities_x[i], cities_y[i], cities_x[j], cities_y[j]));
    PrintProblem();
}

std::vector<int> TravelSalesman::mut::operator()(std::vector<int> tour) const
{
    ShuffleAfterFirst(tour);
    return tour;
}

int TravelSalesman::fitness(std::vector<int> individual)
{
    int length = 0;
    for (int i = 0; i + 1 < problemSize; ++i)
        length += map[individual[i] - 1][individual[i + 1] - 1];
    return length;
}

void TravelSalesman::ordering()
{
    std::sort(population.begin(), population.end(), order{this});
}

void TravelSalesman::InitializePopulation(int pop)
{
    std::vector<int> individual(cities, cities + problemSize);
    for (int i = 0; i < pop; ++i) {
        ShuffleAfterFirst(individual);
        population.push_back(individual);
    }
    npop = static_cast<int>(population.size());
}

void TravelSalesman::Mutate(int percentage)
{
    const int limit = std::clamp(npop * percentage / 100, 0, static_cast<int>(population.size()));
    std::transform(population.end() - limit, population.end(), population.end() - limit, mut());
}

void TravelSalesman::Select(int percentage)
{
    const int limit = percentage * npop / 100;
    KeepBest(limit == 0 ? 1 : limit);
}

void TravelSalesman::SelectSize(int size)
{
    KeepBest(size);
}

void TravelSalesman::KeepBest(int limit)
{
    ordering();
    if (limit < static_cast<int>(population.size()))
        population.resize(std::max(limit, 0));
}

void TravelSalesman::Reproduce()
{
    const std::vector<std::vector<int>> temporal = population;
    for (std::size_t i = temporal.size(), j = 0; !temporal.empty() && i < static_cast<std::size_t>(npop); ++i, ++j) {
        if (j == temporal.size())
            j = 0;
        population.push_back(temporal[j]);
    }
}

void TravelSalesman::PrintSolution()
{
    ordering();
    const std::vector<int>& best = population.front();
    std::cout << std::endl;
    std::cout << "The best solution to the problem is: " << std::endl;
    for (int city : best)
        std::cout << city << " ";
    std::cout << std::endl;
    std::cout << "With a total lenght of " << fitness(best) << std::endl;
}

std::vector<int> TravelSalesman::GetPopulation()
{
    std::vector<int> array;
    array.reserve(population.size() * problemSize);
    for (const std::vector<int>& tour : population)
        array.insert(array.end(), tour.begin(), tour.end());
    return array;
}

void TravelSalesman::SetPopulation(std::vector<int> array)
{
    population.clear();
    for (std::size_t i = 0; i < array.size() / problemSize; ++i)
        population.emplace_back(array.begin() + problemSize * i, array.begin() + problemSize * (i + 1));
    npop = static_cast<int>(population.size());
}

void TravelSalesman::PrintProblem()
{
    for (int i = 0; i < problemSize; ++i)
        std::cout << "City " << i << ": " << cities_x[i] << ", " << cities_y[i] << std::endl;
}
