// kova study: a program measured at every configuration of p and W, a given number
// of runs each, in interleaved rounds and resumable from the runs already stored;
// then modelled as kova scaling models it, and its models checked at configurations
// measured afresh after the fit.
#include "apps/kova/commands.h"
#include "apps/kova/scaling_runs.h"
#include "apps/kova/study_checks.h"
#include "apps/kova/study_machine.h"
#include "apps/kova/study_plan.h"
#include "apps/kova/study_progress.h"
#include "apps/kova/terminal_text.h"

#include "analysis/error.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using analysis::ExperimentHeader;
using study::Configuration;

// A study that ended without every configuration's runs (its outputs are written).
constexpr int kExitRunsMissing = 1;
// kova measure's statuses when it cannot run the program at all.
constexpr int kExitMeasureFailed = 125, kExitNoProgram = 127;
// Lines of a failed run's output that are shown.
constexpr int kFailureLines = 5;
// How long a program that stores its runs itself may go on storing after it ended.
constexpr int kTaskWaitSeconds = 30;
constexpr int kBarWidth = 24;

struct StudyCommandOptions {
    std::string application, ps, Ws = "0", format = "text", page;
    int repeat = 3;
    int timeout = 600;
    bool again = false;
    StudyOptions scaling;  // --aggregate, --predict, --own-model as kova scaling takes them
    std::vector<std::string> checks, command;
};

// What the study measures and how.
struct Design {
    std::string application, user;
    std::vector<int> ps, Ws;
    std::vector<Configuration> configurations;  // of the sweep, modelled
    std::vector<Configuration> checkPoints;     // measured after the fit
    scaling::StudySettings settings;            // of the fit, its predictions without the checks
    std::vector<std::string> command;
    fs::path program;
    bool pIsHosts = false;     // the command has no {p}: the program runs on p hosts of the machine
    bool storesItself = false; // the program links the probe and stores its runs itself
    int repeat = 3;
    int timeout = 600;
};

