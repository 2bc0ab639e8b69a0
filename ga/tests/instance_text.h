// Text form of a travelling-salesman instance and of its first population, for
// comparing the instances that different processes build.
#pragma once

#include "ga/problem.h"

#include <string>

// The coordinates, the distance matrix and the tours of a fresh population of
// `tours` individuals of `problem`, one value list per line.
std::string InstanceText(TravelSalesman& problem, int tours);
