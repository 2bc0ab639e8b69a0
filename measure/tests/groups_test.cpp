// kova measure and PVM's group library, the PVM console and PVM's own indirect
// calls, as a user meets them: PVM's group examples and an SPMD program of
// barriers and a reduction, measured unmodified on the virtual cluster, print and
// end as they do plain, store their own tasks only (never the group server), and
// store every collective with its group, instance and root and every receive
// with what it asked for; the preloaded library shows only PVM's entry points.
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string KOVA = std::string(KOVA_BIN_DIR) + "/kova";

// Runs the shell commands in folder; a failure fails the test with their output.
void Build(const fs::path& folder, const std::string& commands) {
    const CommandResult built = RunCommand("cd " + ShellQuoted(folder.string()) + " && " + commands);
    ASSERT_EQ(built.status, 0) << commands << "\n" << built.output;
}

// PVM's group examples (frsg in Fortran), the examples hello, hello_other, spmd
// and starter, all built unchanged from pvm-examples' sources (as the C of their
// time: starter calls exit()), and the SPMD program of this folder, in one
// folder that is PVM's executable path of every run here.
const fs::path& Programs() {
    static ScratchFolder folder("pvm-group-programs");
    static bool built = false;
    if (!built) {
        built = true;
        Build(folder.path(),
              "tar xzf /usr/share/doc/pvm-examples/gexamples.tar.gz && "
              "tar xzf /usr/share/doc/pvm-examples/examples.tar.gz && "
              "for p in gexamples/gexamp gexamples/thb gexamples/tnb gexamples/trsg gexamples/tst examples/hello "
              "examples/hello_other examples/spmd examples/starter; do "
              "gcc -w -std=gnu89 -fno-builtin -o ${p#*/} $p.c -lgpvm3 -lpvm3 || exit; done && "
              // The same gexamp with the group library linked in, not shared.
              "gcc -w -o gexamp_static gexamples/gexamp.c /usr/lib/x86_64-linux-gnu/libgpvm3.a -lpvm3 && "
              // frsg passes REAL*8 and INTEGER*4 arrays to the same reduction.
              "mkdir -p include && cp /usr/include/fpvm3.h include/ && gfortran -w -fallow-argument-mismatch "
              "-o frsg gexamples/frsg.f -lfpvm3 -lgpvm3 -lpvm3 && "
              "gcc -Wall -Wextra -Werror -o barriers_spmd " KOVA_MEASURE_TESTS_DIR "/barriers_spmd.c -lgpvm3 -lpvm3 && "
              // The group library starts its server from PVM's executable path.
              "ln -s /usr/bin/pvmgs pvmgs");
    }
    return folder.path();
}

ClusterRun OnCluster(const std::string& commandLine, const std::string& input = "") {
    ClusterOptions options;
    options.binFolder = options.workingFolder = Programs();
    options.input = input;
    return RunOnCluster(3, commandLine, options);
}

// The experiment that kova measure reports as stored, or -1.
int StoredExperiment(const std::string& errors) {
    std::smatch found;
    static const std::regex stored("kova measure: experiment ([0-9]+) stored");
    return std::regex_search(errors, found, stored) ? std::stoi(found[1]) : -1;
}

long long Number(const std::string& query) {
    auto db = ConnectToMeasurementDb();
    return SelectNumber(*db, query);
}

