// Timing and host utilities shared by the probe and the measured programs:
// the microsecond time type, a wall-clock stopwatch, date, host and user names,
// and the fatal-error exit.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ostream>
#include <string>

// A count of microseconds. long long, because that is the 64-bit type that the
// describe protocol stores.
using TIME = long long;
using UINT = std::uint32_t;

// The wall-clock time of now, as gettimeofday gives it.
timeval CurrentTime();

// Wall-clock stopwatch over gettimeofday, running from construction. Copies are
// independent stopwatches. The overloads taking a clock reading let a caller
// read the clock once and advance several stopwatches to the same instant.
class Chrono {
public:
    // When the stopwatch was last started.
    timeval mStartTime;
    // The last elapsed time computed, in microseconds; frozen while stopped.
    TIME mTimeValue;
    // True while stopped.
    bool mStopped;

    Chrono();

    // Elapsed microseconds since the start (the frozen value when stopped).
    TIME GetTime();
    TIME GetTime(const timeval& now);
    // Freezes the stopwatch and returns the elapsed time.
    TIME Stop();
    // Returns the lap time up to now and starts again from now, the same instant,
    // so that consecutive laps tile the time line without gaps.
    TIME Restart();
    TIME Restart(const timeval& now);
    timeval GetStartTime() const;
};

// Writes the elapsed time as "2s 500000us".
std::ostream& operator<<(std::ostream& out, Chrono chrono);
// Writes a timeval as "<sec>s <usec>us".
std::ostream& operator<<(std::ostream& out, const timeval& time);

// Local date and time of now in asctime's 24-character form, without newline.
std::string DateTime();
// Short host name (cut at the first '.'), the whole name when it starts with a
// number, "UNKOWN_HOST" when it cannot be read.
std::string ThisMachineName();
// Login name of the user running the process, "UNKNOWN_USER" when there is none.
std::string GetUserID();

// Fatal exit of the whole system: one "error ..." line on standard output naming
// the file and line when given, then exit status 255.
[[noreturn]] void error(const std::string& message, const char* file, int line);
