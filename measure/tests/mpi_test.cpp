// kova measure of unmodified MPI programs: small programs of known answers
// (the README's farm with wildcard receives, a ring of non-blocking calls in C and Fortran,
// collectives with one late rank) built with Open MPI's and MPICH's compilers and
// run through their launchers on this host and across the virtual cluster, and
// Debian's hpcc; what they print, how they end and what is stored. Also the
// launcher's command as kova builds it.
#include "measure/tests/measured_run.h"
#include "apps/kova/mpi_launch.h"
#include "measure/mpi_names.h"

#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string KOVA = ShellQuoted(std::string(KOVA_BIN_DIR) + "/kova");
const std::string RSH = ShellQuoted(std::string(KOVA_SCRIPTS_DIR) + "/vcluster-rsh.sh");
// Open MPI refuses root unless told; the tests' machines run them as root.
const std::string ROOT_ALLOWED = "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 ";
// Open MPI on this host's cores and on the cluster's hosts, all on loopback
// addresses, yielding the processor while it waits.
const std::string OPEN_MPI_HERE = "mpirun --oversubscribe --mca mpi_yield_when_idle 1 ";
const std::string OPEN_MPI_CLUSTER = "mpirun --mca plm_rsh_agent " + RSH +
                                     " --mca oob_tcp_if_include lo --mca btl_tcp_if_include lo "
                                     "--mca mpi_yield_when_idle 1 --host node1,node2,node3 ";
const std::string MPICH_CLUSTER = "mpiexec.mpich -launcher rsh -launcher-exec " + RSH + " -hosts node1,node2,node3 ";

// The test programs, built once with each MPI's compilers, unchanged, into a
// folder every host of a virtual cluster sees.
const fs::path& Programs() {
    static ScratchFolder folder("mpi-programs");
    static bool built = false;
    if (!built) {
        built = true;
        const std::string sources = ShellQuoted(KOVA_MPI_PROGRAMS_DIR);
        Build(folder.path(), "cp " + ShellQuoted(KOVA_EXAMPLES_DIR) + "/mpi_farm.c " + sources + "/*.c " +
                                 sources + "/*.f90 . && for p in mpi_farm ring collectives; do "
                                 "mpicc.openmpi -o $p $p.c && mpicc.mpich -o $p.mpich $p.c || exit; done && "
                                 "mpif90.openmpi -o fring fring.f90 && mpif90.mpich -o fring.mpich fring.f90");
    }
    return folder.path();
}

// kova measure of an MPI launch on this host, with no PVM virtual machine to be
// found (PVM_TMP is an empty folder).
CommandResult MeasureHere(const std::string& launch) {
    static ScratchFolder noDaemon("no-pvmd", ScratchFolder::SystemTemp);
    return RunCommand("cd " + ShellQuoted(Programs().string()) + " && PVM_TMP=" +
                          ShellQuoted(noDaemon.path().string()) + " " + ROOT_ALLOWED + KOVA + " measure -- " + launch,
                      ErrorStream::Apart);
}

ClusterRun MeasureOnCluster(const std::string& launch) {
    ClusterOptions options;
    options.binFolder = options.workingFolder = Programs();
    return RunOnCluster(3, ROOT_ALLOWED + KOVA + " measure -- " + launch, options);
}

std::string Where(int id, const std::string& condition) {
    return " FROM Phases p JOIN PhaseDetails d USING (expID, processID, nbr) WHERE p.expID = " +
           std::to_string(id) + " AND " + condition;
}

long long Count(int id, const std::string& condition) { return Number("SELECT COUNT(*)" + Where(id, condition)); }

// The duration of each rank's sync phase of a collective, by rank.
std::vector<long long> CollectiveTimes(int id, const std::string& collective, int ranks) {
    std::vector<long long> times;
    for (int rank = 0; rank < ranks; ++rank)
        times.push_back(Number("SELECT p.duration" + Where(id, "p.processID = " + std::to_string(rank) +
                                                               " AND d.collective = '" + collective + "'")));
    return times;
}

