// The in-memory model of one stored experiment: its header, its processes and
// its phases as columns of plain numbers, plus what the analysis passes find.
// Loaders fill it from a database, the passes are pure functions over it, and
// the stores, reports and exports only read it.
#pragma once
#include <cstdint>
#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace analysis {

// Microseconds, as everywhere in the measurement data.
using Time = long long;
// Time by phase type ID, holding only the types that occur (a stored type ID may be
// any int, so nothing is sized by it).
using TypeTimes = std::map<int, Time>;

// The basic phase types of the measurement records (same IDs and names).
constexpr int kNbrBasicTypes = 15;
enum PhaseKind : int {
    kComp = 0, kComm = 1, kIdle = 2, kWork = 3, kOverhead = 4, kSend = 5, kRecv = 6,
    kSpawn = 7, kPart = 8, kSync = 9, kDelay = 10
};
// Name of a phase type ID ("work", "comm_send", ...); "type N" for a type of the
// program's own beyond the basic ones, "type N (wrong call)" for a negative ID, which
// the probe stores for a phase ended with a wrong type.
std::string PhaseTypeName(int type);
// A negative type ID: the phase was ended by a wrong call of the probe.
inline bool IsWrongCallType(int type) { return type < 0; }
// Parent of a phase type in the type tree, -1 for a top-level category or an unknown type.
int PhaseTypeParent(int type);
// Top-level category of a phase type (kComp, kComm, kIdle, or the type itself for a
// top-level basic type, a program's own type or a wrong call).
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

// What a receive asked for, where the measuring path recorded it (PhaseDetails).
constexpr int32_t kAskedAny = -1;       // a wildcard source or tag
constexpr int32_t kAskedNotKnown = -2;  // not recorded (older experiments, other paths)

// The collective operation a sync phase is one member's part of.
enum class Collective : uint8_t { kNone, kBarrier, kBcast, kReduce, kGather, kScatter, kAllreduce, kAllgather,
                                  kAlltoall, kReduceScatter, kScan };
// The stored name ("barrier", "bcast", ...; "" for none) and back (kNone for a name it does not know).
const char* CollectiveName(Collective collective);
Collective CollectiveOfName(const std::string& name);

// What a measuring path stored beyond a phase's row (a PhaseDetails row): the source
// and tag a receive asked for, the message length, and for a collective its group,
// which of the group's collectives it is, its kind and root. Plain numbers; the
// group is an index into PhaseColumns::groupNames.
struct PhaseDetail {
    int32_t askedSource = kAskedNotKnown;
    int32_t askedTag = kAskedNotKnown;
    int64_t bytes = 0;          // 0: not known
    int32_t group = -1;         // -1: no collective
    int32_t instance = -1;
    Collective collective = Collective::kNone;
    int32_t root = -1;          // tid of the root of a rooted collective, -1 none
};

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
    std::string executable;     // the task's program file without its directory; "" not known
    int tid = 0;
    Time start = 0;             // start of measuring on the master's clock, µs since the epoch
    int firstPhase = 0;         // index of its first phase in PhaseColumns
    int nbrPhases = 0;
    bool hasTotals = false;     // at least one PhaseDurations row was stored
    TypeTimes totals;           // stored totals by phase type ID
    std::map<int, float> ratios;  // totals divided by the measured time (totals pass)
    // Clock offsets to the master's host (this clock minus the master's, µs), measured
    // at the start and again at the end of measuring, endTime after the start.
    bool hasClockOffsets = false;
    Time startOffset = 0, endOffset = 0, endTime = 0;
    // Largest error of each offset (µs); a receive that seems to start before its send
    // by no more than the two processes' bounds may be a measuring error, not a violation.
    Time startBound = 0, endBound = 0;
    // The probe's own cost in this task (ProbeCosts): the calls it recorded and its
    // cost per call in ns, calibrated at the task's start.
    bool hasProbeCosts = false;
    long long recordedCalls = 0;
    double nsPerCall = 0;
    // The probe's whole cost in this task, µs.
    double ProbeCost() const { return static_cast<double>(recordedCalls) * nsPerCall / 1000.0; }
    // The larger of the two bounds, 0 without stored offsets.
    Time ClockBound() const { return hasClockOffsets ? std::max(startBound, endBound) : 0; }
};

// The phases of all processes, ordered by process and then by number; entry i of
// every column belongs to phase i. A process's phases tile its time line on both
// clocks: a phase ends where the next one of its process starts (the last one after
// its duration), so moving or mapping a start moves the end of the phase before it.
struct PhaseColumns {
    std::vector<int32_t> process;     // index into the model's processes
    std::vector<int32_t> nbr;         // number within its process, from 1
    std::vector<int32_t> type;        // phase type ID
    std::vector<uint8_t> sending;     // communication phase that sends
    std::vector<Time> duration;       // as stored
    std::vector<Time> start;          // µs since the master's start of measuring (messages pass)
    std::vector<Time> shownStart;     // start on the repaired logical clock (messages pass)
    std::vector<int32_t> tag;         // message tag of a communication phase (the stored quantum count)
    std::vector<int32_t> operations;
    std::vector<int32_t> partnerTid;  // -1 for none
    std::vector<uint32_t> comment;    // index into comments
    std::vector<std::string> comments{""};  // distinct comment texts, 0 is ""
    // Index into details per phase, -1 for a phase without; empty (no cost) while no
    // phase has details, as in every older experiment.
    std::vector<int32_t> detail;
    std::vector<PhaseDetail> details;
    std::vector<std::string> groupNames;  // distinct collective group names

