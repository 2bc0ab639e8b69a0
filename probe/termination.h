// Keeping a measurement when its process is ended by SIGTERM, which is how
// pvm_kill ends a task.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <functional>

// While one exists, a SIGTERM first runs finish (which stores what was measured)
// and then takes its earlier course: with the default action the process ends as
// killed by SIGTERM, as PVM expects of a killed task.
//
// finish never runs in the interrupted context, which may be anywhere (inside
// malloc, inside a database call): a thread started with every signal blocked
// sleeps on a pipe, and the handler only wakes it through that pipe and waits,
// with a time limit, for its answer on a second pipe. Meanwhile the interrupted
// thread stays inside the handler, so finish sees the probe's data as that thread
// left it. That is consistent only outside the probe's own code: the probe marks
// its code with Section, and a SIGTERM that arrives inside a section is noted and
// handled when the outermost section ends, by the thread that ran it, before the
// signal takes its course. So finish runs exactly once, and never while a phase or
// a batch is half made. The time limit bounds the wait should finish block on a
// lock that the interrupted code holds; the process then ends without it.
class TerminationGuard {
public:
    // Longest wait of the handler for finish, in milliseconds.
    static constexpr int FINISH_WAIT_MS = 30000;

    // Installs the handler of SIGTERM and starts the finishing thread. At most one
    // guard exists at a time.
    explicit TerminationGuard(std::function<void()> finish);
    // Restores the earlier handling of SIGTERM and ends the thread.
    ~TerminationGuard();
    TerminationGuard(const TerminationGuard&) = delete;
    TerminationGuard& operator=(const TerminationGuard&) = delete;

    // Marks the probe's own code for as long as it lives; sections may nest.
    class Section {
    public:
        Section();
        ~Section();
        Section(const Section&) = delete;
        Section& operator=(const Section&) = delete;
    };

private:
    static void OnSignal(int signal);
    static void* FinishingThread(void* guard);
    // Runs finish once, whichever thread gets there.
    void Finish();

    std::function<void()> mFinish;
    struct sigaction mPrevious;
    pid_t mPid;
    int mWake[2] = {-1, -1};
    int mDone[2] = {-1, -1};
    pthread_t mThread;
    bool mFinished = false;
};
