#include "analysis/model.h"

#include <algorithm>
#include <iterator>

namespace analysis {

namespace {
const char* const kTypeNames[kNbrBasicTypes] = {"comp", "comm", "idle", "work", "overhead",
                                                "comm_send", "comm_recv", "spawn", "part", "sync",
                                                "delay", "begin", "end", "end phase details",
                                                "restart phase details"};
const int kTypeParents[kNbrBasicTypes] = {-1, -1, -1, 0, 0, 1, 1, 4, 4, 4, -1, -1, -1, -1, -1};
}  // namespace

std::string PhaseTypeName(int type) {
    if (type >= 0 && type < kNbrBasicTypes) return kTypeNames[type];
    if (IsWrongCallType(type)) return "type " + std::to_string(type) + " (wrong call)";
    return "type " + std::to_string(type);
}

int PhaseTypeParent(int type) { return type >= 0 && type < kNbrBasicTypes ? kTypeParents[type] : -1; }

int PhaseTypeCategory(int type) {
    while (PhaseTypeParent(type) >= 0) type = PhaseTypeParent(type);
    return type;
}

std::string StatusName(int status) {
    switch (status) {
    case kStarted: return "started";
    case kFinished: return "finished";
    case kDataChecked: return "data checked";
    case kTotalsCalc: return "totals calculated";
    case kCommPointersSet: return "messages matched";
    case kBlockingCausesCalc: return "wait states found";
    }
    return "status " + std::to_string(status);
}

std::string ErrorFlagNames(int flags) {
    static const std::pair<int, const char*> kNames[] = {
        {kExpCrashed, "EXP_CRASHED"},           {kProcessCrashed, "PROCESS_CRASHED"},
        {kTseqNotInDb, "TSEQ_NOT_IN_DB"},       {kNoUsefulWork, "NO_USEFUL_WORK"},
        {kUnknownCommPartners, "UNKNOWN_COMM_PARTNERS"}, {kWrongCommPointers, "WRONG_COMM_POINTERS"},
        {kIdleCauses, "IDLE_CAUSES"}};
    std::string text;
    for (const auto& [flag, name] : kNames) {
        if ((flags & flag) == 0) continue;
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text.empty() ? "none" : text;
}

const char* WaitPatternName(WaitPattern pattern) {
    switch (pattern) {
    case WaitPattern::kLateSender: return "late_sender";
    case WaitPattern::kWrongOrderSameSource: return "wrong_order_same_source";
    case WaitPattern::kWrongOrderOtherSource: return "wrong_order_other_source";
    case WaitPattern::kWaitAtBarrier: return "wait_at_barrier";
    case WaitPattern::kBarrierCompletion: return "barrier_completion";
    case WaitPattern::kWaitAtNxN: return "wait_at_nxn";
    case WaitPattern::kLateBroadcast: return "late_broadcast";
    case WaitPattern::kEarlyReduce: return "early_reduce";
    case WaitPattern::kUnexplained: break;
    }
    return "unexplained";
}

namespace {
const char* const kCollectiveNames[] = {"",          "barrier",   "bcast",    "reduce",         "gather", "scatter",
                                        "allreduce", "allgather", "alltoall", "reduce_scatter", "scan"};
}  // namespace

const char* CollectiveName(Collective collective) { return kCollectiveNames[static_cast<int>(collective)]; }

Collective CollectiveOfName(const std::string& name) {
    for (std::size_t k = 1; k < std::size(kCollectiveNames); ++k)
        if (name == kCollectiveNames[k]) return static_cast<Collective>(k);
    return Collective::kNone;
}

std::string CostCauseName(const CostCause& cause) {
    if (cause.noExcess) return "no excess";
    return cause.transfer ? "transfer" : PhaseTypeName(cause.type);
}

void PhaseColumns::Reserve(std::size_t n) {
    process.reserve(n);
    nbr.reserve(n);
    type.reserve(n);
    sending.reserve(n);
    duration.reserve(n);
    start.reserve(n);
    shownStart.reserve(n);
    tag.reserve(n);
    operations.reserve(n);
    partnerTid.reserve(n);
    comment.reserve(n);
}

int32_t PhaseColumns::InternGroup(const std::string& name) {
    auto [it, added] = mGroupIndex.emplace(name, static_cast<int32_t>(groupNames.size()));
    if (added) groupNames.push_back(name);
    return it->second;
}

void PhaseColumns::SetDetail(std::size_t i, const PhaseDetail& value) {
    if (detail.empty()) detail.assign(Size(), -1);
    if (detail[i] >= 0) {
        details[detail[i]] = value;
        return;
    }
    detail[i] = static_cast<int32_t>(details.size());
    details.push_back(value);
}

uint32_t PhaseColumns::Intern(const std::string& text) {
    if (text.empty()) return 0;
    auto [it, added] = mCommentIndex.emplace(text, static_cast<uint32_t>(comments.size()));
    if (added) comments.push_back(text);
    return it->second;
}

void PhaseColumns::Add(int processIndex, int number, int phaseType, Time phaseDuration, int messageTag,
                       int nbrOperations, int commPartnerTid, bool isSending, const std::string& text) {
    Add(processIndex, number, phaseType, phaseDuration, messageTag, nbrOperations, commPartnerTid, isSending,
        Intern(text));
}

void PhaseColumns::Add(int processIndex, int number, int phaseType, Time phaseDuration, int messageTag,
                       int nbrOperations, int commPartnerTid, bool isSending, uint32_t commentIndex) {
    process.push_back(processIndex);
    nbr.push_back(number);
    type.push_back(phaseType);
    sending.push_back(isSending ? 1 : 0);
    duration.push_back(phaseDuration);
    start.push_back(0);
    shownStart.push_back(0);
    tag.push_back(messageTag);
    operations.push_back(nbrOperations);
    partnerTid.push_back(commPartnerTid);
    comment.push_back(commentIndex);
    if (!detail.empty()) detail.push_back(-1);
}

int Findings::UnreceivedCount() const {
    int count = 0;
    for (const auto& entry : unreceived) count += entry.second;
    return count;
}

void ExperimentModel::IndexPhases() {
    for (auto& process : processes) process.firstPhase = process.nbrPhases = 0;
    for (std::size_t i = phases.Size(); i-- > 0;) {
        ProcessModel& owner = processes[phases.process[i]];
        owner.firstPhase = static_cast<int>(i);
        ++owner.nbrPhases;
    }
    mProcessOfTid.clear();
    for (std::size_t p = 0; p < processes.size(); ++p) mProcessOfTid.emplace(processes[p].tid, static_cast<int>(p));
    master = 0;
    for (std::size_t i = 1; i < processes.size(); ++i)
        if (processes[i].start < processes[master].start) master = static_cast<int>(i);
}

}  // namespace analysis
