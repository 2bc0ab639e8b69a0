// Parallel counterpart of the standard for_each over a range of longs: after a small
// timing trial with its two slaves, the master cuts the range into one part per slave,
// each slave applies the function object to its part and returns it, and the master
// copies the parts back. Every step writes progress lines to standard output.
#pragma once

#include "container/functionobjects.h"
#include "container/packing.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

// PVM bookkeeping of the process: the slaves in spawn order, their number, the
// configuration and the last message seen.
constexpr int MAX_FOREACH_SLAVES = 32;
extern int tids[MAX_FOREACH_SLAVES];
extern int nproc;
extern int nhost;
extern int narch;
extern pvmhostinfo* hostp;
extern int msgtag;
extern int info;
extern int bufid;
extern int bytes;
extern int tid;

// Message tags: a work (or trial) message, the one to the last slave of a wave, the
// trial reply, and the slave's role.
constexpr int TAG_FOREACH_WORK = 1;
constexpr int TAG_FOREACH_LAST_WORK = 2;
constexpr int TAG_FOREACH_TRIAL_REPLY = 3;
constexpr int TAG_FOREACH_ROLE = 5;

// A trial at least this long (microseconds) is judged not worth going parallel.
constexpr std::uint64_t FOREACH_TRIAL_LIMIT = 3000;

// Stores the current time in chrono; stop_chrono returns the microseconds since then.
void start_chrono(timeval* chrono);
std::uint64_t stop_chrono(timeval* timeStart);

// Prints "TRUE" for a trial of less than FOREACH_TRIAL_LIMIT microseconds, "FALSE"
// otherwise, and returns whether it was that fast.
bool TrialVerdict(std::uint64_t microseconds);

// Leaves PVM and ends the process through error with message.
[[noreturn]] void ForEachFailure(const std::string& message);

// Ends the process with a clear message unless the virtual machine fits the fixed
// layout of the spawn loop: three hosts, the first of them the master's.
void CheckForEachLayout();

// Spawns the two slaves on the slave host, one per host of the first three that is not
// the master's, and sends each its role.
void SpawnForEachSlaves();

void Slave_Test(sum_up<long> s, long size);
void Slave_ForEach(sum_up<long> s, long size);

// Writes label, the first value, separator and the last value of a non-empty range.
template <typename Iterator>
void PrintFirstAndLast(const char* label, const char* separator, Iterator begin, Iterator end) {
    std::cout << label;
    if (begin != end) std::cout << *begin << separator << *std::prev(end);
    std::cout << std::endl;
}

// Packs the range message of [begin, end) into the active send buffer: the count,
// then the values in one pack.
template <typename Iterator>
void serialize(Iterator begin, Iterator end) {
    PrintFirstAndLast("pointers in serializing are: ", "---", begin, end);
    int count = static_cast<int>(end - begin);
    Unchecked::pvm_pack(&count, 1, 1);
    std::cout << "packed size: " << count << std::endl;
    if (count > 0) Unchecked::pvm_pack(&*begin, count, 1);
    std::cout << "packed rest" << std::endl;
}

// Unpacks a range message from the active receive buffer into a new array that is
// never freed, and sets [begin, end) to it. A message that holds no valid range ends
// the process.
template <typename Value>
void deserialize(Value*& begin, Value*& end) {
    int count = 0;
    if (Unchecked::pvm_unpack(&count, 1, 1) < 0 || count < 0) ForEachFailure("deserialize: no range in the message");
    std::cout << "size unpacked" << std::endl;
    begin = new Value[count];
    end = begin + count;
    if (count > 0 && Unchecked::pvm_unpack(begin, count, 1) < 0)
        ForEachFailure("deserialize: the message holds fewer values than it announces");
    PrintFirstAndLast("pointers in deserializing are ", "---", begin, end);
}

// Opens a send buffer for the master's send loops; a failure ends the process.
void MasterInitSend();

// The timing trial: two waves of empty messages to one and then both slaves, answered
// by empty replies. Returns whether it was fast enough to be worth going parallel.
template <typename Iterator>
bool Master_Test(Iterator low_ind, Iterator high_ind, long test_size) {
    std::cout << "Test master entered" << std::endl;
    const long available = static_cast<long>(high_ind - low_ind);
    std::vector<long> test_vec(low_ind, low_ind + std::min(test_size, available));
    for (long value : test_vec) std::cout << "test_vec in: " << value << std::endl;
    PrintFirstAndLast("MASTER: From and to: ", "------", test_vec.begin(), test_vec.end());
    timeval chrono;
    start_chrono(&chrono);

    for (int testproc = 1; testproc <= 2; ++testproc) {
        const long part = (test_size - test_size % testproc) / testproc;
        for (int k = 1; k <= testproc; ++k) {
            MasterInitSend();
            const bool last = k == testproc;
            std::cout << "testsize = " << test_size << "and testproc = " << testproc << std::endl;
            std::cout << "z = " << (k - 1) * part << " --- part = " << (last ? part + test_size % testproc : part)
                      << "\t" << tids[k - 1] << std::endl;
            pvm_send(tids[k - 1], last ? TAG_FOREACH_LAST_WORK : TAG_FOREACH_WORK);
            std::cout << "info sent to " << tids[k - 1] << std::endl;
        }
        for (int l = 1; l <= testproc; ++l) {
            std::cout << "for-loop entered\t" << tids[l - 1] << std::endl;
            bufid = pvm_recv(tids[l - 1], -1);
            std::cout << bufid << "\t" << (l == testproc ? part + test_size % testproc : part) << std::endl;
        }
    }

    std::cout << "out of outer loop" << std::endl;
    PrintFirstAndLast("from and to ", "--- ", test_vec.begin(), test_vec.end());
    for (long value : test_vec) std::cout << "test_vec out: " << value << std::endl;
    const std::uint64_t t = stop_chrono(&chrono);
    std::cout << "TEST CHRONO is " << t << std::endl;
    return TrialVerdict(t);
}