// A text with every PVM task identifier (t40001, 0x40001, 262145) replaced.
std::string WithoutTids(const std::string& text) {
    return std::regex_replace(text, std::regex("\\b(t|0x)?[0-9a-f]{5,}\\b"), "TID");
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The lines of a text without task identifiers, in any order: the output of
// tasks that print at the same time.
std::string AnyOrderWithoutTids(const std::string& text) {
    std::string lines;
    for (const std::string& line : SortedLines(WithoutTids(text))) lines += line + "\n";
    return lines;
}

// The PVM console's output in any order, without task identifiers and without the
// console's prompts, which come before whatever line of the tasks' reaches the
// terminal next.
std::string ConsoleOutput(const std::string& text) {
    return AnyOrderWithoutTids(std::regex_replace(text, std::regex("(^|\n)(pvm> )+"), "$1"));
}

// How a program is run, plain and measured alike, and what of its standard output
// must be the same.
struct Invocation {
    // Its standard input, or a shell command whose output is piped into it.
    std::string input;
    std::string feeder;
    int status = 0;
    // What no run changes of the output (all of it unless set).
    std::function<std::string(const std::string&)> comparable = [](const std::string& text) { return text; };
    // A text the plain output must hold, so that the comparison means something.
    std::string sign;
};

// A program run plain and under kova measure on fresh clusters: both print the
// same and end with the same status, and the measured run stores one experiment,
// whose number it returns (-1 otherwise).
int MeasuredAsPlain(const std::string& commandLine, const Invocation& how = Invocation()) {
    const std::string feeder = how.feeder.empty() ? "" : how.feeder + " | ";
    const ClusterRun plain = OnCluster(feeder + commandLine, how.input);
    EXPECT_EQ(plain.status, how.status) << commandLine << "\n" << plain.output << plain.errors << plain.clusterErrors;
    EXPECT_NE(plain.output.find(how.sign), std::string::npos) << plain.output;
    const ClusterRun measured = OnCluster(feeder + ShellQuoted(KOVA) + " measure -- " + commandLine, how.input);
    EXPECT_EQ(measured.status, how.status) << commandLine << "\n" << measured.errors << measured.clusterErrors;
    EXPECT_EQ(how.comparable(measured.output), how.comparable(plain.output)) << commandLine;
    // The group server, which goes on after the program, is never waited for.
    EXPECT_EQ(measured.errors.find("still runs"), std::string::npos) << measured.errors;
    const int id = StoredExperiment(measured.errors);
    EXPECT_GT(id, 0) << commandLine << "\n" << measured.errors;
    return id;
}

// The tid of the experiment's task that spawned the others.
std::string Spawner(int id) {
    return "(SELECT MIN(processID) FROM Phases WHERE expID = " + std::to_string(id) + " AND typeID = 7)";
}

// The tid of the process a phase p belongs to.
const std::string OWN_TID = "(SELECT pvmTid FROM Processes WHERE expID = p.expID AND ID = p.processID)";

const std::string DETAILS = " FROM Phases p JOIN PhaseDetails d ON d.expID = p.expID AND d.processID = p.processID "
                            "AND d.nbr = p.nbr WHERE p.expID = ";

// The experiment holds exactly the program's tasks, and none of its messages
// names a partner outside them (the group server above all).
void ExpectOnlyOwnTasks(int id, int tasks) {
    const std::string exp = std::to_string(id);
    EXPECT_EQ(Number("SELECT nbrProcesses FROM Experiments WHERE ID = " + exp), tasks) << exp;
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), tasks) << exp;
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp +
                     " AND typeID IN (5, 6) AND commPartnerTid NOT IN (SELECT pvmTid FROM Processes WHERE expID = " +
                     exp + ")"),
              0)
        << exp;
}

// kova analyse matches every one of the experiment's messages with its send and
// finds nothing wrong in what was stored but the problems given.
void ExpectMessagesMatched(int id, int messages, const std::vector<std::string>& problems = {}) {
    const CommandResult analysed = RunCommand(ShellQuoted(KOVA) + " analyse " + std::to_string(id) + " --json",
                                              ErrorStream::Apart);
    ASSERT_EQ(analysed.status, 0) << analysed.errors;
    const nlohmann::json summary = nlohmann::json::parse(analysed.output, nullptr, false);
    EXPECT_EQ(summary["messages"]["received"], messages) << summary["messages"];
    EXPECT_EQ(summary["messages"]["unreceived"], 0) << summary["messages"];
    EXPECT_EQ(summary["problems"], nlohmann::json(problems));
}

// How many sync phases of the experiment are collectives of that kind and group
// (at that instance unless it is -1).
long long Collectives(int id, const std::string& collective, const std::string& group, int instance = -1) {
    return Number("SELECT COUNT(*)" + DETAILS + std::to_string(id) + " AND p.typeID = 9 AND d.collective = '" +
                  collective + "' AND d.groupName = '" + group + "'" +
                  (instance >= 0 ? " AND d.instance = " + std::to_string(instance) : ""));
}

// The experiment's receives that asked for that source and tag (-1: any).
long long ReceivesAsking(int id, const std::string& source, int tag) {
    return Number("SELECT COUNT(*)" + DETAILS + std::to_string(id) + " AND p.typeID = 6 AND d.askedSource = " +
                  source + " AND d.askedTag = " + std::to_string(tag));
}

}  // namespace

