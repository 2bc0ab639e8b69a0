// End-to-end tests of the probe on the virtual cluster: probetask runs as a user
// runs it, on node1 of a private PVM virtual machine, with slaves spawned onto the
// other hosts; the tests check what it prints and what the database then holds.
#include "probe/tests/probe_test_support.h"

#include "probe/KOVAInstrumentation.h"
#include "probe/replacement.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <set>

namespace {

// Runs probetask with the arguments, after environment (e.g. "env USER=x"), on a
// virtual cluster of the given size; input goes to its standard input.
ClusterRun RunProbetask(int hosts, const std::string& arguments, const std::string& input = "",
                        const std::string& environment = "") {
    ClusterOptions options;
    options.timeoutSeconds = 90;
    options.input = input;
    options.errors = ErrorStream::Merged;
    return RunOnCluster(hosts, environment + " probetask " + arguments, options);
}

// The numbers that follow each match of pattern's first group, in order.
std::vector<long long> NumbersAfter(const std::string& text, const std::string& pattern) {
    std::vector<long long> numbers;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator(); ++it)
        numbers.push_back(std::atoll((*it)[1].str().c_str()));
    return numbers;
}

std::string Str(long long value) { return std::to_string(value); }

// Processes that keep both cores busy while they live, as other programs load a cluster.
class BusyLoops {
public:
    explicit BusyLoops(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (volatile unsigned long n = 0;; n = n + 1) {
                }
            }
            if (pid > 0) mPids.push_back(pid);
        }
    }
    ~BusyLoops() {
        for (pid_t pid : mPids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> mPids;
};

}  // namespace

class ProbeCluster : public testing::Test {
protected:
    void SetUp() override {
        mDb = ConnectToMeasurementDb();
        mApp = UniqueAppName("ProbeCluster");
    }
    void TearDown() override {
        DeleteExperimentsOf(*mDb, mApp);
        // Slaves may store their rows after their master deleted the experiment.
        for (int expID : mRunExperiments) DeleteExperiment(expID, *mDb);
    }

    // Runs probetask on the cluster and notes the experiments it opened.
    ClusterRun Run(int hosts, const std::string& arguments, const std::string& input = "",
                   const std::string& environment = "") {
        ClusterRun run = RunProbetask(hosts, arguments, input, environment);
        for (long long expID : NumbersAfter(run.output, "probetask: (?:sequential )?experiment (\\d+)"))
            mRunExperiments.push_back(static_cast<int>(expID));
        return run;
    }