// Sends every slave its part, collects the modified parts in slave order and copies
// them back into the range.
template <typename Iterator>
void Master_ForEach(Iterator low_ind, Iterator high_ind, long part) {
    const long size = static_cast<long>(high_ind - low_ind);
    pvm_config(&nhost, &narch, &hostp);
    nproc = nhost - 1;
    std::cout << nproc << std::endl;

    const long basePart = part;
    for (int i = 1; i <= nproc; ++i) {
        MasterInitSend();
        const long z = basePart * (i - 1);
        const bool last = i == nproc;
        if (last) part += size % nproc;
        serialize(low_ind + z, low_ind + z + part);
        pvm_send(tids[i - 1], last ? TAG_FOREACH_LAST_WORK : TAG_FOREACH_WORK);
        std::cout << "info sent to " << tids[i - 1] << std::endl;
    }

    for (int j = 1; j <= nproc; ++j) {
        bufid = pvm_recv(tids[j - 1], -1);
        const long length = (size - size % nproc) / nproc + (j == nproc ? size % nproc : 0);
        const long z = basePart * (j - 1);
        std::cout << length << std::endl;
        long* from = nullptr;
        long* to = nullptr;
        deserialize(from, to);
        if (to - from != length) ForEachFailure("Master: a slave returned a part of another length");
        std::copy(from, to, low_ind + z);
    }

    for (Iterator value = low_ind; value != high_ind; ++value)
        std::cout << "master for_each after task is done:    " << *value << std::endl;
}

// Applies s to every value of [low_ind, high_ind), in parallel when the virtual machine
// has more than one slave host and the range more than 9 values. A slave (a task with
// a parent) serves its master instead and leaves the range alone.
template <typename Iterator>
void ForEachP(Iterator low_ind, Iterator high_ind, sum_up<long> s) {
    const long input_size = static_cast<long>(high_ind - low_ind);
    int testing = 1;
    const long test_size = 10;
    if (pvm_mytid() < 0) ForEachFailure("foreachtest needs a running PVM virtual machine");
    pvm_config(&nhost, &narch, &hostp);
    nproc = nhost - 1;
    std::cout << "NPROC = " << nproc << std::endl;

    const int parent = pvm_parent();
    if (parent == PvmNoParent) {
        if (nproc <= 1 || input_size <= 9) {
            std::for_each(low_ind, high_ind, s);
            for (Iterator value = low_ind; value != high_ind; ++value)
                std::cout << "after task is done:    " << *value << std::endl;
            std::cout << "just one cpu" << std::endl;
            return;
        }
        CheckForEachLayout();
        SpawnForEachSlaves();
        Master_Test(low_ind, high_ind, test_size);
        for (int i = 0; i < nhost; ++i) std::cout << tids[i] << "\t";
        std::cout << std::endl;

        std::cout << "par-mode = 1 and nproc = " << nproc << std::endl;
        const long part = (input_size - input_size % nproc) / nproc;
        std::cout << "part = " << part << std::endl;
        Master_ForEach(low_ind, high_ind, part);
        return;
    }

    tid = pvm_mytid();
    std::cout << tid << "------" << parent << std::endl;
    pvm_recv(parent, TAG_FOREACH_ROLE);
    Unchecked::pvm_unpack(&testing, 1, 1);
    std::cout << "testing = " << testing << std::endl;
    const char* host = getenv("HOST");
    const char* hostText = host ? host : "";
    for (int wave = 0; wave <= 1; ++wave) {
        if (testing != wave) continue;
        std::cout << "Testing == " << wave << " entered " << std::endl;
        std::cout << "hello, I'm the TEST slave with tid " << tid << ". My master is " << parent << ". I run on "
                  << hostText << std::endl;
        Slave_Test(s, input_size);
        testing++;
        std::cout << "test-par == " << testing << std::endl;
    }
    if (testing == 2) {
        std::cout << "Testing == 2 entered " << std::endl;
        std::cout << "size = " << input_size << " and nproc = " << nproc << std::endl;
        std::cout << "hello, I'm the slave with tid " << tid << ". My master is " << parent << ". I run on "
                  << hostText << std::endl;
        Slave_ForEach(s, input_size);
    }
}