TEST(MeasureGroups, OwnSpmdProgramStoresEveryBarrierOfEveryMemberAndWhoWasLate) {
    Invocation spmd;
    spmd.sign = "members 4 sum 10\n";
    const int id = MeasuredAsPlain("barriers_spmd 4", spmd);
    ASSERT_GT(id, 0);
    const std::string exp = std::to_string(id);
    ExpectOnlyOwnTasks(id, 4);
    // The group is frozen by every member: a sync phase of the group, no collective.
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND p.typeID = 9 AND d.groupName = 'barriers' AND "
                     "d.collective = '' AND d.instance = -1"),
              4);
    // Three barriers, each entered by every member with the same instance.
    for (int instance = 0; instance < 3; ++instance)
        EXPECT_EQ(Collectives(id, "barrier", "barriers", instance), 4) << instance;
    EXPECT_EQ(Collectives(id, "barrier", "barriers"), 12);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND d.collective = 'barrier' AND d.root <> -1"), 0);
    // The reduction is rooted at the first member, the master.
    EXPECT_EQ(Collectives(id, "reduce", "barriers", 0), 4);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND d.collective = 'reduce' AND d.root = " + Spawner(id)),
              4);
    // The master's multicast of the member count is each member's only message.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = 5"), 3);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = 6"), 3);
    EXPECT_EQ(ReceivesAsking(id, Spawner(id), 1), 3);
    ExpectMessagesMatched(id, 3);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND p.typeID IN (5, 6) AND d.bytes = 8"), 6);

    // At the second barrier the slow member, the master's last addressee, comes
    // 400 ms after the others: each of them waits most of that time, the
    // latecomer least of all.
    auto db = ConnectToMeasurementDb();
    const std::vector<Row> waits = SelectRows(*db, "SELECT p.processID, p.duration" + DETAILS + exp +
                                                       " AND d.collective = 'barrier' AND d.instance = 1 "
                                                       "ORDER BY p.duration");
    ASSERT_EQ(waits.size(), 4u);
    const long long slow = SelectNumber(
        *db, "SELECT ID FROM Processes WHERE expID = " + exp + " AND pvmTid = (SELECT commPartnerTid FROM Phases "
             "WHERE expID = " + exp + " AND typeID = 5 AND processID = " + Spawner(id) + " ORDER BY nbr DESC LIMIT 1)");
    EXPECT_EQ(std::stoll(waits[0].at("processID")), slow);
    EXPECT_LT(std::stoll(waits[0].at("duration")), 300000);
    for (std::size_t i = 1; i < waits.size(); ++i) EXPECT_GE(std::stoll(waits[i].at("duration")), 300000) << i;
}

TEST(MeasureGroups, GexampMembersBarrierAndBroadcastToEachOther) {
    const int id = MeasuredAsPlain("gexamp 4");
    ASSERT_GT(id, 0);
    const std::string exp = std::to_string(id);
    ExpectOnlyOwnTasks(id, 4);
    EXPECT_EQ(Collectives(id, "barrier", "gexamp", 0), 4);
    EXPECT_EQ(Collectives(id, "barrier", "gexamp", 1), 4);
    // Each member broadcasts once, as the root of its own broadcast, to the three
    // others, and takes the three others' with pvm_recv(-1, 63).
    EXPECT_EQ(Collectives(id, "bcast", "gexamp", 0), 4);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND d.collective = 'bcast' AND d.root = " + OWN_TID), 4);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = 5 AND nbrQuantums = 63"),
              12);
    EXPECT_EQ(ReceivesAsking(id, "-1", 63), 12);
    ExpectMessagesMatched(id, 12);
}

