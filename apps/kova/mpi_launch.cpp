#include "apps/kova/mpi_launch.h"

#include "analysis/error.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr int kExitMeasureFailed = 125;

const std::set<std::string> kLauncherNames = {"mpirun",         "mpiexec",       "orterun",
                                              "mpirun.openmpi", "mpiexec.openmpi", "mpirun.mpich",
                                              "mpiexec.mpich",  "mpiexec.hydra"};

// The launchers' options (Open MPI's and MPICH's, without their leading dashes)
// that take values, and how many; the others take none.
const std::map<std::string, int> kOptionValues = {
    {"np", 1},          {"n", 1},         {"c", 1},          {"H", 1},          {"host", 1},
    {"hostfile", 1},    {"machinefile", 1}, {"f", 1},        {"x", 1},          {"mca", 2},
    {"gmca", 2},        {"genv", 2},      {"env", 2},        {"genvlist", 1},   {"envlist", 1},
    {"wdir", 1},        {"wd", 1},        {"ppn", 1},        {"npernode", 1},   {"map-by", 1},
    {"bind-to", 1},     {"rank-by", 1},   {"launcher", 1},   {"launcher-exec", 1}, {"bootstrap", 1},
    {"bootstrap-exec", 1}, {"iface", 1},  {"prefix", 1},     {"output-filename", 1}, {"hosts", 1},
    {"configfile", 1},  {"path", 1},      {"am", 1},         {"tune", 1},       {"rf", 1},
};

// The MPI a launcher's file name or --version text names, kNone when neither.
Mpi MpiNamedIn(const std::string& text) {
    if (text.find("openmpi") != std::string::npos || text.find("orterun") != std::string::npos ||
        text.find("Open MPI") != std::string::npos || text.find("OpenRTE") != std::string::npos)
        return Mpi::kOpenMpi;
    if (text.find("mpich") != std::string::npos || text.find("hydra") != std::string::npos ||
        text.find("HYDRA") != std::string::npos)
        return Mpi::kMpich;
    return Mpi::kNone;
}

std::string VersionText(const fs::path& program) {
    std::string quoted = "'";
    for (char c : program.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    std::string text;
    if (std::FILE* out = popen((quoted + "' --version 2>&1 </dev/null").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
        pclose(out);
    }
    return text;
}

}  // namespace

Mpi LauncherOf(const fs::path& program) {
    if (kLauncherNames.count(program.filename().string()) == 0) return Mpi::kNone;
    std::error_code failed;
    const fs::path file = fs::canonical(program, failed);
    const Mpi named = MpiNamedIn(failed ? program.filename().string() : file.filename().string());
    if (named != Mpi::kNone) return named;
    const Mpi versioned = MpiNamedIn(VersionText(program));
    if (versioned == Mpi::kNone)
        throw analysis::Error(program.string() + ": an MPI launcher neither of Open MPI nor of MPICH",
                              kExitMeasureFailed);
    return versioned;
}

std::string MpiMeasuringLibrary(Mpi mpi) {
    return mpi == Mpi::kOpenMpi ? "libkova_mpi_openmpi.so" : "libkova_mpi_mpich.so";
}

std::string LaunchedProgram(const std::vector<std::string>& command,
                            const std::function<bool(const std::string&)>& isProgram) {
    for (std::size_t i = 1; i < command.size(); ++i) {
        const std::string& word = command[i];
        if (word.empty()) continue;
        if (word[0] == '-') {
            const auto values = kOptionValues.find(word.substr(word.find_first_not_of('-')));
            if (values != kOptionValues.end()) i += values->second;
            continue;
        }
        if (isProgram(word)) return fs::path(word).filename().string();
    }
    return "";
}

std::vector<std::string> MeasuredLaunch(Mpi mpi, const std::vector<std::string>& command,
                                        std::vector<std::string>& environment) {
    std::vector<std::string> launch = {command.front()};
    std::vector<std::string> own;
    for (const std::string& entry : environment) {
        const auto equals = entry.find('=');
        const std::string name = entry.substr(0, equals), value = entry.substr(equals + 1);
        if (name.rfind("KOVA_", 0) == 0 || name == "LD_PRELOAD") {
            if (mpi == Mpi::kOpenMpi)
                launch.insert(launch.end(), {"-x", entry});
            else
                launch.insert(launch.end(), {"-genv", name, value});
        }
        if (name != "LD_PRELOAD") own.push_back(entry);
    }
    if (const char* preloaded = std::getenv("LD_PRELOAD")) own.push_back(std::string("LD_PRELOAD=") + preloaded);
    environment.swap(own);
    launch.insert(launch.end(), command.begin() + 1, command.end());
    return launch;
}

int StoreRanksAsP(MYSQL* db, int expID) {
    const std::string id = std::to_string(expID);
    const std::string update = "UPDATE Experiments SET p = nbrProcesses WHERE ID = " + id;
    const std::string select = "SELECT p FROM Experiments WHERE ID = " + id;
    int p = 0;
    if (mysql_real_query(db, update.data(), update.size()) == 0 &&
        mysql_real_query(db, select.data(), select.size()) == 0)
        if (MYSQL_RES* result = mysql_store_result(db)) {
            if (MYSQL_ROW row = mysql_fetch_row(result)) p = row[0] != nullptr ? std::atoi(row[0]) : 0;
            mysql_free_result(result);
        }
    return p;
}