    // Checks the stored experiment of a master/slave run against what probetask
    // printed; returns the experiment number.
    int CheckStoredRun(const ClusterRun& run, const std::string& user) {
        const auto experiment = NumbersAfter(run.output, "probetask: experiment (\\d+)");
        EXPECT_EQ(experiment.size(), 1u) << run.output;
        if (experiment.size() != 1) return 0;
        const int expID = static_cast<int>(experiment[0]);
        const auto exps = SelectRows(*mDb, "SELECT * FROM Experiments WHERE ID = " + Str(expID));
        EXPECT_EQ(exps.size(), 1u);
        if (exps.size() != 1) return expID;
        EXPECT_EQ(exps[0].at("name"), mApp);
        EXPECT_EQ(exps[0].at("user"), user);
        EXPECT_EQ(exps[0].at("p"), "3");
        EXPECT_EQ(exps[0].at("W"), "100");
        EXPECT_EQ(exps[0].at("nbrProcesses"), "3");
        EXPECT_EQ(exps[0].at("statusData"), "1");

        // The processes as the master saw them: itself on node1, a slave on node2 and node3.
        std::map<std::string, std::string> hostOf;
        const std::regex master("probetask: process (\\d+) on (\\w+) measured");
        const std::regex slave("probetask: slave (\\d+) spawned on (\\w+)");
        for (const std::regex& line : {master, slave})
            for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), line);
                 it != std::sregex_iterator(); ++it)
                hostOf[(*it)[1]] = (*it)[2];
        const auto processes = SelectRows(*mDb, "SELECT * FROM Processes WHERE expID = " + Str(expID));
        EXPECT_EQ(processes.size(), 3u);
        std::set<std::string> hosts;
        for (const Row& process : processes) {
            EXPECT_EQ(process.at("ID"), process.at("pvmTid"));
            EXPECT_GT(std::atoll(process.at("pvmTid").c_str()), 0);
            EXPECT_EQ(process.at("processor"), hostOf[process.at("ID")]) << "process " << process.at("ID");
            hosts.insert(process.at("processor"));
        }
        EXPECT_EQ(hosts, (std::set<std::string>{"node1", "node2", "node3"}));

        // Each process's phases are numbered from 1 without gaps and add up to the
        // experiment time it measured right after its last phase.
        const std::regex measured("probetask: process (\\d+) (?:on \\w+ )?measured (\\d+) us in (\\d+) phases");
        int reports = 0;
        for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), measured);
             it != std::sregex_iterator(); ++it, ++reports) {
            const std::string id = (*it)[1];
            const long long time = std::atoll((*it)[2].str().c_str());
            const long long count = std::atoll((*it)[3].str().c_str());
            const auto phases = SelectRows(*mDb,
                                           "SELECT COUNT(*) AS n, MIN(nbr) AS first, MAX(nbr) AS last, SUM(duration) "
                                           "AS total FROM Phases WHERE expID = " +
                                               Str(expID) + " AND processID = " + id);
            EXPECT_EQ(phases[0].at("n"), Str(count)) << "process " << id;
            EXPECT_EQ(phases[0].at("first"), "1");
            EXPECT_EQ(phases[0].at("last"), Str(count));
            const long long total = std::atoll(phases[0].at("total").c_str());
            EXPECT_LE(total, time) << "process " << id;
            EXPECT_LT(time - total, 20000) << "process " << id;
            EXPECT_GT(total, 1000000) << "process " << id;
        }
        EXPECT_EQ(reports, 3) << run.output;

        CheckTotals(expID);

        // The master's Tp covers its phases; the slaves started after it, on its clock.
        const long long tp = std::atoll(exps[0].at("Tp").c_str());
        const auto masterTime = NumbersAfter(run.output, "probetask: process \\d+ on node1 measured (\\d+) us");
        EXPECT_EQ(masterTime.size(), 1u);
        if (!masterTime.empty()) {
            EXPECT_GE(tp, masterTime[0]);
            EXPECT_LT(tp - masterTime[0], 200000);
        }
        const auto starts = SelectRows(
            *mDb, "SELECT processor, startTimeSec * 1000000 + startTimeMicroSec AS start FROM Processes WHERE expID = " +
                      Str(expID) + " ORDER BY processor");
        if (starts.size() == 3) {
            const long long masterStart = std::atoll(starts[0].at("start").c_str());
            for (int i = 1; i < 3; ++i) {
                const long long slaveStart = std::atoll(starts[i].at("start").c_str());
                EXPECT_GT(slaveStart, masterStart) << starts[i].at("processor");
                EXPECT_LT(slaveStart - masterStart, 10000000) << starts[i].at("processor");
            }
        }
        return expID;
    }

    // Totals: one row per type with time, each the sum of that type's phases.
    void CheckTotals(int expID) {
        const auto mismatched = SelectRows(
            *mDb, "SELECT t.processID, t.phaseTypeID FROM PhaseDurations t LEFT JOIN (SELECT processID, typeID, "
                  "SUM(duration) AS total FROM Phases WHERE expID = " +
                      Str(expID) +
                      " GROUP BY processID, typeID) p ON p.processID = t.processID AND p.typeID = t.phaseTypeID "
                      "WHERE t.expID = " +
                      Str(expID) + " AND (p.total IS NULL OR p.total <> t.duration OR t.duration = 0)");
        EXPECT_TRUE(mismatched.empty()) << mismatched.size() << " totals differ from their phases";
        EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM (SELECT DISTINCT processID, typeID FROM Phases WHERE "
                                     "expID = " +
                                         Str(expID) + " AND duration <> 0) k"),
                  SelectNumber(*mDb, "SELECT COUNT(*) FROM PhaseDurations WHERE expID = " + Str(expID)));
    }

    // A run whose master ended its slaves with pvm_kill: each slave kept its phases
    // numbered from 1 without a gap (each once: the key allows no second copy), at
    // least those it had reported before the kill (exactly those when it was waiting
    // then), with its totals, its process row and its clock offsets, and ended.
    void CheckKilledRun(const ClusterRun& run, bool exactly) {
        ASSERT_EQ(run.status, 0) << run.output;
        const auto experiment = NumbersAfter(run.output, "probetask: experiment (\\d+)");
        ASSERT_EQ(experiment.size(), 1u) << run.output;
        const std::string expID = Str(experiment[0]);
        const auto killed = NumbersAfter(run.output, "killing slave (\\d+) after");
        const auto reported = NumbersAfter(run.output, "killing slave \\d+ after (\\d+) phases");
        ASSERT_EQ(killed.size(), 2u) << run.output;
        for (std::size_t i = 0; i < killed.size(); ++i) {
            const std::string slave = Str(killed[i]);
            EXPECT_NE(run.output.find("probetask: slave " + slave + " ended\n"), std::string::npos) << run.output;
            const auto phases = SelectRows(*mDb, "SELECT COUNT(*) AS n, MIN(nbr) AS first, MAX(nbr) AS last FROM "
                                                 "Phases WHERE expID = " +
                                                     expID + " AND processID = " + slave);
            const long long count = std::atoll(phases[0].at("n").c_str());
            EXPECT_EQ(phases[0].at("first"), "1") << "slave " << slave;
            EXPECT_EQ(phases[0].at("last"), Str(count)) << "slave " << slave;
            if (exactly)
                EXPECT_EQ(count, reported[i]) << "slave " << slave;
            else
                EXPECT_GT(count, reported[i] + 1000) << "slave " << slave << ": no phases after the report";
            EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Processes WHERE expID = " + expID + " AND ID = " + slave),
                      1);
            EXPECT_EQ(
                SelectNumber(*mDb, "SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + expID + " AND processID = " + slave),
                1);
        }
        EXPECT_EQ(run.pvmLog.find("not killed"), std::string::npos) << run.pvmLog;
        CheckTotals(static_cast<int>(experiment[0]));
    }

    std::unique_ptr<StandardDatabase> mDb;
    std::string mApp;
    std::vector<int> mRunExperiments;
};

