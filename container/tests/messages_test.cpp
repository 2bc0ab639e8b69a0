// Container, object and typed-value messages through a real PVM daemon: the test task
// sends each message to itself and reads it back.
#include "container/communication.h"
#include "container/forEachP.h"
#include "container/functionobjects.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr int kTestTag = 77;

int MyTid() {
    const int tid = pvm_mytid();
    if (tid < 0) ADD_FAILURE() << "no PVM daemon to enrol with";
    return tid;
}

// Makes the message this task sent itself the active receive buffer; returns its
// size in bytes.
int ReceiveFromSelf() {
    const int buffer = pvm_recv(MyTid(), kTestTag);
    EXPECT_GT(buffer, 0);
    int bytes = -1, tag = 0, source = 0;
    pvm_bufinfo(buffer, &bytes, &tag, &source);
    EXPECT_EQ(source, MyTid());
    return bytes;
}

// Sends the active send buffer to this task and receives it.
int ReceiveOwnMessage() {
    EXPECT_GE(pvm_send(MyTid(), kTestTag), 0);
    return ReceiveFromSelf();
}

// Sends what the process writes to standard output to standard error, where a death
// test can match it.
void StdoutToStderr() {
    std::fflush(stdout);
    dup2(2, 1);
}

// The rest of the active receive buffer as raw bytes (PVM's own encoding).
std::vector<char> RemainingBytes(int count) {
    std::vector<char> raw(count);
    EXPECT_GE(pvm_upkbyte(raw.data(), count, 1), 0);
    return raw;
}

// True when the active receive buffer holds no further int.
bool BufferIsExhausted() {
    int extra = 0;
    return pvm_upkint(&extra, 1, 1) < 0;
}

}  // namespace

TEST(ContainerMessages, EmptyRangeCarriesOnlyItsCount) {
    std::vector<int> none;
    SendContainer(MyTid(), none.begin(), 0, kTestTag);
    ASSERT_EQ(ReceiveFromSelf(), 4);

    int sentinel[2] = {-5, -6};
    int* front = sentinel;
    EXPECT_EQ(RecvContainer(front, false), 0);
    EXPECT_EQ(front, sentinel);
    EXPECT_EQ(sentinel[0], -5);
    EXPECT_TRUE(BufferIsExhausted());
}

TEST(ContainerMessages, FiveElementsCarryTheirCountThenTheElements) {
    const std::vector<int> values = {10, -20, 30, 40, INT_MIN};
    SendContainer(MyTid(), values.begin(), 5, kTestTag);
    ASSERT_EQ(ReceiveFromSelf(), 6 * 4);

    int wire[6] = {};
    ASSERT_GE(pvm_upkint(wire, 6, 1), 0);
    EXPECT_EQ(std::vector<int>(wire, wire + 6), (std::vector<int>{5, 10, -20, 30, 40, INT_MIN}));
    EXPECT_TRUE(BufferIsExhausted());
}

TEST(ContainerMessages, RangeFromAnyContainerMatchesOneTypedPackOfTheRun) {
    // More elements than one chunk of the range packer, from containers whose
    // iterators are not pointers.
    const int count = 3 * kRangeChunkItems + 17;
    std::vector<int> expected(count + 1);
    expected[0] = count;
    std::iota(expected.begin() + 1, expected.end(), -1000);
    const std::list<int> asList(expected.begin() + 1, expected.end());
    const std::deque<int> asDeque(expected.begin() + 1, expected.end());
    const int wireBytes = 4 * (count + 1);

    pvm_initsend(PvmDataDefault);
    pvm_pkint(expected.data(), count + 1, 1);
    ASSERT_EQ(ReceiveOwnMessage(), wireBytes);
    const std::vector<char> floor = RemainingBytes(wireBytes);

    SendContainer(MyTid(), asList.begin(), count, kTestTag);
    ReceiveFromSelf();
    EXPECT_EQ(RemainingBytes(wireBytes), floor);
    EXPECT_TRUE(BufferIsExhausted());

    SendContainer(MyTid(), asDeque.cbegin(), count, kTestTag);
    ReceiveFromSelf();
    std::deque<int> received(count, 0);
    auto front = received.begin();
    ASSERT_EQ(RecvContainer(front, false), count);
    EXPECT_EQ(received, asDeque);
}