TEST(MeasureGroups, GroupLibraryLinkedInTalksToItsServerUnseenAndTheServerIsNotWaitedFor) {
    // No wrapper stands for the group calls of this gexamp: its barriers stay work,
    // its broadcasts are its multicasts, and the group library's own messages and
    // its spawn of the server are not the program's.
    const int id = MeasuredAsPlain("gexamp_static 4");
    ASSERT_GT(id, 0);
    const std::string exp = std::to_string(id);
    ExpectOnlyOwnTasks(id, 4);
    EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = 7"), 3);
    EXPECT_EQ(
        Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID IN (5, 6) AND nbrQuantums <> 63"), 0);
    ExpectMessagesMatched(id, 12);
}

TEST(MeasureGroups, ThbAndItsTnbChildrenMeetInOneOf32Groups) {
    Invocation thb;
    thb.sign = "done.";
    const int id = MeasuredAsPlain("thb 3", thb);
    ASSERT_GT(id, 0);
    ExpectOnlyOwnTasks(id, 4);
    // thb names the group it checked last.
    EXPECT_EQ(Collectives(id, "barrier", "group0", 0), 4);
    EXPECT_EQ(Collectives(id, "bcast", "group0", 0), 1);
    // Each child asks its parent for the group's name (tag 5), then for the
    // broadcast (tag 77).
    EXPECT_EQ(ReceivesAsking(id, Spawner(id), 5), 3);
    EXPECT_EQ(ReceivesAsking(id, Spawner(id), 77), 3);
    ExpectMessagesMatched(id, 6);
}

TEST(MeasureGroups, TrsgScattersGathersAndReducesAtItsRoot) {
    // trsg asks for the number of members and of elements, and always ends with 1.
    Invocation trsg;
    trsg.input = "4\n5\n";
    trsg.status = 1;
    trsg.sign = "Test OK: Sum of Squares of first 20 integers is 2870";
    const int id = MeasuredAsPlain("trsg", trsg);
    ASSERT_GT(id, 0);
    const std::string exp = std::to_string(id);
    ExpectOnlyOwnTasks(id, 4);
    EXPECT_EQ(Collectives(id, "scatter", "group_rsg", 0), 4);
    EXPECT_EQ(Collectives(id, "gather", "group_rsg", 0), 4);
    EXPECT_EQ(Collectives(id, "reduce", "group_rsg", 0), 4);
    EXPECT_EQ(Collectives(id, "reduce", "group_rsg", 1), 4);
    EXPECT_EQ(Collectives(id, "barrier", "group_rsg", 0), 4);
    EXPECT_EQ(Collectives(id, "bcast", "group_rsg", 0), 1);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + exp + " AND d.collective IN ('scatter', 'gather', 'reduce') "
                     "AND d.root = " + Spawner(id)),
              16);
    EXPECT_EQ(ReceivesAsking(id, "-1", 17), 3);
    ExpectMessagesMatched(id, 3, {"the experiment never finished"});
}

TEST(MeasureGroups, FortranFrsgReachesTheWrappersThroughPvmsFortranLibrary) {
    // frsg gathers from memory it never wrote, so its first sum differs from run
    // to run, plain or measured, and with it whether it says "Test OK" or "ERROR":
    // what must agree is its second sum.
    Invocation frsg;
    frsg.input = "4\n5\n";
    frsg.comparable = [](const std::string& text) {
        const std::string ok = std::regex_replace(
            text, std::regex("Test OK: Sum of Squares of first +[0-9]+ +integers is +([0-9-]+)"), "Sum2 = $1");
        return std::regex_replace(ok, std::regex("ERROR: The Sum of Squares of the first +[0-9]+ +integers / was "
                                                 "calculated by Sum1 as +\\S+ +and by Sum2 as +([0-9-]+) +for both "
                                                 "it should have been +[0-9-]+"),
                                  "Sum2 = $1");
    };
    frsg.sign = "Test Ok: Received";
    const int id = MeasuredAsPlain("frsg", frsg);
    ASSERT_GT(id, 0);
    ExpectOnlyOwnTasks(id, 4);
    for (const char* collective : {"scatter", "gather", "barrier"})
        EXPECT_EQ(Collectives(id, collective, "grp_frsg", 0), 4) << collective;
    EXPECT_EQ(Collectives(id, "reduce", "grp_frsg"), 8);
    EXPECT_EQ(Collectives(id, "bcast", "grp_frsg", 0), 1);
}

TEST(MeasureGroups, TstAloneIsTheOnlyProcessBesideTheGroupServer) {
    Invocation tst;
    tst.sign = "left prognosis 0, negative 0";
    const int id = MeasuredAsPlain("tst", tst);
    ASSERT_GT(id, 0);
    ExpectOnlyOwnTasks(id, 1);
}

TEST(MeasureWildcards, MasterThatOnlyReceivesFromAnyoneStoresWhatItAskedFor) {
    // hello receives its child's greeting with pvm_recv(-1, -1).
    Invocation hello;
    hello.comparable = WithoutTids;
    hello.sign = "hello, world from ";
    const int id = MeasuredAsPlain("hello", hello);
    ASSERT_GT(id, 0);
    ExpectOnlyOwnTasks(id, 2);
    EXPECT_EQ(ReceivesAsking(id, "-1", -1), 1);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + std::to_string(id) + " AND p.typeID = 6 AND d.bytes > 0"), 1);
}

TEST(MeasureConsole, SpmdTasksSpawnedTogetherFromTheConsolePrintAsPlainAndAreAllStored) {
    // The console reads its commands from standard input; the pause lets the
    // tasks' output reach it before it quits. spmd finds its ring with
    // pvm_siblings, whose own call of pvm_parent passes through.
    Invocation console;
    console.feeder = "(echo 'spawn -4 -> spmd'; sleep 5; echo quit)";
    console.comparable = ConsoleOutput;
    console.sign = "token ring done";
    const int id = MeasuredAsPlain("pvm", console);
    ASSERT_GT(id, 0);
    // The console and the four tasks it started.
    ExpectOnlyOwnTasks(id, 5);
}