// Every receive is preceded by its wait.
void ExpectWaitBeforeEveryReceive(int id) {
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + std::to_string(id) +
                     " AND typeID = 6 AND NOT EXISTS (SELECT 1 FROM Phases i WHERE i.expID = Phases.expID AND "
                     "i.processID = Phases.processID AND i.nbr = Phases.nbr - 1 AND i.typeID = 2)"),
              0);
}

// The clocks of the cluster's hosts are this machine's one: every measured
// offset lies within its bound of 0.
void ExpectOffsetsWithinBounds(int id, int rowsAtLeast) {
    const std::string exp = std::to_string(id);
    EXPECT_GE(Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp + " AND startBound > 0"), rowsAtLeast);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp +
                     " AND (ABS(startOffset) > startBound OR ABS(endOffset) > endBound)"),
              0);
}

// Rank 0 ends last, so no rank's phases end after Tp; the path runs on the
// repaired clock, which may move receives that seem early by the microseconds of
// rounding later, each by at most the largest repair.
void ExpectCriticalPathWithinTp(int id) {
    const nlohmann::json summary = Analysed(id);
    const nlohmann::json& messages = summary["messages"];
    const long long repairs = messages["repaired"].get<long long>() * messages["largestRepair"].get<long long>();
    EXPECT_LE(summary["criticalPath"]["length"].get<long long>(), summary["Tp"].get<long long>() + repairs)
        << summary.dump(1);
}

// On the stored clocks (each rank's start and phase ends, to the microsecond), no
// receive of a message that the analysis matched ends before its send began, but
// for the microseconds of rounding and the error bounds of the two ranks' clock
// offsets.
void ExpectNoReceiveBeforeItsSend(int id) {
    const std::string exp = std::to_string(id);
    EXPECT_EQ(Number("WITH t AS (SELECT p.processID, p.nbr, p.duration, SUM(p.duration) OVER (PARTITION BY "
                     "p.processID ORDER BY p.nbr) + r.startTimeSec * 1000000 + r.startTimeMicroSec AS ending FROM "
                     "Phases p JOIN Processes r ON r.expID = p.expID AND r.ID = p.processID WHERE p.expID = " + exp +
                     ") SELECT COUNT(*) FROM Messages m JOIN t s ON s.processID = m.sendProcessID AND s.nbr = "
                     "m.sendNbr JOIN t r ON r.processID = m.recvProcessID AND r.nbr = m.recvNbr "
                     "LEFT JOIN ClockOffsets cs ON cs.expID = m.expID AND cs.processID = m.sendProcessID "
                     "LEFT JOIN ClockOffsets cr ON cr.expID = m.expID AND cr.processID = m.recvProcessID "
                     "WHERE m.expID = " + exp + " AND r.ending < s.ending - s.duration - 2 - "
                     "COALESCE(GREATEST(cs.startBound, cs.endBound), 0) - COALESCE(GREATEST(cr.startBound, cr.endBound), 0)"),
              0);
}

}  // namespace

TEST(MeasureMpi, FarmWithWildcardReceivesIsMeasuredWithTheRealSourcesAndNoVirtualMachine) {
    const CommandResult run = MeasureHere(OPEN_MPI_HERE + "-np 4 ./mpi_farm 20");
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_EQ(run.output, "mpi_farm: sum of squares of 1..20 = 2870\n");
    EXPECT_NE(run.errors.find("(mpi_farm, p=4, W=0)"), std::string::npos) << run.errors;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    const std::string exp = std::to_string(id);
    // Each rank is a process whose tid is its world rank.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp + " AND pvmTid = ID AND ID BETWEEN 0 AND 3"),
              4);
    // The master's 20 wildcard receives name their real sources, the workers'
    // receives (20 numbers, 3 stops) rank 0 with any tag.
    EXPECT_EQ(Count(id, "p.processID = 0 AND p.typeID = 6 AND d.askedSource = -1 AND d.askedTag = -1 AND "
                        "p.commPartnerTid BETWEEN 1 AND 3 AND p.nbrQuantums = 2 AND d.bytes = 8"),
              20);
    EXPECT_EQ(Count(id, "p.processID > 0 AND p.typeID = 6 AND d.askedSource = 0 AND d.askedTag = -1 AND "
                        "p.commPartnerTid = 0"),
              23);
    EXPECT_EQ(Count(id, "p.processID = 0 AND p.typeID = 5 AND p.nbrQuantums = 3 AND d.bytes = 0"), 3);
    ExpectWaitBeforeEveryReceive(id);
    ExpectEveryMessageMatched(id, 43);
    ExpectCriticalPathWithinTp(id);
}

