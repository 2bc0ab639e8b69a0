#include "apps/kova/study_plan.h"

#include <algorithm>
#include <regex>
#include <set>
#include <stdexcept>

namespace study {

namespace {

int Number(const std::string& word, const std::string& option, int least) {
    static const std::regex digits("[0-9]{1,9}");
    if (!std::regex_match(word, digits))
        throw std::invalid_argument(option + ": '" + word + "' is not a whole number");
    const int value = std::stoi(word);
    if (value < least)
        throw std::invalid_argument(option + ": " + word + " is below " + std::to_string(least));
    return value;
}

}  // namespace

std::string Text(const Configuration& configuration) {
    return "p=" + std::to_string(configuration.p) + ", W=" + std::to_string(configuration.W);
}

std::vector<int> ParseValues(const std::string& text, const std::string& option, int least) {
    static const std::regex range(R"(\s*([0-9]+)\s*\.\.\s*([0-9]+)\s*)");
    std::set<int> values;
    std::smatch match;
    if (std::regex_match(text, match, range)) {
        const int from = Number(match[1], option, least), to = Number(match[2], option, least);
        if (from > to) throw std::invalid_argument(option + ": the range " + text + " is empty");
        for (int value = from; value <= to; ++value) values.insert(value);
    } else {
        std::string word;
        for (std::size_t k = 0; k <= text.size(); ++k) {
            const char c = k < text.size() ? text[k] : ' ';
            if (c == ',' || c == ' ' || c == '\t') {
                if (!word.empty()) values.insert(Number(word, option, least));
                word.clear();
            } else {
                word += c;
            }
        }
    }
    if (values.empty()) throw std::invalid_argument(option + ": no values given");
    return {values.begin(), values.end()};
}

std::vector<Configuration> Configurations(const std::vector<int>& ps, const std::vector<int>& Ws) {
    std::vector<Configuration> configurations;
    for (int p : ps)
        for (int W : Ws) configurations.push_back({p, W});
    return configurations;
}

std::vector<PlannedRun> PlanRuns(const std::vector<Configuration>& configurations,
                                 const std::map<Configuration, int>& stored, int repeat) {
    std::vector<PlannedRun> plan;
    for (int round = 1; round <= repeat; ++round) {
        std::vector<PlannedRun> runs;
        for (const Configuration& configuration : configurations) {
            const auto found = stored.find(configuration);
            const int have = found == stored.end() ? 0 : found->second;
            if (have + round <= repeat) runs.push_back({configuration, have + round});
        }
        if (round % 2 == 0) std::reverse(runs.begin(), runs.end());
        plan.insert(plan.end(), runs.begin(), runs.end());
    }
    return plan;
}

bool UsesPlaceholder(const std::vector<std::string>& command, const std::string& placeholder) {
    return std::any_of(command.begin(), command.end(),
                       [&](const std::string& word) { return word.find(placeholder) != std::string::npos; });
}

std::vector<std::string> Substituted(const std::vector<std::string>& command, const Configuration& configuration) {
    std::vector<std::string> words;
    for (std::string word : command) {
        for (const auto& [placeholder, value] : {std::pair<std::string, int>{"{p}", configuration.p},
                                                 std::pair<std::string, int>{"{W}", configuration.W}})
            for (std::size_t at = word.find(placeholder); at != std::string::npos;
                 at = word.find(placeholder, at + 1))
                word.replace(at, placeholder.size(), std::to_string(value));
        words.push_back(word);
    }
    return words;
}

}  // namespace study
