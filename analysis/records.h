// The analysis's own tables, records of the describe protocol like the probe's:
// the matched messages and the wait states of an experiment.
#pragma once
#include "persist/describable.h"

#include <string>

// One message: the send phase, the receive phase that took it (nbr -1 when none did),
// its times in µs since the master's start of measuring, the source and tag the
// receive asked for (-1 any, -2 not known) and its length in bytes (0 not known).
class MessageRecord : public Describable {
public:
    int mExpID = 0;
    int mSendProcessID = 0;
    int mSendNbr = 0;
    int mRecvProcessID = 0;
    int mRecvNbr = -1;
    long long mSendTime = 0;
    long long mRecvTime = 0;
    long long mDelay = 0;
    int mAskedSource = -2;
    int mAskedTag = -2;
    long long mBytes = 0;
    void Describe(IOConvertor* ioc) override;
};

// One wait state: a phase, its pattern (WaitPatternName: "late_sender",
// "wrong_order_same_source", "wait_at_barrier", ...; a sync phase may have two), how
// long it waited and the phase that caused it (the send, or the collective member
// waited for; -1, -1 for none).
class WaitStateRecord : public Describable {
public:
    int mExpID = 0;
    int mProcessID = 0;
    int mNbr = 0;
    std::string mPattern;
    long long mWaitTime = 0;
    int mCauseProcessID = -1;
    int mCauseNbr = -1;
    void Describe(IOConvertor* ioc) override;
};