TEST(MeasureMpi, RingOfNonBlockingCallsOfMpichIsMeasuredWithEveryMessageMatched) {
    const CommandResult run = MeasureHere("mpiexec.mpich -n 3 ./ring.mpich");
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_EQ(run.output, "ring: 3 ranks, 3 rounds, total 9\n");
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    // Each round a send to the right neighbour and a receive from the left one,
    // with the round as tag, each receive asked for its source and tag.
    for (int rank = 0; rank < 3; ++rank) {
        const std::string who = "p.processID = " + std::to_string(rank);
        EXPECT_EQ(Count(id, who + " AND p.typeID = 5 AND p.commPartnerTid = " + std::to_string((rank + 1) % 3) +
                                " AND d.bytes = 8"),
                  3);
        EXPECT_EQ(Count(id, who + " AND p.typeID = 6 AND p.commPartnerTid = " + std::to_string((rank + 2) % 3) +
                                " AND d.askedSource = p.commPartnerTid AND d.askedTag = p.nbrQuantums"),
                  3);
        EXPECT_EQ(Count(id, who + " AND d.collective = 'reduce' AND d.root = 0 AND d.groupName = 'MPI_COMM_WORLD' "
                                  "AND d.instance = 0"),
                  1);
    }
    ExpectWaitBeforeEveryReceive(id);
    ExpectEveryMessageMatched(id, 9);
}

TEST(MeasureMpi, FortranRingOfOpenMpiIsMeasuredThroughItsFortranCalls) {
    const CommandResult run = MeasureHere(OPEN_MPI_HERE + "-np 3 ./fring");
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_EQ(run.output, "fring: 3 ranks, total 9\n");
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    EXPECT_EQ(Count(id, "p.typeID = 5"), 9);
    EXPECT_EQ(Count(id, "d.collective = 'barrier' AND d.instance = 1"), 3);
    EXPECT_EQ(Count(id, "d.collective = 'reduce' AND d.instance = 0 AND d.root = 0"), 3);
    ExpectEveryMessageMatched(id, 9);
}

TEST(MeasureMpiOnCluster, CollectivesWithOneLateRankShowWhoWaitedAcrossHosts) {
    constexpr int kLateMs = 300;
    const ClusterRun run = MeasureOnCluster(OPEN_MPI_CLUSTER + "-np 3 ./collectives " + std::to_string(kLateMs));
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const std::vector<std::string> lines = run.outputLines();
    EXPECT_TRUE(HasLine(lines, "collectives: reduce 6, bcast 42")) << run.output;
    EXPECT_TRUE(HasLine(lines, "collectives: rank 1 half 1 sum 1")) << run.output;
    EXPECT_TRUE(HasLine(lines, "collectives: rank 2 half 0 sum 2")) << run.output;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    const std::string exp = std::to_string(id);
    EXPECT_EQ(Number("SELECT COUNT(DISTINCT processor) FROM Processes WHERE expID = " + exp +
                     " AND processor IN ('node1', 'node2', 'node3')"),
              3);
    ExpectOffsetsWithinBounds(id, 2);

    // Every member names the same communicator and instance for the same
    // collective; the halves' communicators have names of their own.
    EXPECT_EQ(Count(id, "d.groupName = 'MPI_COMM_WORLD' AND ((d.collective = 'barrier' AND d.instance = 0 AND "
                        "d.root = -1) OR (d.collective = 'reduce' AND d.instance = 1 AND d.root = 0) OR "
                        "(d.collective = 'bcast' AND d.instance = 2 AND d.root = 0))"),
              9);
    EXPECT_EQ(Count(id, "d.collective = 'allreduce' AND d.instance = 0 AND d.groupName = "
                        "CONCAT('MPI_COMM_WORLD/0:', p.processID % 2)"),
              3);
    // The late rank (2) is waited for at the barrier and by the reduction's root;
    // the late root (0) by everyone at the broadcast.
    const long long late = kLateMs * 1000LL * 8 / 10;
    const std::vector<long long> barrier = CollectiveTimes(id, "barrier", 3);
    EXPECT_GE(barrier[0], late);
    EXPECT_GE(barrier[1], late);
    EXPECT_LT(barrier[2], late);
    EXPECT_GE(CollectiveTimes(id, "reduce", 3)[0], late);
    const std::vector<long long> bcast = CollectiveTimes(id, "bcast", 3);
    EXPECT_LT(bcast[0], late);
    EXPECT_GE(bcast[1], late);
    EXPECT_GE(bcast[2], late);
    // The sends of MPI_Sendrecv in the halves' communicators go to world ranks.
    EXPECT_EQ(Count(id, "p.typeID = 5 AND p.commPartnerTid = p.processID"), 1);
    ExpectEveryMessageMatched(id, 3);
    ExpectNoReceiveBeforeItsSend(id);
    ExpectCriticalPathWithinTp(id);
    // The analysis finds each wait with the rank that caused it.
    auto waits = [&](const std::string& pattern, const std::string& where) {
        return Number("SELECT COUNT(*) FROM WaitStates WHERE expID = " + exp + " AND pattern = '" + pattern +
                      "' AND waitTime >= " + std::to_string(late) + " AND " + where);
    };
    EXPECT_EQ(waits("wait_at_barrier", "processID IN (0, 1) AND causeProcessID = 2"), 2);
    EXPECT_EQ(waits("early_reduce", "processID = 0 AND causeProcessID = 2"), 1);
    EXPECT_EQ(waits("late_broadcast", "processID IN (1, 2) AND causeProcessID = 0"), 2);
}

