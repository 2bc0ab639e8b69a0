// The in-memory model of one stored experiment: its header, its processes and
// its phases as columns of plain numbers, plus what the analysis passes find.
// Loaders fill it from a database, the passes are pure functions over it, and
// the stores, reports and exports only read it.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace analysis {

// Microseconds, as everywhere in the measurement data.
using Time = long long;

// The basic phase types of the measurement records (same IDs and names).
constexpr int kNbrBasicTypes = 15;
enum PhaseKind : int {
    kComp = 0, kComm = 1, kIdle = 2, kWork = 3, kOverhead = 4, kSend = 5, kRecv = 6,
    kSpawn = 7, kPart = 8, kSync = 9, kDelay = 10
};
// Name of a phase type ID ("work", "comm_send", ...); "type N" beyond the basic ones.
std::string PhaseTypeName(int type);
// Parent of a phase type in the type tree, -1 for a top-level category or an unknown type.
int PhaseTypeParent(int type);
// Top-level category of a phase type (kComp, kComm, kIdle or the type itself).
int PhaseTypeCategory(int type);

// Status values and error flags of an experiment, as the records define them.
enum Status : int { kStarted = 0, kFinished = 1, kDataChecked = 2, kTotalsCalc = 3, kCommPointersSet = 4,
                    kBlockingCausesCalc = 5 };
enum ErrorFlag : int { kExpCrashed = 1, kProcessCrashed = 2, kTseqNotInDb = 4, kNoUsefulWork = 8,
                       kUnknownCommPartners = 16, kWrongCommPointers = 32, kIdleCauses = 64 };
// "finished", "totals calculated", ...
std::string StatusName(int status);
// The set flags by name, joined with ", "; "none" for 0.
std::string ErrorFlagNames(int flags);

// Where an experiment was read from.
enum class Source { kMeasurement, kLegacy };

// The experiment row.
struct ExperimentHeader {
    Source source = Source::kMeasurement;
    int id = 0;
    std::string project, application, version, user, date, comment;
    int p = 0;
    int W = 0;
    int nbrProcesses = 0;
    Time Tp = 0;
    Time Ts = 0;
    float speedup = 0;
    float efficiency = 0;
    int statusData = 0;
    int errorFlags = 0;
    std::string errors;
};

// One process: its row, its stored totals and the range of its phases.
struct ProcessModel {
    int id = 0;                 // process ID within the experiment (the probe stores the PVM tid)
    std::string host;
    int tid = 0;
    Time start = 0;             // start of measuring on the master's clock, µs since the epoch
    int firstPhase = 0;         // index of its first phase in PhaseColumns
    int nbrPhases = 0;
    bool hasTotals = false;     // at least one PhaseDurations row was stored
    std::vector<Time> totals;   // stored totals by phase type ID (0 where none)
    std::vector<float> ratios;  // totals divided by the measured time (totals pass)
    // Clock offsets to the master's host (this clock minus the master's, µs), measured
    // at the start and again at the end of measuring, endTime after the start.
    bool hasClockOffsets = false;
    Time startOffset = 0, endOffset = 0, endTime = 0;
    // Largest error of each offset (µs); a receive that seems to start before its send
    // by no more than the two processes' bounds may be a measuring error, not a violation.
    Time startBound = 0, endBound = 0;
};

// The phases of all processes, ordered by process and then by number; entry i of
// every column belongs to phase i. About 60 bytes a phase.
struct PhaseColumns {
    std::vector<int32_t> process;     // index into the model's processes
    std::vector<int32_t> nbr;         // number within its process, from 1
    std::vector<int16_t> type;        // phase type ID
    std::vector<uint8_t> sending;     // communication phase that sends
    std::vector<Time> duration;
    std::vector<Time> start;          // µs since the master's start of measuring (messages pass)
    std::vector<Time> shownStart;     // start on the repaired logical clock (messages pass)
    std::vector<int32_t> quantums;
    std::vector<int32_t> operations;
    std::vector<int32_t> partnerTid;  // -1 for none
    std::vector<int32_t> commDelay;   // recvTime - sendTime of its message (messages pass)
    std::vector<uint32_t> comment;    // index into comments
    std::vector<std::string> comments{""};  // distinct comment texts, 0 is ""