TEST(MeasureConsole, StarterCatchesTheOutputOfSpmdSiblingsItSpawned) {
    // starter collects its children's output with pvm_catchout; spmd finds its
    // ring with pvm_siblings and passes a token around it (tag 4).
    Invocation starter;
    starter.comparable = AnyOrderWithoutTids;
    starter.sign = "token ring done";
    const int id = MeasuredAsPlain("starter -n 4 spmd", starter);
    ASSERT_GT(id, 0);
    ExpectOnlyOwnTasks(id, 5);
    EXPECT_EQ(Number("SELECT COUNT(*)" + DETAILS + std::to_string(id) +
                     " AND p.typeID = 6 AND d.askedTag = 4 AND d.askedSource = p.commPartnerTid"),
              4);
}

namespace {

// The names a shared library defines in its dynamic symbol table.
std::set<std::string> DefinedSymbols(const std::string& library) {
    const CommandResult listed = RunCommand("nm -D --defined-only " + ShellQuoted(library), ErrorStream::Apart);
    EXPECT_EQ(listed.status, 0) << listed.errors;
    std::set<std::string> names;
    for (const std::string& line : Lines(listed.output)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

const std::string PVM_LIBRARY = "/usr/lib/x86_64-linux-gnu/libpvm3.so";
const std::string GROUP_LIBRARY = "/usr/lib/x86_64-linux-gnu/libgpvm3.so";

}  // namespace

TEST(MeasureLibrary, ShowsOnlyThePvmEntryPointsItWrapsAndEveryOneOfTheGroupLibrary) {
    const std::set<std::string> exported = DefinedSymbols(KOVA_MEASURE_LIBRARY_FILE);
    std::set<std::string> pvm = DefinedSymbols(PVM_LIBRARY);
    const std::set<std::string> group = DefinedSymbols(GROUP_LIBRARY);
    pvm.insert(group.begin(), group.end());
    const std::set<std::string> linkers = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    for (const std::string& name : exported)
        EXPECT_TRUE(pvm.count(name) == 1 || linkers.count(name) == 1) << name << " is no PVM entry point";
    for (const char* name : {"pvm_send", "pvm_recv", "pvm_mcast", "pvm_spawn", "pvm_exit"})
        EXPECT_EQ(exported.count(name), 1u) << name;

    // Every function of the group library that programs are given (pvm3.h
    // declares it) is wrapped.
    const std::string header = ReadFile("/usr/include/pvm3.h");
    int declared = 0;
    for (const std::string& name : group) {
        if (name.rfind("pvm_", 0) != 0 || !std::regex_search(header, std::regex("\\b" + name + "\\b"))) continue;
        ++declared;
        EXPECT_EQ(exported.count(name), 1u) << name << " of the group library is not wrapped";
    }
    EXPECT_GE(declared, 11);
}

TEST(MeasureLibrary, EveryPvmFunctionThatCallsAWrappedOneThroughThePltIsWrappedToo) {
    // A function of the PVM library that calls a wrapped entry point through its
    // own import table would have that call measured as the program's.
    const std::set<std::string> exported = DefinedSymbols(KOVA_MEASURE_LIBRARY_FILE);
    const CommandResult calls =
        RunCommand("objdump -d --no-show-raw-insn " + ShellQuoted(PVM_LIBRARY) +
                       " | awk '/^[0-9a-f]+ <.*>:$/ {f = $2} /call.*@plt>$/ {print f, $NF}' | sort -u",
                   ErrorStream::Apart);
    ASSERT_EQ(calls.status, 0) << calls.errors;
    const std::regex call("<([A-Za-z0-9_]+)@@[A-Za-z0-9_]+>: <([A-Za-z0-9_]+)@plt>");
    int throughWrapped = 0;
    for (const std::string& line : Lines(calls.output)) {
        std::smatch found;
        if (!std::regex_match(line, found, call)) continue;
        const std::string caller = found[1], callee = found[2];
        if (caller == callee || caller.rfind("pvm_", 0) != 0 || exported.count(callee) == 0) continue;
        ++throughWrapped;
        EXPECT_EQ(exported.count(caller), 1u) << caller << " calls " << callee << " through the PLT";
    }
    // pvm_catchout, pvm_siblings, pvm_psend, pvm_precv, pvm_exit at least.
    EXPECT_GE(throughWrapped, 5);
}