namespace {

// Every host of the virtual cluster runs on this machine's clock, so each true offset
// is 0: a measured offset lies within its bound, and the bound is that of a real
// round trip (PVM's daemons answer within milliseconds).
void CheckOffsetsWithinBounds(const Row& row) {
    for (const char* which : {"start", "end"}) {
        const long long offset = std::atoll(row.at(std::string(which) + "Offset").c_str());
        const long long bound = std::atoll(row.at(std::string(which) + "Bound").c_str());
        EXPECT_GT(bound, 0) << which << " of process " << row.at("processID");
        EXPECT_LT(bound, 50000) << which << " of process " << row.at("processID");
        EXPECT_LE(std::llabs(offset), bound) << which << " of process " << row.at("processID");
    }
}

}  // namespace

TEST_F(ProbeCluster, MasterAndTwoSlavesOnThreeHostsStoreOneExperiment) {
    const ClusterRun run = Run(3, "-a " + mApp);
    ASSERT_EQ(run.status, 0) << run.output;
    const int expID = CheckStoredRun(run, GetUserID());
    // Process rows at construction and phases in batches reach the database while running.
    EXPECT_NE(run.output.find("probetask: stored while running: processes 3 phases "), std::string::npos);
    EXPECT_GT(NumbersAfter(run.output, "stored while running: processes 3 phases (\\d+)").at(0), 0);
    EXPECT_NE(run.output.find(" *** KOVA Instrumentation: experiment " + Str(expID) + " written to database \n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Failed to synchronise"), std::string::npos) << run.output;

    // A slave's first phase is its wait for the master's first message, which was
    // sent right after the slave was announced: the probe's own set-up (clock
    // synchronisation, process row) is not in it.
    const std::regex firstWait("probetask: process (\\d+) measured \\d+ us in \\d+ phases, first wait (\\d+) us");
    int slaves = 0;
    for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), firstWait); it != std::sregex_iterator();
         ++it, ++slaves) {
        const long long phase = SelectNumber(*mDb, "SELECT duration FROM Phases WHERE expID = " + Str(expID) +
                                                       " AND processID = " + (*it)[1].str() + " AND nbr = 1");
        const long long waited = std::atoll((*it)[2].str().c_str());
        EXPECT_GE(phase, waited) << "process " << (*it)[1];
        EXPECT_LT(phase - waited, 1000) << "process " << (*it)[1] << ": the first phase holds the probe's set-up";
    }
    EXPECT_EQ(slaves, 2) << run.output;
}

