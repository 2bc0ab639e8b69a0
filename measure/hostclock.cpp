#include "measure/hostclock.h"

#include <pvm3.h>

#include <sys/time.h>

namespace recording {
namespace {

long long Microseconds(const timeval& time) { return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec; }

}  // namespace

ClockOffset MeasurePvmClockOffset(int masterHost, int me) {
    ClockOffset best;
    if (masterHost <= 0 || masterHost == pvm_tidtohost(me)) return best;
    long long shortest = -1;
    for (int sample = 0; sample < 12; ++sample) {
        if (sample >= 3 && shortest <= 1000) break;
        timeval before, after, clock, delta;
        gettimeofday(&before, nullptr);
        const int result = pvm_hostsync(masterHost, &clock, &delta);
        gettimeofday(&after, nullptr);
        if (result != 0) break;
        const long long roundTrip = Microseconds(after) - Microseconds(before);
        if (shortest < 0 || roundTrip < shortest) {
            shortest = roundTrip;
            best.offset = Microseconds(delta);
        }
    }
    best.bound = shortest < 0 ? 0 : (shortest + 1) / 2;
    return best;
}

}  // namespace recording
