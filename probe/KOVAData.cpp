#include "probe/KOVAData.h"

#include <algorithm>

const char* const gBasicPhaseTypeStrings[NBR_BASIC_PHASE_TYPES] = {
    "comp",  "comm",  "idle",  "work", "overhead", "comm_send",         "comm_recv",
    "spawn", "part",  "sync",  "delay", "begin",   "end", "end phase details", "restart phase details"};

const int gBasicPhaseTypeParents[NBR_BASIC_PHASE_TYPES] = {-1, -1, -1, PH_COMP, PH_COMP, PH_COMM, PH_COMM,
                                                           PH_OVERHEAD, PH_OVERHEAD, PH_OVERHEAD, -1, -1,
                                                           -1, -1, -1};

PhaseType::PhaseType(int ID, const std::string& name, int parentTypeID)
    : mID(ID), mName(name), mParentTypeID(parentTypeID) {}

void PhaseType::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("PhaseTypes", "");
    ioc->DescribeObjectID(1, "ID");
    ioc->DescribeAttribute(mID, "ID", false);
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(mParentTypeID, "parentTypeID", false);
    ioc->DescribeAttribute(mColour, "colour", false);
}

AppParameter::AppParameter(int appID, const std::string& name, PARAMETER_TYPE_EN type, const std::string& comment)
    : mAppID(appID), mName(name), mType(type), mComment(comment) {}

bool AppParameter::operator==(const AppParameter& other) const {
    return mAppID == other.mAppID && mName == other.mName;
}

void AppParameter::Describe(IOConvertor* ioc) {
    // The type is stored as an int; a read fills only this copy, so a parameter
    // read from the database keeps the type it was constructed with.
    int type = mType;
    ioc->DescribeClassName("AppParameter", "");
    ioc->DescribeObjectID(2, "appID", "name");
    ioc->DescribeAttribute(mAppID, "appID", false);
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(type, "type", false);
    ioc->DescribeAttribute(mComment, "comment", false);
}

ExpParValue::ExpParValue(int expID, const std::string& parName, int appID, int value)
    : mExpID(expID), mParName(parName), mAppID(appID), mValue_int(value) {}

ExpParValue::ExpParValue(int expID, const std::string& parName, int appID, double value)
    : mExpID(expID), mParName(parName), mAppID(appID), mValue_double(value) {}

ExpParValue::ExpParValue(int expID, const std::string& parName, int appID, const std::string& value)
    : mExpID(expID), mParName(parName), mAppID(appID), mValue_string(value) {}

void ExpParValue::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("ExpParValue", "");
    ioc->DescribeObjectID(2, "expID", "parName");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mParName, "parName", false);
    ioc->DescribeAttribute(mValue_int, "valInt", false);
    ioc->DescribeAttribute(mValue_double, "valDouble", false);
    ioc->DescribeAttribute(mValue_string, "valString", false);
}

PhaseDuration::PhaseDuration(int phaseTypeID, int expID, int processID)
    : mExpID(expID), mProcessID(processID), mPhaseTypeID(phaseTypeID) {}

void PhaseDuration::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("PhaseDurations", "");
    ioc->DescribeObjectID(3, "expID", "processID", "phaseTypeID");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mProcessID, "processID", false);
    ioc->DescribeAttribute(mPhaseTypeID, "phaseTypeID", false);
    ioc->DescribeAttribute(mDuration, "duration", false);
    ioc->DescribeAttribute(mRatio, "ratio", false);
}

Process::Process(int expID, int processID, const std::string& processor, int myTid, int parentTid)
    : mExpID(expID), mID(processID), mProcessor(processor), mMyTid(myTid), mParentTid(parentTid) {
    mPhaseTypes.reserve(NBR_BASIC_PHASE_TYPES);
    mPhaseDurations.reserve(NBR_BASIC_PHASE_TYPES);
    for (int type = 0; type < NBR_BASIC_PHASE_TYPES; ++type) {
        mPhaseTypes.emplace_back(type, gBasicPhaseTypeStrings[type], gBasicPhaseTypeParents[type]);
        mPhaseDurations.emplace_back(type, expID, processID);
    }
    mPhaseTypeCtr = NBR_BASIC_PHASE_TYPES;
}

int Process::GetNbrPhaseTypes() const { return mPhaseTypeCtr; }

int Process::GetPhaseTypeID(const std::string& name) const {
    for (const PhaseType& type : mPhaseTypes)
        if (type.mName == name) return type.mID;
    return -1;
}

int Process::AddPhaseType(const std::string& name, int ParentPhaseTypeID) {
    const int existing = GetPhaseTypeID(name);
    if (existing != -1) return existing;
    const int newID = mPhaseTypeCtr;
    const int parent = ParentPhaseTypeID < mPhaseTypeCtr ? ParentPhaseTypeID : -1;
    mPhaseTypes.emplace_back(newID, name, parent);
    mPhaseDurations.emplace_back(newID, mExpID, mID);
    ++mPhaseTypeCtr;
    return newID;
}