TEST(MeasureMpiOnCluster, FortranRingOfMpichAcrossHostsHasEveryMessageMatched) {
    const ClusterRun run = MeasureOnCluster(MPICH_CLUSTER + "-n 3 ./fring.mpich");
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_EQ(run.output, "fring: 3 ranks, total 9\n");
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    EXPECT_EQ(Number("SELECT COUNT(DISTINCT processor) FROM Processes WHERE expID = " + std::to_string(id)), 3);
    ExpectOffsetsWithinBounds(id, 2);
    ExpectEveryMessageMatched(id, 9);
}

TEST(MeasureMpi, HpccRunsAsPlainWithEveryMessageMatched) {
    ScratchFolder work("hpcc");
    // The example input with a small problem (N = 200).
    Build(work.path(), "zcat -f /usr/share/doc/hpcc/examples/_hpccinf.txt | sed '6s/^[0-9]* /200 /' > hpccinf.txt");
    const CommandResult run = RunCommand("cd " + ShellQuoted(work.path().string()) + " && " + ROOT_ALLOWED + KOVA +
                                             " measure -- " + OPEN_MPI_HERE + "-np 4 hpcc",
                                         ErrorStream::Apart);
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const std::string results = ReadFile(work.path() / "hpccoutf.txt");
    EXPECT_NE(results.find("End of HPC Challenge tests."), std::string::npos) << results;
    EXPECT_EQ(results.find("FAILED"), std::string::npos) << results;
    EXPECT_NE(results.find("0 tests completed and failed residual checks."), std::string::npos) << results;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    const long long messages = Number("SELECT COUNT(*) FROM Phases WHERE typeID = 6 AND expID = " + std::to_string(id));
    EXPECT_GT(messages, 1000);
    const nlohmann::json summary = Analysed(id);
    EXPECT_EQ(summary["messages"]["received"], messages) << summary.dump(1);
    EXPECT_EQ(summary["messages"]["unreceived"], 0);
    for (const auto& problem : summary["problems"])
        EXPECT_EQ(problem.get<std::string>().find("have no send to match"), std::string::npos) << problem;
    ExpectNoReceiveBeforeItsSend(id);
    ExpectCriticalPathWithinTp(id);
}

