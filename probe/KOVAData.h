// The experiment records that the probe keeps and stores: application and
// parameters, experiment, parameter values, process, phase types, per-type
// totals and phases. Each describes its own table to the persistence layer.
#pragma once

#include "recyclingallocator.h"
#include "standardlib.h"

#include <dbDescribable.h>
#include <describable.h>
#include <standarddatabase.h>

#include <list>
#include <string>
#include <vector>

// The basic phase types; the values index the two tables below.
enum BasicPhaseType {
    PH_COMP = 0,
    PH_COMM = 1,
    PH_IDLE = 2,
    PH_WORK = 3,
    PH_OVERHEAD = 4,
    PH_COMM_SEND = 5,
    PH_COMM_RECV = 6,
    PH_SPAWN = 7,
    PH_PART = 8,
    PH_SYNC = 9,
    PH_DELAY = 10,
    PH_BEGIN = 11,
    PH_END = 12,
    PH_END_PH_DETAILS = 13,
    PH_RESTART_PH_DETAILS = 14
};
constexpr int NBR_BASIC_PHASE_TYPES = 15;
// Name of each basic phase type ("comp", "comm", "idle", ...).
extern const char* const gBasicPhaseTypeStrings[NBR_BASIC_PHASE_TYPES];
// Parent of each basic phase type in the type tree; -1 for a top-level category.
extern const int gBasicPhaseTypeParents[NBR_BASIC_PHASE_TYPES];

// A kind of phase: a node of the phase-type tree.
class PhaseType : public Describable {
public:
    int mID = 0;
    std::string mName;
    int mParentTypeID = -1;
    // Display colour; nothing sets it.
    int mColour = 0;

    PhaseType() = default;
    PhaseType(int ID, const std::string& name, int parentTypeID);
    void Describe(IOConvertor* ioc) override;
};

// A parameter that an application declares (its name and value type).
class AppParameter : public Describable {
public:
    enum PARAMETER_TYPE_EN { INT = 0, DOUBLE = 1, STRING = 2 };

    int mAppID = 0;
    std::string mName;
    PARAMETER_TYPE_EN mType = INT;
    std::string mComment;

    AppParameter() = default;
    AppParameter(int appID, const std::string& name, PARAMETER_TYPE_EN type, const std::string& comment);
    // Same application and name; type and comment do not count.
    bool operator==(const AppParameter& other) const;
    void Describe(IOConvertor* ioc) override;
};

// The value of one parameter in one experiment; only the member of the
// parameter's type is meaningful, the others are zero or empty.
class ExpParValue : public Describable {
public:
    int mExpID = 0;
    std::string mParName;
    int mAppID = 0;
    int mValue_int = 0;
    double mValue_double = 0.0;
    std::string mValue_string;

    ExpParValue() = default;
    ExpParValue(int expID, const std::string& parName, int appID, int value);
    ExpParValue(int expID, const std::string& parName, int appID, double value);
    ExpParValue(int expID, const std::string& parName, int appID, const std::string& value);
    void Describe(IOConvertor* ioc) override;
};

// Total time one process spent in one phase type.
class PhaseDuration : public Describable {
public:
    int mExpID = 0;
    int mProcessID = 0;
    int mPhaseTypeID = 0;
    TIME mDuration = 0;
    float mRatio = 0.0f;

    PhaseDuration() = default;
    PhaseDuration(int phaseTypeID, int expID, int processID);
    void Describe(IOConvertor* ioc) override;
};

// Iterator over a vector of totals that reads and writes each total's ratio, so
// that a sequence of totals can be handled as a sequence of floats.
class RatioAdapter : public std::vector<PhaseDuration>::iterator {
public:
    using Base = std::vector<PhaseDuration>::iterator;
    using value_type = float;
    using reference = float&;
    using pointer = float*;
    using iterator_category = std::bidirectional_iterator_tag;

    RatioAdapter(Base position) : Base(position) {}
    float& operator*() const { return Base::operator*().mRatio; }
    float* operator->() const { return &Base::operator*().mRatio; }
    RatioAdapter& operator++() {
        Base::operator++();
        return *this;
    }
    RatioAdapter operator++(int) {
        RatioAdapter before = *this;
        Base::operator++();
        return before;
    }
    RatioAdapter& operator--() {
        Base::operator--();
        return *this;
    }
    RatioAdapter operator--(int) {
        RatioAdapter before = *this;
        Base::operator--();
        return before;
    }
};