    std::size_t Size() const { return nbr.size(); }
    void Reserve(std::size_t n);
    // Appends one phase; the computed columns start at 0.
    void Add(int processIndex, int number, int phaseType, Time phaseDuration, int messageTag,
             int nbrOperations, int commPartnerTid, bool isSending, const std::string& text);
    // Appends one phase whose comment is already interned.
    void Add(int processIndex, int number, int phaseType, Time phaseDuration, int messageTag,
             int nbrOperations, int commPartnerTid, bool isSending, uint32_t commentIndex);
    uint32_t Intern(const std::string& text);
    // Index of a group name in groupNames, added when new.
    int32_t InternGroup(const std::string& name);
    // Gives phase i its details (replacing any it had).
    void SetDetail(std::size_t i, const PhaseDetail& value);
    // The details of phase i; a default (nothing known) for a phase without.
    const PhaseDetail& Detail(std::size_t i) const {
        static const PhaseDetail kNone;
        return i < detail.size() && detail[i] >= 0 ? details[detail[i]] : kNone;
    }
    // Whether phase i is the last of its process.
    bool LastOfProcess(std::size_t i) const { return i + 1 >= Size() || process[i + 1] != process[i]; }
    // A negative stored duration (which the data check flags) takes no time on either clock.
    Time PlacedDuration(std::size_t i) const { return std::max<Time>(0, duration[i]); }
    Time End(std::size_t i) const { return LastOfProcess(i) ? start[i] + PlacedDuration(i) : start[i + 1]; }
    Time ShownEnd(std::size_t i) const {
        return LastOfProcess(i) ? shownStart[i] + PlacedDuration(i) : shownStart[i + 1];
    }
    Time ShownDuration(std::size_t i) const { return ShownEnd(i) - shownStart[i]; }
    // Bytes held per phase by the columns (not counting comment texts, nor the detail
    // column and the details of an experiment that has them).
    static constexpr std::size_t kBytesPerPhase = 4 + 4 + 4 + 1 + 8 * 3 + 4 * 4;
private:
    std::map<std::string, uint32_t> mCommentIndex;
    std::map<std::string, int32_t> mGroupIndex;
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

// Why a phase waited. On idle phases: late sender, and wrong order (Scalasca's
// definition: a late-sender wait of a selective receive after which, within
// kWrongOrderWindow late-sender waits of the same process, a message is received that
// was sent before the one waited for; from the same source or from another), or
// unexplained. On the sync phase of a member of a collective (see collectives.h):
// wait at barrier, barrier completion, wait at N x N, late broadcast, early reduce.
enum class WaitPattern {
    kLateSender, kWrongOrderSameSource, kWrongOrderOtherSource, kWaitAtBarrier, kBarrierCompletion, kWaitAtNxN,
    kLateBroadcast, kEarlyReduce, kUnexplained
};
constexpr WaitPattern kWaitPatterns[] = {
    WaitPattern::kLateSender,    WaitPattern::kWrongOrderSameSource, WaitPattern::kWrongOrderOtherSource,
    WaitPattern::kWaitAtBarrier, WaitPattern::kBarrierCompletion,    WaitPattern::kWaitAtNxN,
    WaitPattern::kLateBroadcast, WaitPattern::kEarlyReduce,          WaitPattern::kUnexplained};
// "late_sender", "wrong_order_same_source", "wrong_order_other_source",
// "wait_at_barrier", "barrier_completion", "wait_at_nxn", "late_broadcast",
// "early_reduce", "unexplained".
const char* WaitPatternName(WaitPattern pattern);
// Whether the pattern is a wait in a collective (on a sync phase, not an idle one).
inline bool IsCollectivePattern(WaitPattern pattern) {
    return pattern >= WaitPattern::kWaitAtBarrier && pattern <= WaitPattern::kEarlyReduce;
}

// A phase and why it waited. For an idle phase waitTime + transferTime is its time on
// the repaired clock; a collective's sync phase may hold two (wait at barrier and
// barrier completion) whose times add up to no more than its time.
struct WaitState {
    int32_t phase = -1;         // the idle phase, or the sync phase of a collective member
    WaitPattern pattern = WaitPattern::kUnexplained;
    Time waitTime = 0;          // until the sender began to send (the cause entered), or the whole idle when unexplained
    Time transferTime = 0;      // after the send began (the message on its way, packing)
    int32_t causePhase = -1;    // the matching send phase or the causing member's sync phase; -1 for none
};

// One collective operation lined up over its members (collectives.h).
struct CollectiveOp {
    int32_t group = -1;             // index into PhaseColumns::groupNames
    int32_t instance = -1;
    Collective kind = Collective::kNone;
    int32_t root = -1;              // the root's sync phase, -1 for none or a root that took no part
    std::vector<int32_t> members;   // the members' sync phases, by process index
    bool complete = true;           // every process of its group took part
};

// What a delay cost ends on: a phase type of a process, the transfer time of its idle
// phases, or "no excess": the waits it caused in whose interval it did nothing more
// than the waiting process.
struct CostCause {
    int32_t process = -1;
    int type = 0;
    bool transfer = false;
    bool noExcess = false;
    bool operator<(const CostCause& o) const {
        return std::tie(process, type, transfer, noExcess) < std::tie(o.process, o.type, o.transfer, o.noExcess);
    }
};
// "work", "comm_recv", ..., "transfer" or "no excess".
std::string CostCauseName(const CostCause& cause);

// Root-cause delay cost (Böhme et al.): the waits charged to one cause. Short-term:
// the cause's excess time in the synchronisation intervals of the waits it delayed
// directly; long-term: its share of waits that it caused through waits of others.
struct DelayCost {
    CostCause cause;
    double shortTerm = 0, longTerm = 0;
    double Total() const { return shortTerm + longTerm; }
};

// A stretch of the critical path on one process, on the repaired clock.
struct PathSegment {
    int32_t process = -1;
    Time begin = 0, end = 0;
};

// One node of the metric tree: the time of the whole run split into where it went.
struct MetricNode {
    std::string name;
    Time time = 0;
    std::vector<MetricNode> children;   // their times add up to this node's
};

// The phases' times without the probe's own cost (compensation.h).
struct Compensation {
    bool known = false;                 // some process stored its probe's cost
    Time total = 0;                     // µs taken out of the phases
    std::vector<Time> byProcess;        // by process index
    TypeTimes byType;                   // taken out per phase type
    MetricNode metricTree;              // the metric tree of the compensated times
};

// Everything the passes found.
struct Findings {
    int lastPass = 0;                    // status reached (kFinished when no pass ran)
    std::vector<std::string> problems;   // what the data check and the matching saw, in words
    TypeTimes experimentTotals;          // by phase type, over all processes
    bool tpFromPhases = false;           // Tp is the end of the crashed master's last stored phase
    // The run's length: from the first process's start to the last process's end on
    // the master's clock as repaired (slaves that outlive the master included).
    Time runLength = 0;
    // Messages: received ones in receive order, then the unreceived; messageOf gives
    // the message of every send and receive phase (-1 for none), for every pass and export.
    std::vector<Message> messages;
    std::vector<int32_t> messageOf;
    std::map<std::pair<int, int>, int> unreceived;  // (send process, addressee) -> count
    int unknownPartners = 0;
    int unmatchedReceives = 0;
    int clockViolations = 0;             // receives that started before their send began, beyond the clock bounds
    int withinClockBounds = 0;           // receives before their send began by no more than the bounds
    int repairedMessages = 0;            // messages whose receive the repair moved
    int repairedExits = 0;               // collective members whose exit the repair moved
    Time largestRepair = 0, totalRepair = 0;
    bool driftCorrected = false;
    std::vector<CollectiveOp> collectives;  // by group, then instance
    int incompleteCollectives = 0;       // collectives some member of the group never entered
    std::vector<WaitState> waitStates;   // largest first
    Time transferTime = 0;               // idle time after a send began, over every idle phase
    std::vector<DelayCost> delayCosts;   // largest first
    Time criticalPathLength = 0;
    std::vector<PathSegment> criticalPath;      // from the start to the end
    TypeTimes criticalPathByType;               // by phase type
    std::vector<Time> criticalPathByProcess;    // by process index
    MetricNode metricTree;
    Compensation compensation;

