#include "support.h"

#include <KOVAInstrumentation.h>
#include <examplefactory.h>
#include <kova_site.h>
#include <net.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

// value between single quotes for the shell.
std::string ShellQuoted(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The run folder that the cluster command announces on its first output line.
const std::string RUN_FOLDER_PREFIX = "run-folder=";

}  // namespace

ScratchFolder::ScratchFolder() {
    const fs::path parent = fs::path(KOVA_BINARY_DIR) / "exekova-tests";
    fs::create_directories(parent);
    std::string pattern = (parent / "run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a folder in " + parent.string());
    mPath = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
}

std::string ClusterRun::pvmLog() const { return ReadFile(runFolder / "tmp/node1" / ("pvml." + std::to_string(getuid()))); }

ClusterRun::~ClusterRun() {
    std::error_code ignored;
    if (!runFolder.empty()) fs::remove_all(runFolder, ignored);
}

std::unique_ptr<ClusterRun> RunOnCluster(int hosts, const fs::path& cwd, const std::string& command) {
    const std::string script = "echo " + RUN_FOLDER_PREFIX + "$VCLUSTER_RUN_DIR; " + command +
                               "; status=$?; while pgrep -x exeKOVA >/dev/null; do sleep 0.1; done; exit $status";
    const fs::path outputFile = cwd / ".cluster.out";
    const std::string line = "cd " + ShellQuoted(cwd.string()) + " && bash " +
                             ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/scripts/vcluster.sh") + " " +
                             std::to_string(hosts) + " --keep-logs --timeout 120 --bin " +
                             ShellQuoted(std::string(KOVA_BINARY_DIR) + "/bin") + " -- bash -c " +
                             ShellQuoted(script) + " >" + ShellQuoted(outputFile.string()) + " 2>" +
                             ShellQuoted((cwd / ".cluster.err").string()) + " </dev/null";
    auto run = std::make_unique<ClusterRun>();
    const int status = std::system(line.c_str());
    run->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string output = ReadFile(outputFile);
    fs::remove(outputFile);
    if (output.rfind(RUN_FOLDER_PREFIX, 0) == 0) {
        const std::size_t end = output.find('\n');
        run->runFolder = output.substr(RUN_FOLDER_PREFIX.size(), end - RUN_FOLDER_PREFIX.size());
        output.erase(0, end + 1);
    }
    run->output = output;
    if (run->exitStatus != 0) std::cout << "cluster errors:\n" << ReadFile(cwd / ".cluster.err") << std::endl;
    return run;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string LoginName() {
    const passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "";
}

std::unique_ptr<StandardDatabase> ConnectToMeasurementDb() {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
}

std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query) {
    std::vector<Row> rows;
    MYSQL_RES* result = db.QueryRows(query);
    if (result == nullptr) return rows;
    const unsigned columns = mysql_num_fields(result);
    MYSQL_FIELD* fields = mysql_fetch_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        Row values;
        for (unsigned i = 0; i < columns; ++i) values[fields[i].name] = row[i] ? row[i] : "NULL";
        rows.push_back(values);
    }
    mysql_free_result(result);
    return rows;
}

long long SelectNumber(StandardDatabase& db, const std::string& query) {
    const std::string value = db.QueryFirst(query);
    return value.empty() ? 0 : std::stoll(value);
}

void DeleteExperimentsOf(StandardDatabase& db, const std::string& application) {
    for (const std::string& id :
         db.QueryStrings("SELECT ID FROM Experiments WHERE name = " + db.QuotedValue(application) +
                         " AND user = " + db.QuotedValue(LoginName())))
        DeleteExperiment(std::stoi(id), db);
}

namespace {

SequentialResult TrainSequentially(TaskRole role) {
    using NeuralNetwork::Net;
    using NeuralNetwork::real;
    srand(35233);
    // The pipeline stages that the task built before, drawing from the same sequence.
    if (role == TaskRole::Master) {
        const int first[2] = {15, 150}, last[2] = {150, 10};
        for (const int* sizes : {first, last}) Net(2, sizes, 0.05, 0.5, 1.0).randomizeWeights();
    } else {
        const int middle[4] = {150, 150, 150, 150};
        Net(4, middle, 0.05, 0.5, 1.0).randomizeWeights();
    }
    const int sizes[9] = {15, 150, 150, 150, 150, 150, 150, 150, 10};
    Net sequential(9, sizes, 0.05, 0.5, 1.0);
    sequential.randomizeWeights();
    ArrayRangeExampleFactory examples(0, 14);
    sequential.simpleAutoTrain(examples);
    sequential.doneTraining();
    const real test3[15] = {1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1};
    real output[10];
    sequential.run(test3, output);

    SequentialResult result;
    std::ostringstream report;
    std::streambuf* console = std::cout.rdbuf(report.rdbuf());
    sequential.printResult(output);
    std::cout.rdbuf(console);
    result.reportLines = Lines(report.str());
    std::ostringstream weights;
    sequential.save(weights);
    result.weightFile = weights.str();
    return result;
}

}  // namespace

const SequentialResult& ExpectedSequentialResult(TaskRole role) {
    if (role == TaskRole::Master) {
        static const SequentialResult master = TrainSequentially(TaskRole::Master);
        return master;
    }
    static const SequentialResult slave = TrainSequentially(TaskRole::Slave);
    return slave;
}
