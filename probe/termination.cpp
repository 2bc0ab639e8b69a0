#include "probe/termination.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iostream>

namespace {

// The guard of this process, read by the handler.
std::atomic<TerminationGuard*> gActive{nullptr};
// How deep the running code is in probe sections, and whether a SIGTERM came inside one.
volatile sig_atomic_t gDepth = 0;
volatile sig_atomic_t gPending = 0;

void ClosePipe(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

}  // namespace

TerminationGuard::TerminationGuard(std::function<void()> finish) : mFinish(std::move(finish)), mPid(getpid()) {
    sigemptyset(&mPrevious.sa_mask);
    if (pipe2(mWake, O_CLOEXEC) != 0 || pipe2(mDone, O_CLOEXEC) != 0) {
        std::cout << " *** KOVA Instrumentation: no pipe for the handling of SIGTERM, a killed task loses its "
                     "last phases"
                  << std::endl;
        ClosePipe(mWake);
        ClosePipe(mDone);
        return;
    }
    // The thread starts with every signal blocked, so that SIGTERM always reaches
    // the program's own thread.
    sigset_t all, previousMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previousMask);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    const bool started = pthread_create(&mThread, &attributes, FinishingThread, this) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (!started) {
        std::cout << " *** KOVA Instrumentation: no thread for the handling of SIGTERM, a killed task loses its "
                     "last phases"
                  << std::endl;
        ClosePipe(mWake);
        ClosePipe(mDone);
        return;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    gActive = this;
    sigaction(SIGTERM, &action, &mPrevious);
}

TerminationGuard::~TerminationGuard() {
    if (mWake[1] < 0) return;
    sigaction(SIGTERM, &mPrevious, nullptr);
    gActive = nullptr;
    const char quit = 'q';
    if (write(mWake[1], &quit, 1) == 1) pthread_join(mThread, nullptr);
    ClosePipe(mWake);
    ClosePipe(mDone);
}

void TerminationGuard::Finish() {
    if (mFinished) return;
    mFinished = true;
    mFinish();
}

void* TerminationGuard::FinishingThread(void* self) {
    auto* guard = static_cast<TerminationGuard*>(self);
    char command = 0;
    ssize_t got;
    while ((got = read(guard->mWake[0], &command, 1)) < 0 && errno == EINTR) {
    }
    if (got == 1 && command == 't') {
        guard->Finish();
        const char done = 'd';
        while (write(guard->mDone[1], &done, 1) < 0 && errno == EINTR) {
        }
    }
    return nullptr;
}

void TerminationGuard::OnSignal(int signal) {
    // Only async-signal-safe calls here.
    const int savedErrno = errno;
    TerminationGuard* guard = gActive.load();
    if (guard == nullptr || getpid() != guard->mPid) {
        // A child that the program forked: the measurement is its parent's.
        if (guard != nullptr) sigaction(signal, &guard->mPrevious, nullptr);
        raise(signal);
        errno = savedErrno;
        return;
    }
    if (gDepth > 0) {
        gPending = 1;
        errno = savedErrno;
        return;
    }
    const char wake = 't';
    if (write(guard->mWake[1], &wake, 1) == 1) {
        pollfd done = {guard->mDone[0], POLLIN, 0};
        while (poll(&done, 1, FINISH_WAIT_MS) < 0 && errno == EINTR) {
        }
    }
    // The signal takes its earlier course once the handler returns.
    sigaction(signal, &guard->mPrevious, nullptr);
    raise(signal);
    errno = savedErrno;
}

TerminationGuard::Section::Section() { gDepth = gDepth + 1; }

TerminationGuard::Section::~Section() {
    for (;;) {
        if (gDepth == 1 && gPending) {
            // Still inside the section: a further SIGTERM is only noted.
            gPending = 0;
            if (TerminationGuard* guard = gActive.load()) {
                guard->Finish();
                sigaction(SIGTERM, &guard->mPrevious, nullptr);
            }
            raise(SIGTERM);
        }
        gDepth = gDepth - 1;
        // A SIGTERM between the test and the decrement found a section still open.
        if (gDepth > 0 || !gPending) return;
        gDepth = gDepth + 1;
    }
}
