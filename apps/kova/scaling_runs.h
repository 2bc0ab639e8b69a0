// What kova scaling shares with other commands that model a series of stored runs:
// the options of a study, the runs of an application read from the database, and
// the study written in the format asked for (the page included).
#pragma once
#include "apps/kova/kova_session.h"

#include "scaling/series.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

// The options' words; see scaling::MakeStudySettings.
struct StudyOptions {
    std::string aggregate = "median";
    std::vector<std::string> predictions;
    std::vector<std::string> ownModels;
    scaling::StudySettings Settings() const;
};

// Adds --aggregate, --predict (repeatable) and --own-model (repeatable) to a command,
// checked while the command line is parsed.
void AddStudyOptions(CLI::App& command, StudyOptions& options);

// Every stored run of the application (of the user, unless empty). A crashed or
// unfinished run comes with the reason it is left out, and without its phases.
std::vector<scaling::Run> LoadScalingRuns(Session& session, const std::string& application, const std::string& user);

// The study as "text", "csv", "json" or "html" to the file at path, or to standard
// output when path is empty (text then with the stored names' control characters
// escaped). The additions' keys join the JSON and the page's data (a key "checks",
// a list of {"p", "W", "metric", "predicted", "low", "high", "measured", "error",
// "held"}, is shown on the page as the checked predictions). A file is written whole
// or not at all.
void WriteStudy(const scaling::Study& study, const std::string& format, const std::string& path,
                const nlohmann::json& additions = nlohmann::json::object());