TEST_F(ProbeCluster, SlavesEndedByPvmKillInALongPhaseKeepTheirPhasesAndTotals) {
    CheckKilledRun(Run(3, "-a " + mApp + " -k long"), true);
}

TEST_F(ProbeCluster, SlavesEndedByPvmKillWhileEndingPhasesKeepTheirPhasesAndTotals) {
    CheckKilledRun(Run(3, "-a " + mApp + " -k busy"), false);
}

TEST_F(ProbeCluster, SlavesStoreTheirClockOffsetsToTheMasterAtStartAndEnd) {
    // One slave on node2, one on node1 beside the master.
    const ClusterRun run = Run(2, "-a " + mApp + " -l");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto experiment = NumbersAfter(run.output, "probetask: experiment (\\d+)");
    ASSERT_EQ(experiment.size(), 1u) << run.output;
    const auto rows = SelectRows(*mDb,
                                 "SELECT p.processor, o.* FROM ClockOffsets o JOIN Processes p ON p.expID = o.expID "
                                 "AND p.ID = o.processID WHERE o.expID = " +
                                     Str(experiment[0]) + " ORDER BY p.processor");
    // The master's clock is the reference: it stores no offsets.
    ASSERT_EQ(rows.size(), 2u) << run.output;
    std::map<std::string, long long> measured;
    const std::regex report("probetask: process (\\d+) measured (\\d+) us");
    for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), report); it != std::sregex_iterator();
         ++it)
        measured[(*it)[1]] = std::atoll((*it)[2].str().c_str());
    for (const Row& row : rows) {
        // Measured at the end of Stop, after the slave reported its time.
        const long long endTime = std::atoll(row.at("endTime").c_str());
        ASSERT_EQ(measured.count(row.at("processID")), 1u) << run.output;
        EXPECT_GE(endTime, measured[row.at("processID")]) << row.at("processor");
        EXPECT_LT(endTime - measured[row.at("processID")], 2000000) << row.at("processor");
    }
    EXPECT_EQ(rows[0].at("processor"), "node1");
    EXPECT_EQ(rows[0].at("startOffset"), "0");
    EXPECT_EQ(rows[0].at("endOffset"), "0");
    // node2's clock is this machine's: PVM measures an offset of a few milliseconds at most.
    EXPECT_EQ(rows[1].at("processor"), "node2");
    CheckOffsetsWithinBounds(rows[1]);
    EXPECT_EQ(rows[0].at("startBound"), "0");
    EXPECT_EQ(rows[0].at("endBound"), "0");
}

TEST_F(ProbeCluster, ClockOffsetsUnderLoadStayWithinTheirBounds) {
    std::unique_ptr<BusyLoops> load = std::make_unique<BusyLoops>(2);
    const ClusterRun run = Run(3, "-a " + mApp);
    load.reset();
    ASSERT_EQ(run.status, 0) << run.output;
    const auto experiment = NumbersAfter(run.output, "probetask: experiment (\\d+)");
    ASSERT_EQ(experiment.size(), 1u) << run.output;
    const auto rows = SelectRows(*mDb, "SELECT * FROM ClockOffsets WHERE expID = " + Str(experiment[0]));
    ASSERT_EQ(rows.size(), 2u);
    for (const Row& row : rows) CheckOffsetsWithinBounds(row);
}

