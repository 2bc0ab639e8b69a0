#include "ga/measure.h"

#include "kova_site.h"
#include "msql/msql.h"

#include <pvm3.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>

bool debug = false;

namespace {

const char* const DATABASE = "parallel_performance";
const char* const SERVER_ADDRESS = KOVA_MSQL_HOST;
const long long MICROSECONDS_PER_SECOND = 1000000;
const long SECONDS_PER_DAY = 86400;

CHRONO Now()
{
    CHRONO now;
    gettimeofday(&now, nullptr);
    return now;
}

// Microseconds from `from` to `to`, in 64-bit arithmetic.
TIME Elapsed(const CHRONO& from, const CHRONO& to)
{
    return static_cast<TIME>((to.tv_sec - from.tv_sec) * MICROSECONDS_PER_SECOND + (to.tv_usec - from.tv_usec));
}

// A column value as a 32-bit integer; a NULL column counts as 0.
int IntegerOf(const char* text)
{
    return text ? static_cast<int>(std::strtol(text, nullptr, 10)) : 0;
}

// A column value as text; a NULL column reads as the empty text.
const char* TextOf(const char* text)
{
    return text ? text : "";
}

// Prints a failure of the recorder and ends the process with status -1.
[[noreturn]] void Fail(const std::string& message)
{
    std::cout << message << std::endl;
    std::exit(-1);
}

// The value of a required environment variable; ends the process when it is unset.
const char* RequiredEnvironment(const char* name, const char* purpose)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        Fail(std::string("The environment variable ") + name + " is not set: " + purpose);
    return value;
}

const char* UserName()
{
    return RequiredEnvironment("USER", "cannot tell whose experiment this is");
}

// Sends a statement; returns false and leaves the error in msqlErrMsg on failure.
bool Send(int sock, const std::string& statement)
{
    return msqlQuery(sock, statement.c_str()) != -1;
}

void PrintQueryFailure(const std::string& statement)
{
    std::cout << "query failed: " << statement << std::endl << msqlErrMsg << std::endl;
}

// Sends a statement that must succeed.
void Execute(int sock, const std::string& statement)
{
    if (!Send(sock, statement)) {
        PrintQueryFailure(statement);
        std::exit(-1);
    }
}

// The rows of a SELECT that must succeed, released when the object goes.
class Rows
{
public:
    Rows(int sock, const std::string& statement)
    {
        Execute(sock, statement);
        mResult = msqlStoreResult();
    }
    ~Rows()
    {
        if (mResult)
            msqlFreeResult(mResult);
    }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;

    int Count() const { return mResult ? mResult->numRows : 0; }
    // The next row, or null after the last.
    m_row Next() { return mResult ? msqlFetchRow(mResult) : nullptr; }

private:
    m_result* mResult = nullptr;
};

// The experiment's Number_of_CPUs column, which must be a positive count.
int RequireMachines(int experimentID, const char* column)
{
    const int machines = IntegerOf(column);
    if (machines <= 0) {
        std::ostringstream message;
        message << "Experiment " << experimentID << " has " << machines
                << " CPUs in the database: there is no parallel run to measure against";
        Fail(message.str());
    }
    return machines;
}

[[noreturn]] void FailMissingExperiment(int experimentID)
{
    std::ostringstream message;
    message << "Experiment " << experimentID << " is not in the table experiments of database " << DATABASE;
    Fail(message.str());
}

} // namespace

const char* thisMachineName()
{
    return RequiredEnvironment("HOST", "cannot tell which host this process runs on");
}

int connectToDatabase()
{
    const int sock = msqlConnect(SERVER_ADDRESS);
    if (sock == -1) {
        std::cout << "Failed to connect to the database server " << SERVER_ADDRESS << std::endl << msqlErrMsg;
        std::exit(-1);
    }
    if (msqlSelectDB(sock, DATABASE) == -1) {
        std::cout << "Failed to select database " << DATABASE << " on server" << SERVER_ADDRESS << std::endl
                  << msqlErrMsg << std::endl;
        std::exit(-1);
    }
    return sock;
}

measure::measure() = default;

measure::measure(int experimentID)
{
    mSock = connectToDatabase();
    mExperimentID = experimentID;
    mIsSeqAlg = true;
    mCompDiff = 0;
    mTimeStart = Now();
}

