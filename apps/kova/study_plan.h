// The runs of a scaling study: its configurations (each p with each W), the order in
// which the runs still missing are made, and the program's arguments of one
// configuration.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace study {

struct Configuration {
    int p = 0;
    int W = 0;
    bool operator<(const Configuration& other) const { return p != other.p ? p < other.p : W < other.W; }
    bool operator==(const Configuration& other) const { return p == other.p && W == other.W; }
    bool operator!=(const Configuration& other) const { return !(*this == other); }
};

// "p=4, W=100".
std::string Text(const Configuration& configuration);

// The values of a list option: "1..6", "1,2,4,8", "100 1000 10000" (commas or blanks
// between), each at least `least`, without repeats, in ascending order. Throws
// std::invalid_argument with a message naming the option.
std::vector<int> ParseValues(const std::string& text, const std::string& option, int least);

// Every p with every W, by p, then W.
std::vector<Configuration> Configurations(const std::vector<int>& ps, const std::vector<int>& Ws);

struct PlannedRun {
    Configuration configuration;
    int repetition = 0;  // which of the configuration's runs this is, from 1
};

// The runs that bring every configuration to `repeat` stored runs, interleaved in
// rounds: a round makes one run of every configuration that still needs one, odd
// rounds in the given order, even ones in reverse. So a drift of the machine over the
// study falls on every configuration alike, and a study over the hosts of the virtual
// machine grows it by one host at a time.
std::vector<PlannedRun> PlanRuns(const std::vector<Configuration>& configurations,
                                 const std::map<Configuration, int>& stored, int repeat);

// Whether a word of the command holds the placeholder ("{p}", "{W}").
bool UsesPlaceholder(const std::vector<std::string>& command, const std::string& placeholder);

// The command with every {p} and {W} replaced by the configuration's values.
std::vector<std::string> Substituted(const std::vector<std::string>& command, const Configuration& configuration);

}  // namespace study
