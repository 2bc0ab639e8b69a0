// Tests of the timing and host utilities: stopwatch, time output, date, host and
// user names, and the fatal-error exit.
#include "probe/tests/probe_test_support.h"

#include "probe/standardlib.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <unistd.h>

#include <ctime>
#include <sstream>

namespace {

timeval At(long sec, long usec) { return timeval{sec, usec}; }

std::string Printed(const Chrono& chrono) {
    std::ostringstream out;
    out << chrono;
    return out.str();
}

}  // namespace

TEST(ProbeChrono, ElapsedTimeIsComputedIn64BitsFromUnnormalisedDifferences) {
    Chrono chrono;
    chrono.mStartTime = At(100, 900000);
    EXPECT_EQ(chrono.GetTime(At(101, 100000)), 200000);
    // Three thousand seconds overflow 32 bits when counted in microseconds.
    EXPECT_EQ(chrono.GetTime(At(3100, 900000)), 3000000000LL);
    EXPECT_EQ(chrono.mTimeValue, 3000000000LL);
}

TEST(ProbeChrono, StoppedStopwatchKeepsItsValue) {
    Chrono chrono;
    chrono.mStartTime = At(10, 0);
    chrono.GetTime(At(12, 500));
    chrono.mStopped = true;
    EXPECT_EQ(chrono.GetTime(), 2000500);
    EXPECT_EQ(chrono.GetTime(At(50, 0)), 2000500);
    EXPECT_EQ(chrono.Stop(), 2000500);
}

TEST(ProbeChrono, RestartReturnsTheLapAndStartsAtTheSameInstant) {
    Chrono chrono;
    chrono.mStartTime = At(5, 0);
    EXPECT_EQ(chrono.Restart(At(6, 250000)), 1250000);
    EXPECT_EQ(chrono.mTimeValue, 1250000);
    EXPECT_EQ(chrono.GetStartTime().tv_sec, 6);
    EXPECT_EQ(chrono.GetStartTime().tv_usec, 250000);
    // Laps taken from the same readings tile the time line: they add up exactly.
    EXPECT_EQ(chrono.Restart(At(7, 0)) + chrono.Restart(At(9, 1)), At(9, 1).tv_sec * 1000000 + 1 - 6250000);
}

TEST(ProbeChrono, RestartAfterStopReturnsTheFrozenValueAndRunsFromNow) {
    Chrono chrono;
    usleep(20000);
    const TIME frozen = chrono.Stop();
    usleep(20000);
    EXPECT_EQ(chrono.Restart(), frozen);
    EXPECT_FALSE(chrono.mStopped);
    EXPECT_LT(chrono.GetTime(), 10000);
}

TEST(ProbeChrono, StreamOutputInSecondsAndMicroseconds) {
    Chrono chrono;
    chrono.mStopped = true;
    chrono.mTimeValue = 2500000;
    EXPECT_EQ(Printed(chrono), "2s 500000us");
    chrono.mTimeValue = 999999;
    EXPECT_EQ(Printed(chrono), "0s 999999us");
    chrono.mTimeValue = 1000000;
    EXPECT_EQ(Printed(chrono), "1s 0us");
    chrono.mTimeValue = -1500000;
    EXPECT_EQ(Printed(chrono), "-1s -500000us");

    std::ostringstream out;
    out << At(12, 34);
    EXPECT_EQ(out.str(), "12s 34us");
}

TEST(ProbeUtilities, DateTimeHasTheAsctimeForm) {
    const time_t before = time(nullptr);
    const std::string date = DateTime();
    ASSERT_EQ(date.size(), 24u) << date;
    tm parsed{};
    ASSERT_NE(strptime(date.c_str(), "%a %b %e %H:%M:%S %Y", &parsed), nullptr) << date;
    parsed.tm_isdst = -1;
    EXPECT_LE(std::abs(std::difftime(mktime(&parsed), before)), 2.0) << date;
}

TEST(ProbeUtilities, UserIsTheLoginNameOfTheEffectiveUser) {
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(GetUserID(), entry->pw_name);
}

TEST(ProbeUtilities, HostNameIsCutAtTheFirstDotUnlessNumeric) {
    // Each name is set in a private host-name namespace of a child process.
    auto nameAs = [](const std::string& hostName) {
        return RunInChild([&] {
            if (unshare(CLONE_NEWUTS) != 0 || sethostname(hostName.c_str(), hostName.size()) != 0) {
                printf("cannot set the host name");
                return;
            }
            printf("%s", ThisMachineName().c_str());
        });
    };
    const ChildResult dotted = nameAs("alpha.example.org");
    if (dotted.output == "cannot set the host name") GTEST_SKIP() << "no permission to set a host name here";
    EXPECT_EQ(dotted.output, "alpha");
    EXPECT_EQ(nameAs("10.77.0.2").output, "10.77.0.2");
    EXPECT_EQ(nameAs("node3").output, "node3");
}

TEST(ProbeUtilities, ErrorPrintsOneLineAndEndsWithStatus255) {
    const ChildResult bare = RunInChild([] { error("something broke", "", 5); });
    EXPECT_TRUE(bare.exited);
    EXPECT_EQ(bare.exitCode, 255);
    EXPECT_EQ(bare.output, "error something broke\n");

    const ChildResult withFile = RunInChild([] { error("in ReceiveExpID", "KOVAInstrumentation", 0); });
    EXPECT_EQ(withFile.exitCode, 255);
    EXPECT_EQ(withFile.output, "error in ReceiveExpID in file KOVAInstrumentation\n");

    const ChildResult withLine = RunInChild([] { error("in ReceiveExpID", "KOVAInstrumentation", 496); });
    EXPECT_EQ(withLine.exitCode, 255);
    EXPECT_EQ(withLine.output, "error in ReceiveExpID at line 496 of file KOVAInstrumentation\n");
}