TEST(ContainerMessages, ReceivingWithAllocationGivesAFreshContainer) {
    std::vector<int> values = {4, 8, 15, 16, 23, 42};
    SendContainer(MyTid(), values.data(), 6, kTestTag);
    ReceiveFromSelf();
    int* front = values.data();
    ASSERT_EQ(RecvContainer(front, true), 6);
    EXPECT_NE(front, values.data());
    EXPECT_EQ(std::vector<int>(front, front + 6), values);

    SendContainer(MyTid(), values.begin() + 2, 3, kTestTag);
    ReceiveFromSelf();
    std::vector<int>::iterator iteratorFront = values.begin();
    ASSERT_EQ(RecvContainer(iteratorFront, true), 3);
    EXPECT_EQ(std::vector<int>(iteratorFront, iteratorFront + 3), (std::vector<int>{15, 16, 23}));
    EXPECT_EQ(values[0], 4);
}

// Packs values with the checked overload of their type, sends them to this task and
// expects the checked unpack to give them back.
template <typename T, std::size_t N>
void ExpectRoundTrip(std::array<T, N> values) {
    pvm_initsend(PvmDataDefault);
    pvm_pack(values.data(), N);
    ReceiveOwnMessage();
    std::array<T, N> back{};
    pvm_unpack(back.data(), N);
    EXPECT_EQ(back, values);
}

TEST(ContainerMessages, TypedOverloadsRoundTripTheirValues) {
    // Negative longs come back with their sign although PVM's decoder drops it.
    ExpectRoundTrip<long, 3>({-243, INT_MIN, INT_MAX});
    ExpectRoundTrip<unsigned long, 2>({UINT_MAX, 3});
    ExpectRoundTrip<char, 3>({'a', '\0', 'z'});
    ExpectRoundTrip<short, 2>({-300, 300});
    ExpectRoundTrip<double, 2>({3.25, -1e300});

    char text[] = "container text";
    char back[sizeof text] = {};
    pvm_initsend(PvmDataDefault);
    pvm_pack(text);
    ReceiveOwnMessage();
    pvm_unpack(back);
    EXPECT_STREQ(back, text);
}

TEST(ContainerMessages, ThinOverloadsReturnPvmErrorsAndCarryStrides) {
    int values[6] = {1, 2, 3, 4, 5, 6};
    pvm_initsend(PvmDataDefault);
    EXPECT_GE(Unchecked::pvm_pack(values, 3, 2), 0);
    ReceiveOwnMessage();
    int odd[3] = {};
    EXPECT_GE(Unchecked::pvm_unpack(odd, 3, 1), 0);
    EXPECT_EQ(std::vector<int>(odd, odd + 3), (std::vector<int>{1, 3, 5}));
    // The message is used up: the thin overload hands the error back and the test goes on.
    EXPECT_LT(Unchecked::pvm_unpack(odd, 1, 1), 0);
}

TEST(ContainerMessages, LongsThatTheDefaultEncodingCannotCarryAreRefused) {
    long tooBig[2] = {1, 1L << 33};
    unsigned long tooBigUnsigned = 1UL << 32;
    pvm_initsend(PvmDataDefault);
    EXPECT_EQ(Unchecked::pvm_pack(tooBig, 2, 1), PvmOverflow);
    EXPECT_EQ(Unchecked::pvm_pack(&tooBigUnsigned, 1, 1), PvmOverflow);
    // A raw buffer carries all 64 bits.
    pvm_initsend(PvmDataRaw);
    EXPECT_GE(Unchecked::pvm_pack(tooBig, 2, 1), 0);
    ReceiveOwnMessage();
    long back[2] = {};
    EXPECT_GE(Unchecked::pvm_unpack(back, 2, 1), 0);
    EXPECT_EQ(back[1], 1L << 33);
}

TEST(ContainerMessages, PredicateTravelsAsItsTwoFields) {
    IsDivisibleBy<int> sent(7, 250);
    SendObject(MyTid(), &sent, kTestTag);
    ReceiveFromSelf();
    IsDivisibleBy<int> received(1, 0);
    RecvObject(&received);
    EXPECT_EQ(received.mDivisor, 7);
    EXPECT_EQ(received.mExtraCompTime, 250);
    EXPECT_FALSE(received.ElementsAreModified());
    EXPECT_FALSE(received.ObjectIsModified());
    EXPECT_TRUE(BufferIsExhausted());
}

