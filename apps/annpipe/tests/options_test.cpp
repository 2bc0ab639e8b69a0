// Tests of annpipe's command line: the usage text, the reading of -w, the refusal
// of wrong command lines and the arguments handed to the slaves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "apps/annpipe/options.h"

namespace {

// Parses a command line as main does, from fresh settings.
struct Parsed {
    std::optional<int> exitStatus;
    std::string output;
};

Parsed Parse(const std::vector<std::string>& arguments) {
    gMeasureWithKOVA = false;
    TRAIN_TIMES = DEFAULT_TRAIN_TIMES;
    std::vector<std::string> words{"annpipe"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // 0 makes getopt start a new scan.
    optind = 0;
    std::ostringstream out;
    Parsed parsed;
    parsed.exitStatus = ParseOptions(static_cast<int>(words.size()), argv.data(), out);
    parsed.output = out.str();
    return parsed;
}

std::string Usage(int measure, int trainTimes) {
    return "Use the following options: \n"
           "  -m  to measure performance with KOVA" + std::string(63, ' ') + "(default=" + std::to_string(measure) +
           ")\n"
           "  -w  +  nbr  to give the size of the Work (nbr. of training \t\ttimes" + std::string(40, ' ') +
           "for the ANN) \t(default=" + std::to_string(trainTimes) + ")\n";
}

TEST(AnnpipeOptions, HelpPrintsTheUsageWithTheCurrentSettingsAndEnds) {
    Parsed help = Parse({"-h"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.output, Usage(0, 5));

    // Options before -h count in the defaults shown; those after it are not read.
    Parsed after = Parse({"-m", "-w", "0x3", "-h", "-w", "abc"});
    EXPECT_EQ(after.exitStatus, 0);
    EXPECT_EQ(after.output, "KOVA measuring on\n" + Usage(1, 3));
}

TEST(AnnpipeOptions, WorkSizeIsReadInDecimalHexadecimalAndOctal) {
    for (const auto& [text, value] : std::vector<std::pair<std::string, int>>{{"7", 7}, {"0x3", 3}, {"010", 8}}) {
        Parsed parsed = Parse({"-w", text});
        EXPECT_FALSE(parsed.exitStatus) << text;
        EXPECT_EQ(TRAIN_TIMES, value) << text;
        EXPECT_FALSE(gMeasureWithKOVA);
    }
    Parsed measured = Parse({"-m"});
    EXPECT_FALSE(measured.exitStatus);
    EXPECT_TRUE(gMeasureWithKOVA);
    EXPECT_EQ(measured.output, "KOVA measuring on\n");
    EXPECT_EQ(TRAIN_TIMES, 5);
}

TEST(AnnpipeOptions, WrongCommandLinesAreRefusedWithAReasonAndTheUsage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-w", "0"}, "annpipe: -w needs at least 1 training pass, not 0\n"},
        {{"-w", "-4"}, "annpipe: -w needs at least 1 training pass, not -4\n"},
        {{"-w", "abc"}, "annpipe: -w needs a whole number of training passes, not 'abc'\n"},
        {{"-w", "5x"}, "annpipe: -w needs a whole number of training passes, not '5x'\n"},
        {{"-w", ""}, "annpipe: -w needs a whole number of training passes, not ''\n"},
        {{"-w", "99999999999"}, "annpipe: -w needs a whole number of training passes, not '99999999999'\n"},
        {{"-w"}, "annpipe: -w needs the number of training passes\n"},
        {{"-x"}, "annpipe: unknown option -x\n"},
        {{"-m", "extra"}, "KOVA measuring on\nannpipe: unexpected argument 'extra'\n"},
    };
    for (const auto& [arguments, reason] : cases) {
        Parsed parsed = Parse(arguments);
        EXPECT_EQ(parsed.exitStatus, 2) << reason;
        EXPECT_EQ(parsed.output, reason + Usage(gMeasureWithKOVA, 5)) << reason;
        EXPECT_EQ(TRAIN_TIMES, 5) << reason;
    }
}

TEST(AnnpipeOptions, SlavesGetTheMeasuringFlagAndAWorkSizeOtherThanTheDefault) {
    using Arguments = std::vector<std::string>;
    EXPECT_EQ(SlaveArguments(false, 5), Arguments{});
    EXPECT_EQ(SlaveArguments(true, 5), Arguments{"-m"});
    EXPECT_EQ(SlaveArguments(false, 7), (Arguments{"-w", "7"}));
    EXPECT_EQ(SlaveArguments(true, 12), (Arguments{"-m", "-w", "12"}));
}

}  // namespace
