// A stand-in master for annpipe's slave: spawns one copy of annpipe with the
// arguments that follow the case name, sends it one faulty set-up and reports
// whether the slave then ended by itself.
//
// Usage: annpipe_standin CASE [annpipe arguments...], where CASE is
//   short-table    a process table of two ints instead of four
//   foreign-table  a process table that does not hold the slave
//   wide-stage     a stage layout with a layer wider than the messages
//   silent-master  a sound set-up, but no experiment number for a measuring slave
#include <pvm3.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int TASK_EXIT_TAG = 99;

void SendInts(std::vector<int> values, int tid, int tag) {
    pvm_initsend(PvmDataDefault);
    pvm_pkint(values.data(), static_cast<int>(values.size()), 1);
    pvm_send(tid, tag);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cout << "usage: annpipe_standin CASE [annpipe arguments...]" << std::endl;
        return 2;
    }
    const std::string scenario = argv[1];
    const int me = pvm_mytid();
    int slave = 0;
    char exe[] = "annpipe";
    if (pvm_spawn(exe, argv + 2, PvmTaskDefault, const_cast<char*>(""), 1, &slave) != 1) {
        pvm_perror(const_cast<char*>("annpipe_standin: spawning annpipe"));
        pvm_exit();
        return 1;
    }
    std::cout << "case " << scenario << " slave " << slave << std::endl;
    pvm_notify(PvmTaskExit, TASK_EXIT_TAG, 1, &slave);

    if (scenario == "short-table") {
        SendInts({me, slave}, slave, 1);
    } else if (scenario == "foreign-table") {
        SendInts({me, 1, 2, me}, slave, 1);
    } else if (scenario == "wide-stage") {
        SendInts({me, slave, me, me}, slave, 1);
        SendInts({10, 11, 10}, slave, 2);
    } else if (scenario == "silent-master") {
        SendInts({me, slave, me, me}, slave, 1);
    } else {
        std::cout << "annpipe_standin: unknown case " << scenario << std::endl;
    }

    timeval wait = {20, 0};
    const bool ended = pvm_trecv(-1, TASK_EXIT_TAG, &wait) > 0;
    std::cout << (ended ? "slave ended" : "slave still running after 20 s") << std::endl;
    if (!ended) pvm_kill(slave);
    pvm_exit();
    return ended ? 0 : 1;
}