int Process::InitPhaseDurations(int nbr) {
    for (int type = 0; type < nbr; ++type) mPhaseDurations.emplace_back(type, mExpID, mID);
    return nbr;
}

void Process::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("Processes", "");
    ioc->DescribeObjectID(2, "expID", "ID");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mID, "ID", false);
    ioc->DescribeAttribute(mProcessor, "processor", false);
    ioc->DescribeAttribute(mMyTid, "pvmTid", false);
    ioc->DescribeAttribute(mStartTime_sec, "startTimeSec", false);
    ioc->DescribeAttribute(mStartTime_usec, "startTimeMicroSec", false);
}

ClockOffset::ClockOffset(int expID, int processID, TIME startOffset, TIME endOffset, TIME endTime,
                         TIME startBound, TIME endBound)
    : mExpID(expID), mProcessID(processID), mStartOffset(startOffset), mEndOffset(endOffset), mEndTime(endTime),
      mStartBound(startBound), mEndBound(endBound) {}

void ClockOffset::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("ClockOffsets", "");
    ioc->DescribeObjectID(2, "expID", "processID");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mProcessID, "processID", false);
    ioc->DescribeAttribute(mStartOffset, "startOffset", false);
    ioc->DescribeAttribute(mEndOffset, "endOffset", false);
    ioc->DescribeAttribute(mEndTime, "endTime", false);
    ioc->DescribeAttribute(mStartBound, "startBound", false);
    ioc->DescribeAttribute(mEndBound, "endBound", false);
}

Experiment::Experiment(Application* app, const std::string& date, const std::string& comment, int p, int W)
    : mApp(app), mName(app->mName), mUser(app->mUser), mDate(date), mComment(comment), mP(p), mW(W),
      mNbrProcesses(1) {}

Experiment::Experiment(const std::string& name, const std::string& user, const std::string& date,
                       const std::string& comment, int p, int W)
    : mName(name), mUser(user), mDate(date), mComment(comment), mP(p), mW(W), mNbrProcesses(1) {}

int Experiment::InitPhaseDurations(int nbr) {
    for (int type = 0; type < nbr; ++type) mPhaseDurations.emplace_back(type, mID, -1);
    return nbr;
}

void Experiment::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("Experiments", "");
    ioc->DescribeObjectID(1, "ID");
    ioc->DescribeAttribute(mID, "ID", false);
    ioc->DescribeAttribute(mProject, "project", false);
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(mVersion, "version", false);
    ioc->DescribeAttribute(mUser, "user", false);
    ioc->DescribeAttribute(mDate, "date", false);
    ioc->DescribeAttribute(mComment, "comment", false);
    ioc->DescribeAttribute(mP, "p", false);
    ioc->DescribeAttribute(mW, "W", false);
    ioc->DescribeAttribute(mNbrProcesses, "nbrProcesses", false);
    ioc->DescribeAttribute(mTp, "Tp", false);
    ioc->DescribeAttribute(mTs, "Ts", false);
    ioc->DescribeAttribute(mSpeedup, "speedup", false);
    ioc->DescribeAttribute(mEfficiency, "efficiency", false);
    ioc->DescribeAttribute(mStatusData, "statusData", false);
    ioc->DescribeAttribute(mErrorFlags, "errorFlags", false);
    ioc->DescribeAttribute(mErrors, "errors", false);
}

Application::Application(const std::string& user, const std::string& name, const std::string& project,
                         const std::string& version, const std::string& comment)
    : mUser(user), mProject(project), mName(name), mVersion(version), mComment(comment) {}

bool Application::AddAppParameter(const std::string& name, AppParameter::PARAMETER_TYPE_EN type,
                                  const std::string& comment) {
    AppParameter parameter(mID, name, type, comment);
    if (std::find(mAppPars.begin(), mAppPars.end(), parameter) != mAppPars.end()) return false;
    mAppPars.push_back(parameter);
    return true;
}

void Application::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("Applications", "");
    ioc->DescribeObjectID(1, "ID");
    ioc->DescribeAttribute(mID, "ID", false);
    ioc->DescribeAttribute(mProject, "project", false);
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(mVersion, "version", false);
    ioc->DescribeAttribute(mUser, "user", false);
    ioc->DescribeAttribute(mComment, "comment", false);
}

StandardDatabase& operator<<(StandardDatabase& db, std::vector<PhaseDuration>& totals) {
    DbConvertor convertor(&db);
    for (PhaseDuration& total : totals)
        if (total.mDuration != 0) convertor.WriteObj(total);
    return db;
}

StandardDatabase& operator>>(StandardDatabase& db, std::vector<PhaseDuration>& totals) {
    DbConvertor convertor(&db);
    PhaseDuration prototype;
    const std::string query = convertor.CreateSelectQuery(prototype, WhereClause::msClause);
    WhereClause::msClause.clear();
    MYSQL_RES* result = db.QueryRows(query);
    if (result == nullptr) return db;
    std::size_t index = 0;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (index == totals.size()) totals.emplace_back();
        convertor.ReadFromRow(totals[index++], row);
    }
    mysql_free_result(result);
    return db;
}
