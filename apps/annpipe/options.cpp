#include "apps/annpipe/options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

bool gMeasureWithKOVA = false;
int TRAIN_TIMES = DEFAULT_TRAIN_TIMES;

namespace {

const char* const OPTION_STRING = "hmw:";
constexpr int COMMAND_LINE_ERROR = 2;

// Reads a number of training passes as strtol does in base 0 (decimal, 0x
// hexadecimal, leading-0 octal); nothing unless the whole text is a number that
// fits in an int.
std::optional<long> ReadWholeNumber(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE || value > INT_MAX || value < INT_MIN) return std::nullopt;
    return value;
}

int RefuseCommandLine(std::ostream& out, const std::string& reason) {
    out << "annpipe: " << reason << std::endl;
    PrintUsage(out);
    return COMMAND_LINE_ERROR;
}

}  // namespace

void PrintUsage(std::ostream& out) {
    out << "Use the following options: " << '\n'
        << "  -m  to measure performance with KOVA" << std::string(63, ' ') << "(default=" << (gMeasureWithKOVA ? 1 : 0)
        << ")" << '\n'
        << "  -w  +  nbr  to give the size of the Work (nbr. of training " << "\t\t" << "times" << std::string(40, ' ')
        << "for the ANN) " << "\t" << "(default=" << TRAIN_TIMES << ")" << std::endl;
}

std::optional<int> ParseOptions(int argc, char** argv, std::ostream& out) {
    // The messages about wrong options are this program's own, on standard output.
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
        switch (option) {
            case 'h':
                PrintUsage(out);
                return 0;
            case 'm':
                gMeasureWithKOVA = true;
                out << "KOVA measuring on" << std::endl;
                break;
            case 'w': {
                const std::optional<long> passes = ReadWholeNumber(optarg);
                if (!passes)
                    return RefuseCommandLine(out, std::string("-w needs a whole number of training passes, not '") +
                                                      optarg + "'");
                // Fewer than one pass would leave the pipeline without any example.
                if (*passes < 1)
                    return RefuseCommandLine(out, "-w needs at least 1 training pass, not " + std::string(optarg));
                TRAIN_TIMES = static_cast<int>(*passes);
                break;
            }
            default:
                if (optopt == 'w') return RefuseCommandLine(out, "-w needs the number of training passes");
                return RefuseCommandLine(out, std::string("unknown option -") + static_cast<char>(optopt));
        }
    }
    if (optind < argc) return RefuseCommandLine(out, std::string("unexpected argument '") + argv[optind] + "'");
    return std::nullopt;
}

std::vector<std::string> SlaveArguments(bool measureWithKOVA, int trainTimes) {
    std::vector<std::string> arguments;
    if (measureWithKOVA) arguments.push_back("-m");
    if (trainTimes != DEFAULT_TRAIN_TIMES) {
        arguments.push_back("-w");
        arguments.push_back(std::to_string(trainTimes));
    }
    return arguments;
}