    std::size_t Size() const { return nbr.size(); }
    void Reserve(std::size_t n);
    // Appends one phase; the computed columns start at 0.
    void Add(int processIndex, int number, int phaseType, Time phaseDuration, int nbrQuantums,
             int nbrOperations, int commPartnerTid, bool isSending, const std::string& text);
    // Appends one phase whose comment is already interned.
    void Add(int processIndex, int number, int phaseType, Time phaseDuration, int nbrQuantums,
             int nbrOperations, int commPartnerTid, bool isSending, uint32_t commentIndex);
    uint32_t Intern(const std::string& text);
    Time End(std::size_t i) const { return start[i] + duration[i]; }
    Time ShownEnd(std::size_t i) const { return shownStart[i] + duration[i]; }
    // Bytes held per phase by the columns (not counting comment texts).
    static constexpr std::size_t kBytesPerPhase = 4 + 4 + 2 + 1 + 8 * 3 + 4 * 5;
private:
    std::map<std::string, uint32_t> mCommentIndex;
};

// A message from a send phase to the receive phase that took it.
struct Message {
    int32_t sendPhase = -1;
    int32_t recvPhase = -1;     // -1: never received
    int32_t sendProcess = -1;
    int32_t recvProcess = -1;   // the addressee, also when unreceived
    Time sendTime = 0;          // end of the send phase
    Time recvTime = 0;          // start of the receive phase (0 when unreceived)
    Time delay = 0;             // recvTime - sendTime on the stored clock
};

enum class WaitPattern { kLateSender, kWrongOrder, kUnexplained };
// "late_sender", "wrong_order", "unexplained".
const char* WaitPatternName(WaitPattern pattern);

// An idle phase and why it waited.
struct WaitState {
    int32_t phase = -1;         // the idle phase
    WaitPattern pattern = WaitPattern::kUnexplained;
    Time waitTime = 0;          // late-sender part, or the whole idle when unexplained
    int32_t causePhase = -1;    // the matching send phase, -1 when unexplained
};

// Time of a waiting process charged to what a sender did meanwhile.
struct DelayCost {
    int32_t causeProcess = -1;
    int type = 0;
    double time = 0;
};

// A stretch of the critical path on one process, on the repaired clock.
struct PathSegment {
    int32_t process = -1;
    Time begin = 0, end = 0;
};

// Everything the passes found.
struct Findings {
    int lastPass = 0;                    // status reached (kFinished when no pass ran)
    std::vector<std::string> problems;   // what the data check and the matching saw, in words
    std::vector<Time> experimentTotals;  // by phase type, over all processes
    std::vector<Message> messages;       // received ones in receive order, then the unreceived
    std::map<std::pair<int, int>, int> unreceived;  // (send process, addressee) -> count
    int unknownPartners = 0;
    int unmatchedReceives = 0;
    int clockViolations = 0;             // receives that started before their send ended
    int repairedMessages = 0;            // messages whose receive the repair moved
    Time largestRepair = 0, totalRepair = 0;
    bool driftCorrected = false;
    std::vector<WaitState> waitStates;   // largest first
    std::vector<DelayCost> delayCosts;   // largest first
    Time criticalPathLength = 0;
    std::vector<PathSegment> criticalPath;      // from the start to the end
    std::vector<Time> criticalPathByType;       // by phase type
    std::vector<Time> criticalPathByProcess;    // by process index

    // Messages that no receive took, over all pairs of processes.
    int UnreceivedCount() const;
};

// One experiment with its processes, phases and findings.
struct ExperimentModel {
    ExperimentHeader header;
    std::vector<ProcessModel> processes;
    PhaseColumns phases;
    int master = 0;   // index of the master's process (the earliest start)
    Findings findings;

    // Index of the process with that PVM tid, -1 when none has it.
    int ProcessOfTid(int tid) const;
    // Sets firstPhase/nbrPhases of every process from the phase columns and picks the master.
    void IndexPhases();
};

}  // namespace analysis
