// The analysis's own tables, records of the describe protocol like the probe's:
// the matched messages and the wait states of an experiment.
#pragma once
#include <describable.h>

#include <string>

// One message: the send phase, the receive phase that took it (nbr -1 when none did),
// and its times in µs since the master's start of measuring.
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
    void Describe(IOConvertor* ioc) override;
};

// One wait state: an idle phase, its pattern ("late_sender", "wrong_order",
// "unexplained"), how long it waited and the send phase that caused it (-1, -1 for
// an unexplained one).
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
