// tourga: a genetic algorithm for a 20-city travelling-salesman instance, run in one
// process or spread over PVM slaves (which are further copies of this program, started
// with "-p 2").
#include "ga/pga.h"
#include "ga/problem.h"
#include "ga/sga.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <iostream>

long generations = 1000;
long population = 100;
long mutation = 75;
long selection = 25;
long synchro = 100;
long gProcessors = 1;
bool gRunParallel = false;

// Reads the options -g -o -m -s -c -p; numbers may be decimal, 0x hexadecimal or
// leading-0 octal. Every setting but -p is echoed; unknown options are skipped.
void process_args(int ARGC, char** ARGV)
{
    int option;
    while ((option = getopt(ARGC, ARGV, "g:o:m:s:c:p:")) != -1) {
        long* setting = nullptr;
        const char* label = nullptr;
        switch (option) {
        case 'g': setting = &generations; label = "Number of Generations: "; break;
        case 'o': setting = &population; label = "Size of Population: "; break;
        case 'm': setting = &mutation; label = "Percentage of Mutation: "; break;
        case 's': setting = &selection; label = "Percentage of Selection: "; break;
        case 'c': setting = &synchro; label = "Generations to Synchronize: "; break;
        case 'p':
            gProcessors = std::strtol(optarg, nullptr, 0);
            gRunParallel = gProcessors > 1;
            continue;
        default: continue;
        }
        *setting = std::strtol(optarg, nullptr, 0);
        std::cout << label << *setting << std::endl;
    }
}

namespace {

// True when `value` lies in [low, high]; otherwise says which option is wrong.
bool InRange(long value, long low, long high, const char* what, char option)
{
    if (value >= low && value <= high)
        return true;
    std::cout << "tourga: " << what << " must lie between " << low << " and " << high << " (-" << option << " "
              << value << ")" << std::endl;
    return false;
}

// Settings the drivers cannot work with are refused before anything runs.
bool SettingsUsable()
{
    return InRange(generations, 0, INT_MAX, "the number of generations", 'g') &&
           InRange(population, 1, INT_MAX, "the size of the population", 'o') &&
           InRange(mutation, 0, 100, "the percentage of mutation", 'm') &&
           InRange(selection, 0, 100, "the percentage of selection", 's') &&
           InRange(gProcessors, INT_MIN, INT_MAX, "the number of processors", 'p');
}

} // namespace

int main(int ARGC, char** ARGV)
{
    process_args(ARGC, ARGV);
    if (!SettingsUsable())
        return EXIT_FAILURE;
    TravelSalesman problem;
    bool completed = true;
    if (gRunParallel)
        completed = ParallelGeneticAlgorithm().FindSolution(&problem, generations, population, mutation, selection,
                                                            gProcessors);
    else
        SequentialGeneticAlgorithm().FindSolution(&problem, generations, population, mutation, selection);
    return completed ? 0 : EXIT_FAILURE;
}