void measure::start(const std::string& exp_name, int machines, int W, const std::string& comment_str)
{
    // Both are needed later (to find the experiment, to name the host of the summary
    // row): check them before anything is stored.
    UserName();
    thisMachineName();

    mIsSeqAlg = false;
    mFaseCnt = 0;
    mP = machines;
    mW = W;
    mMyTid = pvm_mytid();
    mParentTid = pvm_parent();
    mIsMaster = mParentTid == PvmNoParent;

    mSock = connectToDatabase();
    mExperimentID = LastExperimentID();
    if (mIsMaster) {
        mCPUnbr = 0;
        ++mExperimentID;
        WriteExperiment(exp_name, comment_str);
    } else {
        mCPUnbr = 1;
        std::cout << "I'll use exp #" << mExperimentID << std::endl;
        mP = GetNbrOfMachinesFromMaster();
    }
    mPartDiff = mCommDiff = mCompDiff = mSynchDiff = mBlockDiff = 0;
    mTimeStart = Now();
    mFirstTimeStart = mTimeStart;
    SynchroWithMaster();
}

int measure::LastExperimentID()
{
    std::string statement = "SELECT Experiment_No FROM experiments ";
    if (!mIsMaster)
        statement += std::string("WHERE user='") + UserName() + "' ";
    statement += "ORDER BY Experiment_No DESC";
    Rows rows(mSock, statement);
    const m_row first = rows.Next();
    return first ? IntegerOf(first[0]) : 0;
}

void measure::WriteExperiment(const std::string& ex_name, const std::string& comment_str)
{
    const std::string user = UserName();
    const time_t now = time(nullptr);
    const std::string datum = asctime(localtime(&now));
    std::cout << "I'll create experiment nr " << mExperimentID << ": " << comment_str << std::endl
              << "user : " << user << std::endl;
    std::ostringstream statement;
    statement << "INSERT INTO experiments VALUES (" << mExperimentID << "," << mP << ",'" << user << "','"
              << datum << "','" << ex_name << "','" << comment_str << "',0,0,0,0,0,0,0," << mW << ")";
    Execute(mSock, statement.str());
}

int measure::GetNbrOfMachinesFromMaster()
{
    std::ostringstream statement;
    statement << "SELECT Number_of_CPUs  FROM experiments WHERE Experiment_No=" << mExperimentID;
    Rows rows(mSock, statement.str());
    const m_row first = rows.Next();
    if (!first)
        FailMissingExperiment(mExperimentID);
    const int machines = RequireMachines(mExperimentID, first[0]);
    if (debug)
        std::cout << "number of cpu's = " << machines << std::endl;
    return machines;
}

void measure::SynchroWithMaster()
{
    mDelta = CHRONO{};
    if (mIsMaster) {
        if (debug)
            std::cout << std::endl << "no synchro needed, this is the same machine as the master" << std::endl;
        return;
    }
    const int parentHost = pvm_tidtohost(mParentTid);
    CHRONO masterClock;
    if (pvm_hostsync(parentHost, &masterClock, &mDelta) < 0) {
        mDelta = CHRONO{};
        if (debug)
            std::cout << "Host " << thisMachineName() << " Failed to synchronise time with Master " << mParentTid
                      << " on host " << parentHost << "!" << std::endl
                      << "Using a TimeDiff of 0 secs and 0 usecs!" << std::endl;
    }
}

TIME measure::view_chrono()
{
    return Elapsed(mTimeStart, Now());
}

const char* measure::AddToTotal(FASE fase, TIME diff)
{
    switch (fase) {
    case part: mPartDiff += diff; return "part";
    case comm: mCommDiff += diff; return "comm";
    case comp: mCompDiff += diff; return "comp";
    case sync: mSynchDiff += diff; return "sync";
    case blok: mBlockDiff += diff; return "blok";
    }
    return "";
}