TEST_F(ProbeCluster, UnannouncedSlaveGivesUpAfterItsWait) {
    const ClusterRun run = Run(2, "-a " + mApp + " -u -t 2");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::regex report(
        "\\[t\\w+\\]  \\*\\*\\* Error with KOVAInstrumentation!!\n"
        "\\[t\\w+\\]  \\*\\*\\*  The KOVA function SlaveIsSpawned\\(\\) is not called for this process, this should be "
        "done by its parent.\n"
        "\\[t\\w+\\]  \\*\\*\\*  Or the measuring is not activated for the parent \n"
        "\\[t\\w+\\] error in KOVAProbe constructor of slave \n");
    EXPECT_TRUE(std::regex_search(run.output, report)) << run.output;
    const auto waited = NumbersAfter(run.output, "slave ended after (\\d+) ms");
    ASSERT_EQ(waited.size(), 1u) << run.output;
    EXPECT_GE(waited[0], 2000);
    EXPECT_LT(waited[0], 10000);
}

TEST_F(ProbeCluster, SlaveProbeWithoutParentEnds) {
    const ClusterRun run = Run(1, "-S");
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_NE(run.output.find(" *** Error with KOVAInstrumentation!!\n ***  you called the slave KOVAProbe "
                              "constructor for a master\nerror in KOVAProbe constructor of slave \n"),
              std::string::npos)
        << run.output;
}

TEST_F(ProbeCluster, EarlierFormWritesEverythingAtStop) {
    const ClusterRun run = Run(3, "-a " + mApp + " -e", "", "env USER=kovatester");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("probetask: stored while running: processes 0 phases 0\n"), std::string::npos)
        << run.output;
    CheckStoredRun(run, "kovatester");
    // Even a sequential run enrols in PVM there, so its process is numbered by its tid.
    const auto sequential = NumbersAfter(run.output, "sequential experiment (\\d+) process");
    const auto tid = NumbersAfter(run.output, "sequential experiment \\d+ process (\\d+)");
    ASSERT_EQ(sequential.size(), 1u) << run.output;
    EXPECT_GT(tid.at(0), 0);
    const auto rows = SelectRows(*mDb, "SELECT ID, pvmTid FROM Processes WHERE expID = " + Str(sequential[0]));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("ID"), Str(tid[0]));
}

TEST_F(ProbeCluster, EarlierFormTexts) {
    // A stored faster experiment of the same configuration: the new one is not kept.
    Experiment faster("", "kovatester", DateTime(), "", 3, 100);
    faster.mName = mApp;
    faster.mTp = 1;
    faster.mStatusData = Experiment::EXP_FINISHED;
    *mDb << faster;
    const ClusterRun slower = Run(3, "-a " + mApp + " -e -r f", "", "env USER=kovatester");
    ASSERT_EQ(slower.status, 0) << slower.output;
    EXPECT_NE(slower.output.find(" *** KOVA Instrumentation: experiment is NOT written to database, because it was "
                                 "slower than similar experiments\n"),
              std::string::npos)
        << slower.output;

    const ClusterRun asked = Run(3, "-a " + mApp + " -e -r a", "x\nn\n", "env USER=kovatester");
    ASSERT_EQ(asked.status, 0) << asked.output;
    EXPECT_NE(asked.output.find(" *** r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n (DO_NO_REPLACE_EXP)\n"),
              std::string::npos)
        << asked.output;
    EXPECT_NE(asked.output.find(" *** Please answer with: r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n "
                                "(DO_NO_REPLACE_EXP)\n"),
              std::string::npos);

    const ClusterRun unannounced = Run(2, "-a " + mApp + " -u -e");
    EXPECT_NE(unannounced.output.find(" ***  Or the measureming is not activated for the parent \n"),
              std::string::npos)
        << unannounced.output;
    const auto waited = NumbersAfter(unannounced.output, "slave ended after (\\d+) ms");
    ASSERT_EQ(waited.size(), 1u) << unannounced.output;
    EXPECT_GE(waited[0], 2000);
    EXPECT_LT(waited[0], 10000);
}