// Whether the program links the measurement probe: its reports' text is in the
// file, or the probe's shared library is among those it needs.
bool LinksProbe(const fs::path& program) {
    std::ifstream in(program, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return content.find(" *** KOVA Instrumentation") != std::string::npos ||
           content.find("libkova.so") != std::string::npos;
}

// Whether the run enters a series: finished, and neither it nor a process crashed.
bool Counts(const ExperimentHeader& header) {
    return header.statusData >= analysis::kFinished && header.Tp > 0 &&
           !(header.errorFlags & (analysis::kExpCrashed | analysis::kProcessCrashed));
}

// The finished runs stored of each of the configurations.
std::map<Configuration, int> StoredRuns(const std::vector<ExperimentHeader>& headers,
                                        const std::vector<Configuration>& configurations) {
    std::map<Configuration, int> stored;
    for (const ExperimentHeader& header : headers) {
        const Configuration configuration{header.p, header.W};
        if (Counts(header) && std::count(configurations.begin(), configurations.end(), configuration))
            ++stored[configuration];
    }
    return stored;
}

// The configurations at a --check or --predict point: its p with its W, or with
// every W of the study.
std::vector<Configuration> CheckPoints(const std::string& text, const std::vector<int>& Ws) {
    scaling::PredictionRequest request;
    try {
        request = scaling::ParsePredictionRequest(text);
    } catch (const std::invalid_argument& e) {
        std::string message = e.what();
        if (message.rfind("--predict", 0) == 0) message.replace(0, 9, "--check");
        throw analysis::Error(message, analysis::kExitUsage);
    }
    const auto whole = [](double value, double least) { return value >= least && value == static_cast<int>(value); };
    if (!whole(request.p, 1) || (request.W && !whole(*request.W, 0)))
        throw analysis::Error("--check " + text + ": p and W of a run are whole numbers (p at least 1)",
                              analysis::kExitUsage);
    std::vector<Configuration> points;
    for (int W : request.W ? std::vector<int>{static_cast<int>(*request.W)} : Ws)
        points.push_back({static_cast<int>(request.p), W});
    return points;
}

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gTimedOut = 0;
volatile pid_t gChild = 0;

// An interrupt ends the run under way (kova measure passes it on to the program) and
// the study after it.
void OnStop(int signal) {
    gStopSignal = signal;
    if (gChild > 0) kill(gChild, SIGTERM);
}

// A run beyond its time is asked to end, then, 10 s later, killed.
void OnAlarm(int) {
    if (gChild > 0) kill(gChild, gTimedOut ? SIGKILL : SIGTERM);
    gTimedOut = 1;
    alarm(10);
}

// The last lines of a run's output, indented.
std::string LastLines(const fs::path& log) {
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    std::string text;
    for (std::size_t k = lines.size() > kFailureLines ? lines.size() - kFailureLines : 0; k < lines.size(); ++k)
        text += "    " + Printable(lines[k]) + "\n";
    return text.empty() ? "    (it printed nothing)\n" : text;
}

std::string StatusText(int status) {
    if (WIFSIGNALED(status))
        return "was ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "ended with exit status " + std::to_string(WEXITSTATUS(status));
}

// Runs the study: its runs, the fit, the checks and the outputs.
class Study {
public:
    Study(Session& session, Design design, study::VirtualMachine& machine)
        : mSession(session), mDesign(std::move(design)), mMachine(machine),
          mKova(fs::read_symlink("/proc/self/exe")) {
        char pattern[] = "/tmp/kova-study-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) throw analysis::Error(std::string("cannot create a file in /tmp: ") + std::strerror(errno));
        close(fd);
        mLog = pattern;
    }
    ~Study() { fs::remove(mLog); }
    Study(const Study&) = delete;
    Study& operator=(const Study&) = delete;

    int Run(const StudyCommandOptions& options);

private:
    struct Attempt {
        bool stored = false;
        std::string failure;  // why not, in words
        int status = 0;
    };

    Attempt RunOnce(const Configuration& configuration);
    // Spawns the run's command with its output into the log; its wait status.
    int Spawn(const std::vector<std::string>& argv, const fs::path& executable);
    std::vector<ExperimentHeader> Listed() { return mSession.List(mDesign.user, mDesign.application); }
    // The study over the stored runs of these configurations, predicting there.
    std::optional<scaling::Study> Model(const std::vector<Configuration>& configurations,
                                        const scaling::StudySettings& settings);
    // Before the check runs: what the fit predicts at each check point.
    void AnnounceChecks(const scaling::Study& fitted, const std::vector<study::PlannedRun>& checkRuns);
    // The models, predictions and checks on standard output, and the page.
    void Write(const StudyCommandOptions& options, const scaling::Study& fitted, const nlohmann::json& missing,
               const std::string& missingText);
    void Report(const std::string& text);
    void ShowBar(std::size_t index, const study::Progress& progress);

    Session& mSession;
    Design mDesign;
    study::VirtualMachine& mMachine;
    fs::path mKova, mLog;
    int mLastID = 0;  // the newest experiment of the application seen
    bool mTerminal = isatty(STDERR_FILENO) == 1;
    std::chrono::steady_clock::time_point mStart = std::chrono::steady_clock::now();
};

int Study::Spawn(const std::vector<std::string>& argv, const fs::path& executable) {
    std::vector<char*> words;
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, mLog.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = 0;
    const int failed = posix_spawn(&child, executable.c_str(), &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw analysis::Error(executable.string() + ": cannot run it: " + std::strerror(failed), kExitMeasureFailed);
    gChild = child;
    gTimedOut = 0;
    if (gStopSignal != 0) kill(child, SIGTERM);
    if (mDesign.timeout > 0) alarm(static_cast<unsigned>(mDesign.timeout));
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    alarm(0);
    gChild = 0;
    return status;
}

Study::Attempt Study::RunOnce(const Configuration& configuration) {
    if (mDesign.pIsHosts) mMachine.Resize(configuration.p);
    const std::vector<std::string> command = study::Substituted(mDesign.command, configuration);
    Attempt attempt;
    if (mDesign.storesItself) {
        const std::set<int> before = mMachine.Tasks();
        attempt.status = Spawn(command, mDesign.program);
        mMachine.AwaitEnd(before, kTaskWaitSeconds);
    } else {
        std::vector<std::string> argv = {"kova", "measure", "--application", mDesign.application, "--p",
                                         std::to_string(configuration.p), "--W", std::to_string(configuration.W),
                                         "--policy", "do-not-replace", "--"};
        argv.insert(argv.end(), command.begin(), command.end());
        attempt.status = Spawn(argv, mKova);
    }
    std::vector<ExperimentHeader> fresh;
    for (const ExperimentHeader& header : Listed())
        if (header.id > mLastID) fresh.push_back(header);
    for (const ExperimentHeader& header : fresh) mLastID = std::max(mLastID, header.id);
    const std::string how = gTimedOut ? "ran longer than " + std::to_string(mDesign.timeout) + " s and was stopped"
                                      : StatusText(attempt.status);
    for (const ExperimentHeader& header : fresh) {
        const Configuration stored{header.p, header.W};
        if (stored != configuration) {
            attempt.failure = "it stored an experiment of " + study::Text(stored) +
                              ": {p} and {W} must go where the program takes the p and W it stores";
        } else if (header.errorFlags & analysis::kExpCrashed) {
            attempt.failure = "the program " + how + " (experiment " + std::to_string(header.id) + ", flagged EXP_CRASHED)";
        } else if (!Counts(header)) {
            attempt.failure = "its experiment " + std::to_string(header.id) + " did not finish (the program " + how + ")";
        } else {
            attempt.stored = true;
            continue;
        }
        attempt.stored = false;
        return attempt;
    }
    if (!attempt.stored)
        attempt.failure = "it stored no experiment of " + mDesign.application + " (it " + how + ")" +
                          (mDesign.storesItself ? "; a program that stores its runs itself names them: give that "
                                                  "name as --application"
                                                : "");
    return attempt;
}

void Study::AnnounceChecks(const scaling::Study& fitted, const std::vector<study::PlannedRun>& checkRuns) {
    for (const study::Check& check : study::Checks(mDesign.checkPoints, fitted, std::nullopt)) {
        const bool measured = std::any_of(checkRuns.begin(), checkRuns.end(), [&](const study::PlannedRun& run) {
            return run.configuration == check.configuration;
        });
        if (check.predicted && measured)
            Report("kova study: " + study::Text(check.configuration) + ": predicted Tp " +
                   std::to_string(std::lround(check.predicted->value)) + " us (95 %: " +
                   std::to_string(std::lround(check.predicted->low)) + " to " +
                   std::to_string(std::lround(check.predicted->high)) + " us); measuring it\n");
    }
}

void Study::Report(const std::string& text) {
    if (mTerminal) std::cerr << "\r\033[K";
    std::cerr << text << std::flush;
}

void Study::ShowBar(std::size_t index, const study::Progress& progress) {
    if (!mTerminal) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
    std::cerr << "\r" << progress.Bar(index, mDesign.repeat, elapsed, kBarWidth) << "\033[K" << std::flush;
}

std::optional<scaling::Study> Study::Model(const std::vector<Configuration>& configurations,
                                           const scaling::StudySettings& settings) {
    const std::set<Configuration> wanted(configurations.begin(), configurations.end());
    std::vector<scaling::Run> runs;
    for (scaling::Run& run : LoadScalingRuns(mSession, mDesign.application, mDesign.user))
        if (wanted.count({run.p, run.W})) runs.push_back(std::move(run));
    try {
        return scaling::StudyScaling(mDesign.application, runs, settings);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

void Study::Write(const StudyCommandOptions& options, const scaling::Study& fitted, const nlohmann::json& missing,
                  const std::string& missingText) {
    scaling::StudySettings aggregation;
    aggregation.aggregation = mDesign.settings.aggregation;
    const std::vector<study::Check> checks =
        study::Checks(mDesign.checkPoints, fitted, Model(mDesign.checkPoints, aggregation));
    const nlohmann::json additions = {{"checks", study::ChecksJson(checks)}, {"missing", missing}};
    WriteStudy(fitted, options.format, "", additions);
    if (options.format == "csv") {
        std::cout << "\n" << study::ChecksCsv(checks);
    } else if (options.format == "text") {
        if (!checks.empty()) std::cout << "\n" << study::ChecksText(checks);
        if (!missingText.empty()) std::cout << "\nConfigurations that lack runs:\n" << missingText;
    }
    std::cout.flush();
    if (!options.page.empty()) WriteStudy(fitted, "html", options.page, additions);
}

int Study::Run(const StudyCommandOptions& options) {
    const std::vector<ExperimentHeader> headers = Listed();
    for (const ExperimentHeader& header : headers) mLastID = std::max(mLastID, header.id);
    std::map<Configuration, int> stored = StoredRuns(headers, mDesign.configurations);
    const std::map<Configuration, int> storedChecks = StoredRuns(headers, mDesign.checkPoints);
    const std::map<Configuration, int> none;
    std::vector<study::PlannedRun> plan =
        study::PlanRuns(mDesign.configurations, options.again ? none : stored, mDesign.repeat);
    const std::size_t sweepRuns = plan.size();
    const std::vector<study::PlannedRun> checkRuns =
        study::PlanRuns(mDesign.checkPoints, options.again ? none : storedChecks, mDesign.repeat);
    plan.insert(plan.end(), checkRuns.begin(), checkRuns.end());
    for (const auto& [configuration, runs] : storedChecks) stored[configuration] = runs;
    if (plan.empty())
        Report("kova study: every configuration has its " + std::to_string(mDesign.repeat) +
               " runs stored: nothing to measure (--again measures again)\n");

    study::Progress progress(plan);
    std::set<Configuration> givenUp;
    std::optional<scaling::Study> fitted;
    bool fitDone = false;
    const auto fit = [&] {
        fitDone = true;
        scaling::StudySettings settings = mDesign.settings;
        for (const Configuration& point : mDesign.checkPoints)
            settings.predictions.push_back({static_cast<double>(point.p), static_cast<double>(point.W)});
        fitted = Model(mDesign.configurations, settings);
    };
    int failures = 0;
    for (std::size_t index = 0; index < plan.size() && gStopSignal == 0; ++index) {
        const study::PlannedRun& run = plan[index];
        if (index == sweepRuns) {
            fit();
            if (fitted) AnnounceChecks(*fitted, checkRuns);
        }
        if (givenUp.count(run.configuration)) continue;
        for (int attempt = 1; attempt <= 2 && gStopSignal == 0; ++attempt) {
            ShowBar(index, progress);
            const auto began = std::chrono::steady_clock::now();
            const Attempt outcome = RunOnce(run.configuration);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            progress.Finished(index, seconds);
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
            if (!mTerminal) Report(progress.Line(index, mDesign.repeat, seconds, elapsed) + "\n");
            if (outcome.stored) {
                ++stored[run.configuration];
                break;
            }
            ++failures;
            if (gStopSignal != 0) break;
            // kova measure itself could not run the program: no run of this study can.
            if (!mDesign.storesItself && WIFEXITED(outcome.status) &&
                WEXITSTATUS(outcome.status) >= kExitMeasureFailed && WEXITSTATUS(outcome.status) <= kExitNoProgram)
                throw analysis::Error("kova measure cannot run the program; its output ended with:\n" +
                                          LastLines(mLog),
                                      WEXITSTATUS(outcome.status));
            Report("kova study: the run of " + study::Text(run.configuration) + " failed: " +
                   Printable(outcome.failure) + "; its output ended with:\n" + LastLines(mLog) +
                   (attempt == 1 ? "kova study: trying it once more\n"
                                 : "kova study: " + study::Text(run.configuration) +
                                       " gets no more runs in this study\n"));
            if (attempt == 2) givenUp.insert(run.configuration);
        }
    }
    if (mTerminal && !plan.empty()) Report("");
    mMachine.Restore();
    if (gStopSignal != 0) {
        Report("kova study: interrupted by signal " + std::to_string(gStopSignal) +
               "; the same command goes on where the study stopped\n");
        return 128 + gStopSignal;
    }
    if (!fitDone) fit();

    std::vector<Configuration> missing;
    for (const std::vector<Configuration>* configurations : {&mDesign.configurations, &mDesign.checkPoints})
        for (const Configuration& configuration : *configurations)
            if (stored[configuration] < mDesign.repeat) missing.push_back(configuration);
    nlohmann::json missingJson = nlohmann::json::array();
    std::string missingText;
    for (const Configuration& configuration : missing) {
        missingJson.push_back({{"p", configuration.p}, {"W", configuration.W}, {"runs", stored[configuration]},
                               {"repeat", mDesign.repeat}});
        missingText += "  " + study::Text(configuration) + ": " + std::to_string(stored[configuration]) + " of " +
                       std::to_string(mDesign.repeat) + " runs\n";
    }
    Report("kova study: " + std::to_string(plan.size()) + " runs planned, " + std::to_string(failures) + " failed" +
           (missing.empty() ? "; every configuration has its runs\n"
                            : "; configurations that lack runs:\n" + missingText));
    if (!fitted) throw analysis::Error("no run of " + mDesign.application + " finished: nothing to model",
                                       kExitRunsMissing);

    Write(options, *fitted, missingJson, missingText);
    return missing.empty() ? 0 : kExitRunsMissing;
}

// Checks the command line and works out the design.
Design MakeDesign(Session& session, const StudyCommandOptions& options) {
    if (session.mSource == analysis::Source::kLegacy)
        throw analysis::Error("kova study stores its runs in the measurement database: no --source legacy",
                              analysis::kExitUsage);
    Design design;
    try {
        design.ps = study::ParseValues(options.ps, "--p", 1);
        design.Ws = study::ParseValues(options.Ws, "--W", 0);
        design.settings = options.scaling.Settings();
    } catch (const std::invalid_argument& e) {
        throw analysis::Error(e.what(), analysis::kExitUsage);
    }
    design.configurations = study::Configurations(design.ps, design.Ws);
    for (const std::string& text : options.checks)
        for (const Configuration& point : CheckPoints(text, design.Ws)) {
            if (std::count(design.configurations.begin(), design.configurations.end(), point))
                throw analysis::Error("--check " + text + ": " + study::Text(point) +
                                          " is a configuration of the study; a check lies outside it",
                                      analysis::kExitUsage);
            if (!std::count(design.checkPoints.begin(), design.checkPoints.end(), point))
                design.checkPoints.push_back(point);
        }
    design.command = options.command;
    design.pIsHosts = !study::UsesPlaceholder(options.command, "{p}");
    if (design.Ws.size() > 1 && !study::UsesPlaceholder(options.command, "{W}"))
        throw analysis::Error("--W names " + std::to_string(design.Ws.size()) +
                                  " sizes but the command has no {W}: every size would run the same program",
                              analysis::kExitUsage);
    design.program = FindProgram(options.command.front());
    design.storesItself = LinksProbe(design.program);
    design.application = options.application.empty() ? design.program.filename().string() : options.application;
    const char* user = std::getenv("USER");
    design.user = user != nullptr ? user : "UNKNOWN_USER";
    design.repeat = options.repeat;
    design.timeout = options.timeout;
    return design;
}

// What the design cannot support, on standard error.
void WarnAboutDesign(const Design& design) {
    if (static_cast<int>(design.ps.size()) < scaling::kMinModelPoints)
        std::cerr << "kova study: warning: " << design.ps.size() << " values of p cannot support a model over p (it "
                  << "needs at least " << scaling::kMinModelPoints << ")" << std::endl;
    const bool otherW = std::any_of(design.checkPoints.begin(), design.checkPoints.end(), [&](const Configuration& c) {
        return !std::count(design.Ws.begin(), design.Ws.end(), c.W);
    }) || std::any_of(design.settings.predictions.begin(), design.settings.predictions.end(),
                      [&](const scaling::PredictionRequest& r) {
        return r.W && !std::count(design.Ws.begin(), design.Ws.end(), static_cast<int>(*r.W));
    });
    if (static_cast<int>(design.Ws.size()) < scaling::kMinModelWs && (design.Ws.size() > 1 || otherW))
        std::cerr << "kova study: warning: " << design.Ws.size() << " value" << (design.Ws.size() > 1 ? "s" : "")
                  << " of W cannot support a model over p and W (it needs at least " << scaling::kMinModelWs << ")"
                  << (otherW ? ": a W outside the study cannot be predicted" : "") << std::endl;
}

int RunStudy(Session& session, const StudyCommandOptions& options) {
    Design design = MakeDesign(session, options);
    // A missing server is reported now, before any run.
    session.Measurement();
    study::VirtualMachine machine;
    if (design.pIsHosts) {
        int largest = *std::max_element(design.ps.begin(), design.ps.end());
        for (const Configuration& point : design.checkPoints) largest = std::max(largest, point.p);
        if (largest > machine.Hosts())
            throw analysis::Error("the command has no {p}, so the program runs on p hosts of the virtual machine, "
                                  "but it has " + std::to_string(machine.Hosts()) + " and p goes up to " +
                                  std::to_string(largest) + ": add hosts, or pass {p} to the program",
                                  analysis::kExitUsage);
    }
    if (!design.pIsHosts && !design.storesItself) machine.Leave();
    if (design.storesItself) setenv("KOVA_KEEP_EVERY_RUN", "1", 1);
    WarnAboutDesign(design);

    struct sigaction stop {}, timer {}, oldInt {}, oldTerm {}, oldHup {}, oldAlarm {};
    stop.sa_handler = OnStop;
    timer.sa_handler = OnAlarm;
    sigaction(SIGINT, &stop, &oldInt);
    sigaction(SIGTERM, &stop, &oldTerm);
    sigaction(SIGHUP, &stop, &oldHup);
    sigaction(SIGALRM, &timer, &oldAlarm);
    Study study(session, std::move(design), machine);
    const int status = study.Run(options);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    sigaction(SIGALRM, &oldAlarm, nullptr);
    return status;
}

}  // namespace

void AddStudyCommands(CLI::App& app, Session& session) {
    auto options = std::make_shared<StudyCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "study", "measures a PVM program at every p (and W) a given number of times, resumably, models how it "
                 "scales and checks the models at configurations measured after the fit");
    command->fallthrough();
    command->footer(
        "{p} and {W} in the program's arguments stand for the values of each configuration. Each run goes "
        "through kova measure and is stored with its p and W under the application's name, every run kept; a "
        "program that links the probe runs as it is and stores its runs itself (every run kept).\n"
        "A command without {p} runs on p hosts of the virtual machine: for each p the study deletes the hosts "
        "beyond the first p (this host first) and adds them back when a larger p comes, and gives the machine "
        "all of its hosts again at the end; the machine needs as many hosts as the largest p.\n"
        "Configurations with --repeat finished runs stored are not run again (unless --again), so a study that "
        "was interrupted goes on where it stopped. Runs go in rounds (every configuration once, then again, "
        "every other round in reverse). A failed run is shown with its output's last lines and tried once more; "
        "then its configuration gets no more runs in this study.\n"
        "Exit status: 0 when every configuration and check has its runs, 1 when some lack runs (the outputs are "
        "still written), 2 on a wrong command line, 125 when no virtual machine runs, 128 + N when signal N "
        "interrupted the study.");
    command->add_option("--application", options->application, "the application's name (default: the program's)");
    command->add_option("--p", options->ps, "the values of p: FROM..TO or a list (1,2,4,8)")->required();
    command->add_option("--W", options->Ws, "the values of W: FROM..TO or a list (default 0)");
    command->add_option("--repeat", options->repeat, "runs of each configuration (default 3)")
        ->check(CLI::PositiveNumber);
    AddStudyOptions(*command, options->scaling);
    command->add_option("--check", options->checks,
                        "measure p (and W; without W at every W of the study) after the fit, --repeat runs, and "
                        "set Tp beside its prediction; repeatable");
    command->add_option("--format", options->format, "text (default), csv or json, on standard output")
        ->check(CLI::IsMember({"text", "csv", "json"}));
    command->add_option("--page", options->page, "also write the scaling page, with the checks, to this file");
    command->add_flag("--again", options->again, "measure every configuration again, also those with their runs");
    command->add_option("--timeout", options->timeout, "end a run after this many seconds (default 600, 0: never)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("PROGRAM", options->command, "the program and its arguments, after --")->required();
    command->callback([&session, options] {
        const int status = RunStudy(session, *options);
        std::cout.flush();
        std::exit(status);
    });
}