// One measured phase of one process. The duration type is a parameter because an
// earlier form of the records stores durations as int; Phase is the form in use.
template <class Duration> class BasicPhase : public Describable {
public:
    int mExpID = 0;
    int mProcessID = 0;
    // Number of the phase within its process, from 1.
    int mNbr = 0;
    // Phase type ID.
    int mType = 0;
    Duration mDuration = 0;
    // Never set by the probe: a phase starts where the previous one ended.
    TIME mStartTime = 0;
    int mNbrQuantums = 0;
    int mNbrOperations = 0;
    // Task identifier of the communication partner, -1 for none.
    int mCommPartner = -1;
    bool mCommIsSending = false;
    // Position of the partner's matching phase; empty, nothing links phases yet.
    typename std::list<BasicPhase>::iterator mCommPartnerPhase{};
    int mCommDelay = 0;
    bool mIsBlockCause = false;
    std::string mComment;

    BasicPhase() = default;
    // A phase without communication.
    BasicPhase(int expID, int processID, int nbr, int type, Duration duration, int nbrQuantums,
               int nbrOperations, const std::string& comment)
        : mExpID(expID), mProcessID(processID), mNbr(nbr), mType(type), mDuration(duration),
          mNbrQuantums(nbrQuantums), mNbrOperations(nbrOperations), mComment(comment) {}
    // A communication phase with commPartnerTid.
    BasicPhase(int expID, int processID, int nbr, int type, Duration duration, int commPartnerTid, bool sending,
               int nbrQuantums, const std::string& comment)
        : mExpID(expID), mProcessID(processID), mNbr(nbr), mType(type), mDuration(duration),
          mNbrQuantums(nbrQuantums), mCommPartner(commPartnerTid), mCommIsSending(sending), mComment(comment) {}
    // The same phase with its duration in another type (the stored columns only).
    template <class Other>
    explicit BasicPhase(const BasicPhase<Other>& other)
        : Describable(other), mExpID(other.mExpID), mProcessID(other.mProcessID), mNbr(other.mNbr),
          mType(other.mType), mDuration(static_cast<Duration>(other.mDuration)), mStartTime(other.mStartTime),
          mNbrQuantums(other.mNbrQuantums), mNbrOperations(other.mNbrOperations), mCommPartner(other.mCommPartner),
          mCommIsSending(other.mCommIsSending), mCommDelay(other.mCommDelay), mIsBlockCause(other.mIsBlockCause),
          mComment(other.mComment) {}

    void Describe(IOConvertor* ioc) override {
        ioc->DescribeClassName("Phases", "");
        ioc->DescribeObjectID(3, "expID", "processID", "nbr");
        ioc->DescribeAttribute(mExpID, "expID", false);
        ioc->DescribeAttribute(mProcessID, "processID", false);
        ioc->DescribeAttribute(mNbr, "nbr", false);
        ioc->DescribeAttribute(mType, "typeID", false);
        ioc->DescribeAttribute(mDuration, "duration", false);
        ioc->DescribeAttribute(mStartTime, "startTime", false);
        ioc->DescribeAttribute(mNbrQuantums, "nbrQuantums", false);
        ioc->DescribeAttribute(mNbrOperations, "nbrOperations", false);
        ioc->DescribeAttribute(mCommPartner, "commPartnerTid", false);
        ioc->DescribeAttribute(mCommIsSending, "commIsSending", false);
        ioc->DescribeAttribute(mCommDelay, "commDelay", false);
        ioc->DescribeAttribute(mComment, "comment", false);
    }
};
using Phase = BasicPhase<TIME>;
// A list of phases whose nodes are reused after the list was emptied.
using PhaseList = std::list<Phase, RecyclingAllocator<Phase>>;

// One process of an experiment, with its phase types and per-type totals
// (index equals type ID).
class Process : public Describable {
public:
    int mExpID = 0;
    // Number of the process within its experiment; the probe uses the PVM tid.
    int mID = 0;
    // Host name.
    std::string mProcessor;
    int mMyTid = 0;
    // The parent's task identifier, 0 for the master.
    int mParentTid = 0;
    // Start of measuring on the master host's clock.
    int mStartTime_sec = 0;
    int mStartTime_usec = 0;
    int mPhaseTypeCtr = 0;
    std::vector<PhaseType> mPhaseTypes;
    std::vector<PhaseDuration> mPhaseDurations;
    // Not used by the probe, which keeps its own list.
    std::list<Phase> mPhases;

    Process() = default;
    // Stores the values and creates the fifteen basic phase types with a zero
    // total each.
    Process(int expID, int processID, const std::string& processor, int myTid, int parentTid);

