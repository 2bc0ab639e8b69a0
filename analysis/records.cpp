#include "records.h"

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
}

void WaitStateRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName("WaitStates", "");
    ioc->DescribeObjectID(3, "expID", "processID", "nbr");
    ioc->DescribeAttribute(mExpID, "expID", false);
    ioc->DescribeAttribute(mProcessID, "processID", false);
    ioc->DescribeAttribute(mNbr, "nbr", false);
    ioc->DescribeAttribute(mPattern, "pattern", false);
    ioc->DescribeAttribute(mWaitTime, "waitTime", false);
    ioc->DescribeAttribute(mCauseProcessID, "causeProcessID", false);
    ioc->DescribeAttribute(mCauseNbr, "causeNbr", false);
}
