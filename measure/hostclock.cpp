#include "measure/hostclock.h"

#include <pvm3.h>

#include <sys/time.h>

namespace recording {
namespace {

long long Microseconds(const timeval& time) { return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec; }

}  // namespace

ClockOffset OffsetToHost(int host) {
    ClockOffset best;
    long long shortest = -1;
    for (int sample = 0; sample < 12; ++sample) {
        if (sample >= 3 && shortest <= 1000) break;
        timeval before, after, clock, delta;
        gettimeofday(&before, nullptr);
        const int result = pvm_hostsync(host, &clock, &delta);
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

std::map<int, ClockOffset> OffsetsMeasuredFromHere(const std::vector<int>& tasks) {
    std::map<int, ClockOffset> offsets;
    if (tasks.empty()) return offsets;
    const int here = pvm_tidtohost(pvm_mytid());
    std::map<int, ClockOffset> ofHost;
    for (int tid : tasks) {
        const int host = pvm_tidtohost(tid);
        if (host != here && !ofHost.count(host)) {
            ClockOffset offset = OffsetToHost(host);
            // Measured from the master's host: the task's host's clock minus this one's.
            offset.offset = -offset.offset;
            ofHost[host] = offset;
        }
        offsets[tid] = host == here ? ClockOffset() : ofHost[host];
    }
    return offsets;
}

}  // namespace recording
