#include "ga/tests/instance_text.h"

#include <sstream>

std::string InstanceText(TravelSalesman& problem, int tours)
{
    std::ostringstream text;
    for (int i = 0; i < TravelSalesman::problemSize; ++i) {
        text << problem.cities_x[i] << ' ' << problem.cities_y[i] << ':';
        for (int j = 0; j < TravelSalesman::problemSize; ++j)
            text << ' ' << problem.map[i][j];
        text << '\n';
    }
    problem.InitializePopulation(tours);
    for (const std::vector<int>& tour : problem.population) {
        for (int city : tour)
            text << city << ' ';
        text << '\n';
    }
    return text.str();
}