    // Messages that no receive took, over all pairs of processes.
    int UnreceivedCount() const;
};

// One experiment with its processes, phases and findings.
struct ExperimentModel {
    ExperimentHeader header;
    std::vector<ProcessModel> processes;
    PhaseColumns phases;
    int master = 0;   // index of the master's process (the earliest start)
    std::vector<std::string> loadProblems;  // what the loader found wrong with the stored rows, in words
    Findings findings;

    // recvTime - sendTime of the message that phase i sent or received, 0 for none or
    // an unreceived one (messages pass).
    Time CommDelay(std::size_t i) const {
        const int32_t m = i < findings.messageOf.size() ? findings.messageOf[i] : -1;
        return m >= 0 && findings.messages[m].recvPhase >= 0 ? findings.messages[m].delay : 0;
    }
    // Index of the process with that PVM tid, -1 when none has it (IndexPhases builds
    // the index every pass uses).
    int ProcessOfTid(int tid) const {
        const auto found = mProcessOfTid.find(tid);
        return found == mProcessOfTid.end() ? -1 : found->second;
    }
    // Sets firstPhase/nbrPhases of every process from the phase columns, picks the
    // master and indexes the processes by tid.
    void IndexPhases();

private:
    std::unordered_map<int, int> mProcessOfTid;
};

}  // namespace analysis
