// Tests of the travelling-salesman instance and its population operations.
#include "ga/tests/instance_text.h"
#include "ga/problem.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string>

namespace {

// Standard output of a program run through the shell, which must succeed.
std::string OutputOf(const std::string& command)
{
    const CommandResult run = RunCommand(command, ErrorStream::Apart);
    EXPECT_EQ(run.status, 0) << command << ": " << run.errors;
    return run.output;
}

bool IsTour(const std::vector<int>& tour)
{
    std::vector<int> sorted = tour;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> cities(TravelSalesman::problemSize);
    std::iota(cities.begin(), cities.end(), 1);
    return tour.size() == cities.size() && tour.front() == 1 && sorted == cities;
}

// Every test starts from the generators' state of a fresh process: the city generator
// at 0 and lrand48 as the C library starts it (state 0) before any seeding.
class GATravelSalesman : public ::testing::Test
{
protected:
    void SetUp() override
    {
        _gSeed = 0;
        unsigned short unseeded[3] = {0, 0, 0};
        seed48(unseeded);
    }
};

TEST_F(GATravelSalesman, GeneratorFollowsItsFixedSequence)
{
    EXPECT_EQ(PseudoRandomGenerator(1, 10000), 1364);
    EXPECT_EQ(PseudoRandomGenerator(1, 10000), 9536);
    EXPECT_EQ(PseudoRandomGenerator(1, 10000), 5050);
    EXPECT_EQ(PseudoRandomGenerator(1, 10000), 1957);
    // 509 maps to itself; the generator steps past it instead of repeating forever.
    _gSeed = 509;
    PseudoRandomGenerator(0, 10);
    EXPECT_EQ(_gSeed, 510);
    const int next = PseudoRandomGenerator(0, 10);
    EXPECT_NE(_gSeed, 510);
    EXPECT_GE(next, 0);
    EXPECT_LE(next, 10);
}

TEST_F(GATravelSalesman, InstanceHasTheKnownCitiesAndASymmetricMap)
{
    TravelSalesman problem;
    EXPECT_EQ(problem.cities_x[0], 1364);
    EXPECT_EQ(problem.cities_y[0], 9536);
    EXPECT_EQ(problem.cities_x[1], 5050);
    EXPECT_EQ(problem.cities_y[1], 1957);
    for (int i = 0; i < TravelSalesman::problemSize; ++i) {
        EXPECT_EQ(problem.cities[i], i + 1);
        EXPECT_GE(problem.cities_x[i], 1);
        EXPECT_LE(problem.cities_x[i], 10000);
        EXPECT_GE(problem.cities_y[i], 1);
        EXPECT_LE(problem.cities_y[i], 10000);
        EXPECT_EQ(problem.map[i][i], 0);
        for (int j = 0; j < TravelSalesman::problemSize; ++j)
            EXPECT_EQ(problem.map[i][j], problem.map[j][i]);
    }
    // sqrt(3686^2 + 7579^2) = 8427.8...
    EXPECT_EQ(problem.map[0][1], 8427);
    EXPECT_FLOAT_EQ(calc_distance(0, 0, 3, 4), 5.0f);
}

TEST_F(GATravelSalesman, EveryProcessBuildsTheSameInstanceAndPopulation)
{
    const std::string first = OutputOf(INSTANCE_DUMP);
    const std::string second = OutputOf(INSTANCE_DUMP);
    ASSERT_NE(first.find("City 0: 1364, 9536\nCity 1: 5050, 1957\n"), std::string::npos) << first;
    EXPECT_EQ(first, second);

    TravelSalesman problem;
    const std::string here = InstanceText(problem, 5);
    const std::size_t marker = first.find("---\n");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_EQ(first.substr(marker + 4), here);
}

TEST_F(GATravelSalesman, InitialPopulationHoldsDistinctTours)
{
    TravelSalesman problem;
    problem.InitializePopulation(50);
    ASSERT_EQ(problem.population.size(), 50u);
    EXPECT_EQ(problem.npop, 50);
    for (const std::vector<int>& tour : problem.population)
        EXPECT_TRUE(IsTour(tour));
    // The shuffles accumulate, so neighbours differ (and none is the identity tour).
    for (std::size_t i = 1; i < problem.population.size(); ++i)
        EXPECT_NE(problem.population[i], problem.population[i - 1]);
}

TEST_F(GATravelSalesman, FitnessIsTheOpenPathLength)
{
    TravelSalesman problem;
    // 1, 20, 19, ..., 2: the first leg to city 20, then down one city at a time, and
    // no leg back to city 1.
    std::vector<int> tour = {1};
    int expected = problem.map[0][19];
    for (int city = 20; city > 1; --city)
        tour.push_back(city);
    for (int city = 20; city > 2; --city)
        expected += problem.map[city - 1][city - 2];
    EXPECT_EQ(problem.fitness(tour), expected);
}

TEST_F(GATravelSalesman, SelectKeepsTheShortestToursAndAtLeastOne)
{
    TravelSalesman problem;
    problem.InitializePopulation(50);
    int shortest = problem.fitness(problem.population[0]);
    for (const std::vector<int>& tour : problem.population)
        shortest = std::min(shortest, problem.fitness(tour));
    problem.Select(1); // 1 % of 50 is 0, raised to 1
    ASSERT_EQ(problem.population.size(), 1u);
    EXPECT_EQ(problem.fitness(problem.population[0]), shortest);
    EXPECT_EQ(problem.npop, 50);

    TravelSalesman hundred;
    hundred.InitializePopulation(100);
    std::vector<int> lengths;
    for (const std::vector<int>& tour : hundred.population)
        lengths.push_back(hundred.fitness(tour));
    std::sort(lengths.begin(), lengths.end());
    hundred.Select(25);
    ASSERT_EQ(hundred.population.size(), 25u);
    for (std::size_t i = 0; i < 25; ++i)
        EXPECT_EQ(hundred.fitness(hundred.population[i]), lengths[i]);

    hundred.SelectSize(0);
    EXPECT_TRUE(hundred.population.empty());
    EXPECT_EQ(hundred.npop, 100);
}

TEST_F(GATravelSalesman, ReproduceCyclesThroughTheSurvivors)
{
    TravelSalesman problem;
    problem.InitializePopulation(10);
    problem.SelectSize(3);
    const std::vector<std::vector<int>> survivors = problem.population;
    problem.Reproduce();
    ASSERT_EQ(problem.population.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i)
        EXPECT_EQ(problem.population[i], survivors[i % 3]) << "position " << i;
}

TEST_F(GATravelSalesman, PopulationTravelsAsFlatIntegers)
{
    TravelSalesman problem;
    problem.InitializePopulation(4);
    const std::vector<int> flat = problem.GetPopulation();
    ASSERT_EQ(flat.size(), 80u);
    for (std::size_t t = 0; t < 4; ++t)
        EXPECT_TRUE(std::equal(problem.population[t].begin(), problem.population[t].end(), flat.begin() + 20 * t));

    // 45 integers: two whole tours, the trailing 5 are ignored.
    std::vector<int> array(flat.begin(), flat.begin() + 45);
    problem.SetPopulation(array);
    ASSERT_EQ(problem.population.size(), 2u);
    EXPECT_EQ(problem.npop, 2);
    EXPECT_EQ(problem.GetPopulation(), std::vector<int>(flat.begin(), flat.begin() + 40));
}

TEST_F(GATravelSalesman, MutateReshufflesOnlyTheLastPart)
{
    TravelSalesman problem;
    problem.InitializePopulation(100);
    const std::vector<std::vector<int>> before = problem.population;
    problem.Mutate(75);
    ASSERT_EQ(problem.population.size(), 100u);
    int changed = 0;
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_TRUE(IsTour(problem.population[i]));
        if (i < 25)
            EXPECT_EQ(problem.population[i], before[i]) << "position " << i;
        else
            changed += problem.population[i] != before[i];
    }
    EXPECT_GE(changed, 70);
}

TEST_F(GATravelSalesman, PrintSolutionShowsTheShortestTour)
{
    TravelSalesman problem;
    problem.InitializePopulation(30);
    int shortest = problem.fitness(problem.population[0]);
    for (const std::vector<int>& tour : problem.population)
        shortest = std::min(shortest, problem.fitness(tour));

    testing::internal::CaptureStdout();
    problem.PrintSolution();
    const std::string printed = testing::internal::GetCapturedStdout();

    std::string route;
    for (int city : problem.population.front())
        route += std::to_string(city) + " ";
    EXPECT_EQ(printed, "\nThe best solution to the problem is: \n" + route + "\nWith a total lenght of " +
                           std::to_string(shortest) + "\n");
    EXPECT_EQ(route.substr(0, 2), "1 ");
}

} // namespace
