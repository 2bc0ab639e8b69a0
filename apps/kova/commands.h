// The subcommands of kova. Each Add...Commands registers its subcommands on the
// program and runs them through the session; a command that fails throws
// analysis::Error with its message and exit status.
#pragma once
#include "apps/kova/kova_session.h"

#include <CLI/CLI.hpp>

#include <filesystem>

// kova list, kova analyse.
void AddAnalyseCommands(CLI::App& app, Session& session);
// kova scaling, kova compare.
void AddScalingCommands(CLI::App& app, Session& session);
// kova study.
void AddStudyCommands(CLI::App& app, Session& session);
// kova report, kova export.
void AddReportCommands(CLI::App& app, Session& session);
// kova measure.
void AddMeasureCommands(CLI::App& app, Session& session);
// The program's file: the name itself when it holds a '/', else the first
// executable of that name in PATH; throws analysis::Error (exit status 127 when
// there is none, 126 when it cannot be executed).
std::filesystem::path FindProgram(const std::string& name);
