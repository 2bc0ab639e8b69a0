#include "analysis/records.h"

void MessageRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("Messages", "");
    ioc->DescribeObjectID(3, "expID", "sendProcessID", "sendNbr");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mSendProcessID, "sendProcessID", false);
    ioc->DescribeAttribute(mSendNbr, "sendNbr", false);
    ioc->DescribeAttribute(mRecvProcessID, "recvProcessID", false);
    ioc->DescribeAttribute(mRecvNbr, "recvNbr", false);
    ioc->DescribeAttribute(mSendTime, "sendTime", false);
    ioc->DescribeAttribute(mRecvTime, "recvTime", false);
    ioc->DescribeAttribute(mDelay, "delay", false);
    ioc->DescribeAttribute(mAskedSource, "askedSource", false);
    ioc->DescribeAttribute(mAskedTag, "askedTag", false);
    ioc->DescribeAttribute(mBytes, "bytes", false);
}

void WaitStateRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("WaitStates", "");
    ioc->DescribeObjectID(4, "expID", "processID", "nbr", "pattern");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mProcessID, "processID", false);
    ioc->DescribeAttribute(mNbr, "nbr", false);
    ioc->DescribeAttribute(mPattern, "pattern", false);
    ioc->DescribeAttribute(mWaitTime, "waitTime", false);
    ioc->DescribeAttribute(mCauseProcessID, "causeProcessID", false);
    ioc->DescribeAttribute(mCauseNbr, "causeNbr", false);
}