    int GetNbrPhaseTypes() const;
    // ID of the first phase type of that name, -1 when there is none.
    int GetPhaseTypeID(const std::string& name) const;
    // Adds a phase type (and its total) unless the name exists; returns its ID.
    // A parent that is not an existing type becomes -1.
    int AddPhaseType(const std::string& name, int ParentPhaseTypeID);
    // Appends nbr totals with type IDs 0 to nbr-1; returns nbr.
    int InitPhaseDurations(int nbr);
    void Describe(IOConvertor* ioc) override;
};

// How far a slave's host clock was off the master host's clock when the slave
// started and when it ended measuring, so that an analysis can correct linear
// drift: local experiment time t lies at master time
// start + t - (endOffset - startOffset) * t / endTime, where start is the
// process's stored start time (already corrected by startOffset).
class ClockOffset : public Describable {
public:
    int mExpID = 0;
    // The process's ID, as in Processes.
    int mProcessID = 0;
    // The local clock minus the master host's clock, in microseconds, when measuring
    // started and when it ended; 0 on the master's host.
    TIME mStartOffset = 0;
    TIME mEndOffset = 0;
    // Experiment-stopwatch time of the end measurement.
    TIME mEndTime = 0;
    // Largest error of each offset, in microseconds (half the round trip of the sample
    // it was taken from); 0 on the master's host.
    TIME mStartBound = 0;
    TIME mEndBound = 0;

    ClockOffset() = default;
    ClockOffset(int expID, int processID, TIME startOffset, TIME endOffset, TIME endTime, TIME startBound = 0,
                TIME endBound = 0);
    void Describe(IOConvertor* ioc) override;
};

class Application;

// One measured run: its configuration (application, p, W), its parallel time and
// its status.
class Experiment : public Describable {
public:
    enum STATUS_EN {
        EXP_STARTED = 0,
        EXP_FINISHED = 1,
        DATA_CHECKED = 2,
        TOTALS_CALC = 3,
        COMM_POINTERS_SET = 4,
        BLOCKING_CAUSES_CALC = 5
    };
    enum ERROR_FLAGS {
        OK = 0,
        EXP_CRASHED = 1,
        PROCESS_CRASHED = 2,
        TSEQ_NOT_IN_DB = 4,
        NO_USEFUL_WORK = 8,
        UNKNOWN_COMM_PARTNERS = 16,
        WRONG_COMM_POINTERS = 32,
        IDLE_CAUSES = 64
    };

    // The measured application; not owned.
    Application* mApp = nullptr;
    int mID = 0;
    std::string mProject;
    std::string mName;
    std::string mVersion;
    std::string mUser;
    std::string mDate;
    std::string mComment;
    int mP = 0;
    int mW = 0;
    int mNbrProcesses = 0;
    TIME mTp = 0;
    TIME mTs = 0;
    float mSpeedup = 0.0f;
    float mEfficiency = 0.0f;
    int mStatusData = EXP_STARTED;
    int mErrorFlags = OK;
    std::string mErrors;
    std::vector<PhaseDuration> mPhaseDurations;
    std::vector<Process> mProcesses;
    std::vector<ExpParValue> mExpParValues;

    Experiment() = default;
    // An experiment of app: name and user from it, one process so far.
    Experiment(Application* app, const std::string& date, const std::string& comment, int p, int W);
    // An experiment described by its texts alone, as the earlier form of the
    // records builds it: no application, one process so far.
    Experiment(const std::string& name, const std::string& user, const std::string& date,
               const std::string& comment, int p, int W);
    // Appends nbr experiment-wide totals (process ID -1); returns nbr.
    int InitPhaseDurations(int nbr);
    void Describe(IOConvertor* ioc) override;
};

// The measured application and the parameters it declared.
class Application : public Describable {
public:
    int mID = 0;
    std::string mUser;
    std::string mProject;
    std::string mName;
    std::string mVersion;
    std::string mComment;
    std::vector<AppParameter> mAppPars;

    Application() = default;
    Application(const std::string& user, const std::string& name, const std::string& project,
                const std::string& version, const std::string& comment);
    // Declares a parameter; false, and nothing changed, when it was declared before.
    bool AddAppParameter(const std::string& name, AppParameter::PARAMETER_TYPE_EN type, const std::string& comment);
    void Describe(IOConvertor* ioc) override;
};

// Writes every total whose duration is not zero (each as a new row).
StandardDatabase& operator<<(StandardDatabase& db, std::vector<PhaseDuration>& totals);
// Reads the totals that the pending WhereClause selects into the vector, row i
// into element i; rows beyond the vector's length are appended.
StandardDatabase& operator>>(StandardDatabase& db, std::vector<PhaseDuration>& totals);