TEST(MeasureMpiBadInput, LauncherOfAProgramWithoutMpiRunsItAndMeasuresNothing) {
    const CommandResult run = MeasureHere(OPEN_MPI_HERE + "-np 2 echo hello");
    EXPECT_EQ(run.status, 3) << run.errors;
    EXPECT_EQ(run.output, "hello\nhello\n");
    EXPECT_NE(run.errors.find("kova measure: " + std::string("mpirun") +
                              " started no rank that called MPI_Init of a shared MPI library, so nothing was measured"),
              std::string::npos)
        << run.errors;
}

TEST(MpiLaunch, SettingsGoToEveryRankAfterTheLaunchersWordAndTheLauncherKeepsItsPreload) {
    const std::vector<std::string> command = {"mpirun", "-np", "4", "./farm", "20"};
    std::vector<std::string> environment = {"KOVA_MEASURE_EXPERIMENT=7", "LD_PRELOAD=/lib/libkova_mpi.so:/x.so",
                                            "PATH=/bin"};
    const char* own = std::getenv("LD_PRELOAD");
    EXPECT_EQ(MeasuredLaunch(Mpi::kOpenMpi, command, environment),
              (std::vector<std::string>{"mpirun", "-x", "KOVA_MEASURE_EXPERIMENT=7", "-x",
                                        "LD_PRELOAD=/lib/libkova_mpi.so:/x.so", "-np", "4", "./farm", "20"}));
    std::vector<std::string> expected = {"KOVA_MEASURE_EXPERIMENT=7", "PATH=/bin"};
    if (own != nullptr) expected.push_back(std::string("LD_PRELOAD=") + own);
    EXPECT_EQ(environment, expected);
    std::vector<std::string> mpich = {"KOVA_DB_PORT=3307", "LD_PRELOAD=/lib/libkova_mpi.so"};
    EXPECT_EQ(MeasuredLaunch(Mpi::kMpich, {"mpiexec", "-n", "2", "ring"}, mpich),
              (std::vector<std::string>{"mpiexec", "-genv", "KOVA_DB_PORT", "3307", "-genv", "LD_PRELOAD",
                                        "/lib/libkova_mpi.so", "-n", "2", "ring"}));
}

TEST(MpiLaunch, LaunchersAreToldApartAndTheProgramIsFoundPastTheOptionValues) {
    EXPECT_EQ(LauncherOf("/usr/bin/mpirun.openmpi"), Mpi::kOpenMpi);
    EXPECT_EQ(LauncherOf("/usr/bin/mpiexec.mpich"), Mpi::kMpich);
    EXPECT_EQ(LauncherOf("/usr/bin/mpiexec.hydra"), Mpi::kMpich);
    EXPECT_EQ(LauncherOf("/usr/bin/gcc"), Mpi::kNone);
    const std::set<std::string> programs = {"./farm", "hpcc"};
    auto isProgram = [&](const std::string& word) { return programs.count(word) > 0; };
    EXPECT_EQ(LaunchedProgram({"mpirun", "--mca", "plm_rsh_agent", "hpcc", "-x", "hpcc", "--oversubscribe",
                               "./farm", "hpcc"},
                              isProgram),
              "farm");
    EXPECT_EQ(LaunchedProgram({"mpiexec", "-n", "2", "-genv", "A", "B", "hpcc"}, isProgram), "hpcc");
    EXPECT_EQ(LaunchedProgram({"mpirun", "-np", "2", "true"}, isProgram), "");
}

TEST(MpiCommunicators, ChildNamesAreTheSameOnEveryMemberAndFitTheColumn) {
    EXPECT_EQ(ChildCommunicatorName("MPI_COMM_WORLD", 0, 1), "MPI_COMM_WORLD/0:1");
    std::string deep = "MPI_COMM_WORLD";
    for (int level = 0; level < 12; ++level) deep = ChildCommunicatorName(deep, level, 100 + level);
    EXPECT_LE(deep.size(), 64U);
    EXPECT_EQ(deep.rfind("comm-", 0), 0U) << deep;
    std::string again = "MPI_COMM_WORLD";
    for (int level = 0; level < 12; ++level) again = ChildCommunicatorName(again, level, 100 + level);
    EXPECT_EQ(deep, again);
    EXPECT_NE(ChildCommunicatorName(deep, 0, 1), ChildCommunicatorName(deep, 0, 2));
}