TIME measure::split_chrono(FASE fase, int Waarde, int mTid, bool mSend)
{
    ++mFaseCnt;
    const CHRONO now = Now();
    const TIME diff = Elapsed(mTimeStart, now);
    mTimeStart = now;
    const char* name = AddToTotal(fase, diff);

    if (debug) {
        const TIME seconds = diff / MICROSECONDS_PER_SECOND, microseconds = diff % MICROSECONDS_PER_SECOND;
        if (mIsMaster)
            std::cout << "I, the master, am exiting a " << name << "-phase with a length of  " << seconds << "s "
                      << microseconds << "us" << std::endl
                      << "The value given = " << Waarde << ", the phasecounter= " << mFaseCnt << std::endl;
        else
            std::cout << "I am slave with tid=" << mMyTid << ", exiting a " << name << "-phase with a length  of "
                      << seconds << "s " << microseconds << "us" << std::endl
                      << "The value given = " << Waarde << ", the phasecounter: " << mFaseCnt << std::endl;
    }

    for (;;) {
        std::ostringstream statement;
        statement << "INSERT INTO time_measurements VALUES ('" << name << "'," << diff << "," << mExperimentID
                  << "," << mCPUnbr << "," << mFaseCnt << "," << Waarde << "," << mTid << "," << (mSend ? 1 : 0)
                  << ")";
        if (Send(mSock, statement.str()))
            break;
        // A first phase row that collides with another process's row means that CPU
        // number is taken: move on to the next one, but never beyond the machine count,
        // so a server that refuses every insert cannot keep the process looping.
        if (mFaseCnt == 1 && mCPUnbr < mP) {
            if (debug)
                PrintQueryFailure(statement.str());
            ++mCPUnbr;
            if (debug)
                std::cout << "I'm changing in other CPU No" << std::endl
                          << "My new CPU number is " << mCPUnbr << std::endl;
            continue;
        }
        PrintQueryFailure(statement.str());
        break;
    }
    return diff;
}

measure::~measure()
{
    if (mSock == -1) {
        std::cout << "measure ERROR: don't call the destructor of measure twice !!" << std::endl;
        return;
    }
    if (mIsSeqAlg) {
        StoreSequentialTime();
    } else {
        if (debug)
            std::cout << "destruct begint......" << std::endl;
        WriteAnalysisToDatabase();
        CalculateAndWriteTotals();
        if (debug)
            std::cout << (mIsMaster ? "De Master heeft gedaan " : "deze slave heeft gedaan ") << std::endl;
    }
    msqlClose(mSock);
    // A volatile store: the compiler would otherwise drop a store into an object whose
    // life ends here, and a second destruction could not tell it is one.
    *static_cast<volatile int*>(&mSock) = -1;
}

void measure::StoreSequentialTime()
{
    const CHRONO now = Now();
    const TIME mSeq_Time = Elapsed(mTimeStart, now);
    std::cout << "seq time is " << (now.tv_sec - mTimeStart.tv_sec) << " seconds, and "
              << (now.tv_usec - mTimeStart.tv_usec) << " useconds" << std::endl
              << " or " << mSeq_Time << std::endl;

    std::ostringstream select;
    select << "SELECT calculation_time, partitioning_time, communication_time, synchronisation_time, "
              "blocking_time, Number_of_CPUs, Experiment_name, user, datum, Comments  FROM experiments  "
              "WHERE Experiment_No = "
           << mExperimentID << " ";
    Rows rows(mSock, select.str());
    const m_row row = rows.Next();
    if (!row)
        FailMissingExperiment(mExperimentID);

    long long som = 0;
    for (int column = 0; column < 5; ++column)
        som += IntegerOf(row[column]);
    const int cpus = RequireMachines(mExperimentID, row[5]);
    const long long mPar_Time = som / cpus;
    if (debug) {
        const char* labels[] = {"tot comp =", "tot par =", "tot comm =", "tot synch =", "tot blok ="};
        for (int column = 0; column < 5; ++column)
            std::cout << labels[column] << IntegerOf(row[column]) << std::endl;
        std::cout << "totale som = " << som << std::endl << "/ " << cpus << " == " << mPar_Time << std::endl;
    }
    if (mPar_Time <= 0) {
        std::ostringstream message;
        message << "Experiment " << mExperimentID
                << " has no parallel time stored (its totals are 0): no speedup can be computed";
        Fail(message.str());
    }

    const float speedup = static_cast<float>(mSeq_Time) / mPar_Time;
    std::cout << "speedup = " << speedup << std::endl;
    std::ostringstream update;
    update << "UPDATE experiments SET sequential_time=" << mSeq_Time << ", speed_up=" << speedup
           << " WHERE Experiment_No=" << mExperimentID;
    Execute(mSock, update.str());
    std::cout << "Experiment " << mExperimentID << " with name " << TextOf(row[6]) << " of user " << TextOf(row[7])
              << " and comment ='" << TextOf(row[9]) << "'" << std::endl
              << "made on " << TextOf(row[8]) << " is updated for its sequential time and speedup in database "
              << std::endl;
}

