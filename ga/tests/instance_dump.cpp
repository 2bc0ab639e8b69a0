// Builds the travelling-salesman instance in a fresh process and prints its text form.
#include "ga/tests/instance_text.h"

#include <iostream>

int main()
{
    TravelSalesman problem;
    std::cout << "---\n" << InstanceText(problem, 5);
    return 0;
}
