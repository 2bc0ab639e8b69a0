// Function objects applied by the parallel container algorithms.
#pragma once

#include "container/communication.h"

#include <unistd.h>

// Predicate that holds for values divisible by a divisor, with an optional sleep per
// test to simulate costlier work. The divisor and the sleep travel between tasks.
template <typename T>
class IsDivisibleBy : public Serialisable {
public:
    IsDivisibleBy(int divisor, int extraCompTime)
        : mDivisor(divisor), mExtraCompTime(extraCompTime), mElementsAreModified(false), mObjectIsModified(false) {}
    IsDivisibleBy(const IsDivisibleBy&) = default;

    bool ElementsAreModified() const { return mElementsAreModified; }
    bool ObjectIsModified() const { return mObjectIsModified; }

    void pack() override {
        pvm_pack(&mDivisor, 1);
        pvm_pack(&mExtraCompTime, 1);
    }
    void unpack() override {
        pvm_unpack(&mDivisor, 1);
        pvm_unpack(&mExtraCompTime, 1);
    }

    bool operator()(const T& parameter) const {
        if (mExtraCompTime > 0) usleep(mExtraCompTime);
        return parameter % mDivisor == 0;
    }

    int mDivisor;              // the divisor tested against
    int mExtraCompTime;        // extra work per test, in microseconds of sleep
    bool mElementsAreModified; // whether applying the object changes elements
    bool mObjectIsModified;    // whether applying the object changes the object
};

// Adds 7 to every value it is applied to and keeps the running sum of the results in
// one accumulator per process; a fixed busy loop per value simulates work.
template <typename T>
class sum_up {
public:
    void operator()(T& value) {
        value += 7;
        sum += value;
        for (volatile long spin = 0; spin < kWorkIterations; spin = spin + 1) {
        }
    }
    static T read_sum() { return sum; }

    static inline T sum = 0;

private:
    static constexpr long kWorkIterations = 100000;
};