void measure::WriteAnalysisToDatabase()
{
    const char* host = thisMachineName();
    std::cout << "Local starttime = " << mFirstTimeStart.tv_sec << " s " << mFirstTimeStart.tv_usec
              << " us; Delta with master = " << mDelta.tv_sec << "s " << mDelta.tv_usec << "us" << std::endl;
    mFirstTimeStart.tv_sec -= mDelta.tv_sec;
    mFirstTimeStart.tv_usec -= mDelta.tv_usec;
    std::cout << "synchroniseerde start = " << mFirstTimeStart.tv_sec << " s en " << mFirstTimeStart.tv_usec
              << " us" << std::endl;

    // Seconds since midnight on the master's clock, with the microseconds made
    // non-negative; the day wraps so that a start just after midnight stays in range.
    long seconds = mFirstTimeStart.tv_sec;
    long microseconds = mFirstTimeStart.tv_usec;
    if (microseconds < 0) {
        seconds -= 1;
        microseconds += MICROSECONDS_PER_SECOND;
    }
    seconds = (seconds % SECONDS_PER_DAY + SECONDS_PER_DAY) % SECONDS_PER_DAY;
    std::cout << "Process started on host " << host << "(met cpunr " << mCPUnbr << ") = " << seconds << " s "
              << microseconds << " us" << std::endl;

    std::ostringstream statement;
    statement << "INSERT INTO analysis  VALUES (" << mExperimentID << ", '" << host << "'  ," << mCPUnbr << ","
              << mCompDiff << "," << mPartDiff << "," << mCommDiff << "," << mSynchDiff << "," << mBlockDiff << ","
              << seconds << "," << microseconds << "," << mMyTid << ")";
    const int ret = msqlQuery(mSock, statement.str().c_str());
    if (ret == -1) {
        std::cout << "Couldn't write analysis to database, cpunbr:" << mCPUnbr << " ret = " << ret << std::endl;
        PrintQueryFailure(statement.str());
        std::exit(-1);
    }
    if (debug)
        std::cout << "analysis written into database for this slave" << std::endl;
}

void measure::CalculateAndWriteTotals()
{
    // Every process that finds enough summary rows writes the totals, so one that
    // counted fewer rows could write after one that counted them all. Each process
    // therefore counts again after its update and computes anew when rows came in.
    int counted = -1;
    for (;;) {
        std::ostringstream select;
        select << "SELECT calculating, partitioning, communication, synchronisation, blocking, CPU_No FROM analysis "
                  "WHERE Experiment_No = "
               << mExperimentID;
        Rows rows(mSock, select.str());
        mNbrProcesses = rows.Count();
        if (mNbrProcesses == counted)
            return;
        if (debug)
            std::cout << "p = " << mP << ";" << "nbr processes = " << mNbrProcesses << ";" << std::endl;
        if (mNbrProcesses < mP)
            return;
        if (debug)
            std::cout << "ik doe de berekeningen" << std::endl;
        counted = mNbrProcesses;

        mCompDiff = mPartDiff = mCommDiff = mSynchDiff = mBlockDiff = 0;
        mTp = 0;
        TIME* totals[] = {&mCompDiff, &mPartDiff, &mCommDiff, &mSynchDiff, &mBlockDiff};
        while (const m_row row = rows.Next()) {
            long long rowSum = 0;
            for (int column = 0; column < 5; ++column) {
                const int value = IntegerOf(row[column]);
                *totals[column] += value;
                rowSum += value;
            }
            if (TextOf(row[5])[0] == '0')
                mTp = static_cast<float>(rowSum);
        }
        if (mTp == 0)
            return;

        mTs = static_cast<float>(mCompDiff);
        const float speedup = mTs / mTp;
        std::ostringstream update;
        update << "UPDATE experiments SET calculation_time=" << mCompDiff << ", partitioning_time=" << mPartDiff
               << ", communication_time=" << mCommDiff << ", synchronisation_time=" << mSynchDiff
               << ", blocking_time=" << mBlockDiff << ", speed_up=" << speedup
               << " WHERE Experiment_No=" << mExperimentID;
        Execute(mSock, update.str());
        std::cout << "Experiment " << mExperimentID << " is updated in database for CPU nbr " << mCPUnbr << std::endl
                  << "I've calculated a speedup of " << speedup << " (Ts=" << mTs << "us, Tp=" << mTp << "us)"
                  << std::endl
                  << "This speedup is only an aproximation, run your program also in sequential mode for a "
                     "correct calculation!!"
                  << std::endl;
    }
}
