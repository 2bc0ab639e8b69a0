// foreachtest: applies sum_up (add 7) to a generated array of longs with ForEachP over
// the PVM slaves and prints every step. The program is its own slave.
#include "container/forEachP.h"
#include "probe/standardlib.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <vector>

long SIZE = 30;
bool RandomMode = false;
bool gDebugMode = false;

// Reverse-order input overwrites the values at these positions.
constexpr long REVERSE_MODE_MIN_SIZE = 18;

void process_args(int argc, char** argv) {
    int option;
    while ((option = getopt(argc, argv, "dhs:r")) != -1) {
        switch (option) {
        case 'd':
            gDebugMode = true;
            std::cout << "debug-mode on\n";
            break;
        case 'r':
            RandomMode = true;
            std::cout << "Random mode selected " << "\n";
            break;
        case 's':
            SIZE = std::strtol(optarg, nullptr, 0);
            std::cout << "Size of array to sort " << SIZE << "\n";
            break;
        case 'h':
            std::cout << "Use the following options: " << std::endl
                      << "  -d to debug the slaves" << std::endl
                      << "  -s + nbr  to specify the size of array (default = 100000)" << std::endl
                      << "  -r        to choose the random input array (default = reverse order array)" << std::endl;
            std::exit(0);
        default:
            break;
        }
    }
}

int main(int argc, char** argv) {
    process_args(argc, argv);
    std::cout << "Size = " << SIZE << std::endl;
    if (SIZE < 0 || SIZE > INT_MAX)
        error("the size of the array must lie between 0 and " + std::to_string(INT_MAX), "", 0);
    if (!RandomMode && SIZE < REVERSE_MODE_MIN_SIZE)
        error("the reverse-order array needs at least " + std::to_string(REVERSE_MODE_MIN_SIZE) +
                  " elements; give a larger -s or choose -r",
              "", 0);

    std::vector<long> input(SIZE);
    if (RandomMode) {
        for (long& value : input) value = std::rand() % 1000;
    } else {
        for (long i = 0; i < SIZE; ++i) input[i] = SIZE - i;
        input[1] = 251;
        input[17] = -250;
        input[2] = 9999;
        input[3] = 150;
    }
    std::cout << "end of input" << std::endl;
    ForEachP(input.begin(), input.end(), sum_up<long>());
    std::cout << "end of task" << std::endl;
    return 0;
}