TEST(ContainerMessages, RangeMessageOfForEachIsACountThenLongs) {
    std::vector<long> values = {37, 258, -243, -2000000000};
    pvm_initsend(PvmDataDefault);
    testing::internal::CaptureStdout();
    serialize(values.begin() + 1, values.end());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("pointers in serializing are: 258----2000000000\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("packed size: 3\n"), std::string::npos) << printed;
    ReceiveOwnMessage();

    int count = 0;
    long wire[3] = {};
    ASSERT_GE(pvm_upkint(&count, 1, 1), 0);
    pvm_unpack(wire, 3);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::vector<long>(wire, wire + 3), std::vector<long>(values.begin() + 1, values.end()));

    pvm_initsend(PvmDataDefault);
    serialize(values.begin(), values.end());
    ReceiveOwnMessage();
    long* from = nullptr;
    long* to = nullptr;
    testing::internal::CaptureStdout();
    deserialize(from, to);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "size unpacked\npointers in deserializing are 37----2000000000\n");
    EXPECT_EQ(std::vector<long>(from, to), values);
}

TEST(ContainerMessages, TrialVerdictTurnsAtThreeMilliseconds) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(TrialVerdict(2999));
    EXPECT_FALSE(TrialVerdict(3000));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "TRUE\nFALSE\n");
}

TEST(ContainerMessages, MachineNameKnowsOnlyHostsOfTheVirtualMachine) {
    const char* mine = MachineName(MyTid());
    ASSERT_NE(mine, nullptr);
    EXPECT_FALSE(VirtualMachineHosts().empty());
    EXPECT_EQ(VirtualMachineHosts().front(), mine);
    // A task id on a host number no virtual machine of this test has.
    EXPECT_EQ(MachineName(0x3ff00001), nullptr);
}

TEST(ContainerMessages, SpawningAMissingExecutableSaysWhere) {
    const std::string host = MachineNameText(MyTid());
    testing::internal::CaptureStdout();
    const int tid = SpawnSlave("no-such-kova-slave", host.c_str(), false, false);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(tid, PvmNoFile);
    EXPECT_EQ(printed, " Error in spawn slave : negative tid -7\nSlave executable no-such-kova-slave cannot be found "
                       "on machine " + host + "\n");
}

class ContainerMessageFailures : public testing::Test {
protected:
    // Each failing case runs in a fresh process that enrols with PVM itself.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ContainerMessageFailures, UnpackingPastTheEndStopsWithThePackingFileAndLine) {
    EXPECT_EXIT(
        {
            StdoutToStderr();
            pvm_initsend(PvmDataDefault);
            ReceiveOwnMessage();
            int value;
            pvm_unpack(&value, 1);
        },
        testing::ExitedWithCode(255), " calling pvm_upkint.*\nerror  at line [1-9][0-9]* of file packing\n");
}

TEST_F(ContainerMessageFailures, CheckedPackOfAnOverlongLongStops) {
    EXPECT_EXIT(
        {
            StdoutToStderr();
            long tooBig = 1L << 40;
            pvm_initsend(PvmDataDefault);
            pvm_pack(&tooBig, 1);
        },
        testing::ExitedWithCode(255), " calling pvm_pklong: Value too large\nerror  at line [1-9][0-9]* of file packing\n");
}

// Sends this task a container message that announces count elements and holds three.
void SendAnnouncing(int count) {
    int wire[4] = {count, 1, 2, 3};
    pvm_initsend(PvmDataDefault);
    pvm_pkint(wire, 4, 1);
    ReceiveOwnMessage();
}

TEST_F(ContainerMessageFailures, CountsOutsideTheRangeAreMalformedMessages) {
    EXPECT_EXIT(
        {
            StdoutToStderr();
            SendAnnouncing(-3);
            int* front = nullptr;
            RecvContainer(front, true);
        },
        testing::ExitedWithCode(255),
        "Malformed container message: element count -3 is not between 0 and [0-9]+\nerror receiving a container "
        "in file communication\n");
    EXPECT_EXIT(
        {
            StdoutToStderr();
            SendAnnouncing(3);
            std::vector<int> target(2);
            auto front = target.begin();
            RecvContainer(front, false, 2);
        },
        testing::ExitedWithCode(255), "element count 3 is not between 0 and 2\n");
}

TEST_F(ContainerMessageFailures, SpawningOnAnUnknownHostEndsWithStatusOne) {
    EXPECT_EXIT(SpawnSlave("testLumo", "no-such-host", false, false), testing::ExitedWithCode(1),
                "host is not added to pvm");
}
