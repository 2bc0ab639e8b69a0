// probetask: a small measured master/slave program for testing the probe on the
// virtual cluster. Started from the shell it is the master: it spawns copies of
// itself as slaves on node2 and node3, announces them to its probe, and all three
// end phases of several kinds while exchanging a few messages. It prints what the
// tests compare with the stored rows.
//
//   probetask -a NAME [-W N] [-r f|s|a|n] [-e] [-l] [-t SECONDS] [-k long|busy] [-u | -S]
//     -a NAME     application name of the experiment
//     -W N        problem size (default 100)
//     -r POLICY   replacement policy: f(aster), s(uccessful), a(sk), n(ot) (default n)
//     -e          the earlier form of the probe (nothing written before Stop)
//     -l          the second slave runs on node1, the master's host, instead of node3
//     -t SECONDS  the slaves' wait for their experiment number
//     -k long     the master ends its slaves with pvm_kill while they wait in a long phase
//     -k busy     the master ends its slaves with pvm_kill while they end phases as fast
//                 as they can, more than a second after they began (batches written)
//     -u          spawn one slave on node2 and never announce it
//     -S          construct a slave's probe although not spawned
#include "probe/probestate.h"
#include <kova_site.h>
#include "persist/standarddatabase.h"

#include <pvm3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int TAG_WORK = 1;
const int TAG_READY = 2;
const int TAG_GO = 3;
const int TAG_TIME = 4;
const int TAG_EXIT = 5;
// Rounds of work of a slave: together more than one second, so that phases are
// written in a batch while running.
const int SLAVE_ROUNDS = 30;

struct Options {
    std::string app;
    int W = 100;
    KOVAProbe::DO_WITH_SIMILAR_EXP policy = KOVAProbe::DO_NOT_REPLACE;
    bool earlierForm = false;
    bool localSlave = false;
    int slaveWait = -1;
    bool unannounced = false;
    bool slaveWithoutParent = false;
    // How the master ends its slaves: "" (they finish), "long" or "busy" (pvm_kill).
    std::string kill;
};

[[noreturn]] void Usage(const char* problem) {
    printf("probetask: %s\nusage: probetask -a NAME [-W N] [-r f|s|a|n] [-e] [-l] [-t SECONDS] [-k long|busy] [-u | -S]\n",
           problem);
    exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "a:W:r:elt:k:uS")) != -1) {
        switch (option) {
            case 'a': options.app = optarg; break;
            case 'W': options.W = static_cast<int>(strtol(optarg, nullptr, 0)); break;
            case 'r': {
                const std::string policy = optarg;
                if (policy == "f") options.policy = KOVAProbe::REPLACE_IF_FASTER;
                else if (policy == "s") options.policy = KOVAProbe::REPLACE_IF_SUCCESFULL;
                else if (policy == "a") options.policy = KOVAProbe::ASK_USER;
                else if (policy == "n") options.policy = KOVAProbe::DO_NOT_REPLACE;
                else Usage("unknown policy");
                break;
            }
            case 'e': options.earlierForm = true; break;
            case 'l': options.localSlave = true; break;
            case 't': options.slaveWait = static_cast<int>(strtol(optarg, nullptr, 0)); break;
            case 'k':
                options.kill = optarg;
                if (options.kill != "long" && options.kill != "busy") Usage("unknown way to end the slaves");
                break;
            case 'u': options.unannounced = true; break;
            case 'S': options.slaveWithoutParent = true; break;
            default: Usage("unknown option");
        }
    }
    return options;
}

KOVAProbeSettings SettingsOf(const Options& options) {
    KOVAProbeSettings settings =
        options.earlierForm ? KOVAProbeSettings::FirstRelease() : KOVAProbeSettings::Current();
    if (options.slaveWait >= 0) settings.slaveWait = {options.slaveWait, 0};
    return settings;
}

void SendInts(int tid, int tag, std::vector<int> values) {
    pvm_initsend(PvmDataDefault);
    pvm_pkint(values.data(), static_cast<int>(values.size()), 1);
    if (pvm_send(tid, tag) < 0) {
        pvm_perror(const_cast<char*>(" calling pvm_send"));
        exit(1);
    }
}

std::vector<int> ReceiveInts(int tid, int tag, int count) {
    std::vector<int> values(count);
    if (pvm_recv(tid, tag) < 0 || pvm_upkint(values.data(), count, 1) < 0) {
        pvm_perror(const_cast<char*>(" calling pvm_recv"));
        exit(1);
    }
    return values;
}

int Spawn(const char* host, const Options& options) {
    std::vector<std::string> args;
    if (options.earlierForm) args.push_back("-e");
    if (options.slaveWait >= 0) {
        args.push_back("-t");
        args.push_back(std::to_string(options.slaveWait));
    }
    if (!options.kill.empty()) {
        args.push_back("-k");
        args.push_back(options.kill);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int tid = 0;
    if (pvm_spawn(const_cast<char*>("probetask"), argv.data(), PvmTaskHost, const_cast<char*>(host), 1, &tid) != 1) {
        printf("probetask: spawning on %s failed (%d)\n", host, tid);
        pvm_exit();
        exit(1);
    }
    printf("probetask: slave %d spawned on %s\n", tid, host);
    return tid;
}

int RunSlave(const Options& options) {
    KOVAProbe probe(true, SettingsOf(options));
    const int parent = pvm_parent();
    // The master sent the first message right after announcing this slave, so the
    // first phase is this wait alone.
    Chrono firstWait;
    const int rounds = ReceiveInts(parent, TAG_WORK, 1)[0];
    const TIME waited = firstWait.GetTime();
    probe.EndOfPhase(PH_IDLE);
    probe.EndOfCommPhase(PH_COMM_RECV, parent, TAG_WORK);
    for (int round = 0; round < rounds; ++round) {
        usleep(40000);
        probe.EndOfPhase(PH_WORK, 1, round);
        usleep(2000);
        probe.EndOfPhase(PH_SYNC);
    }
    if (!options.kill.empty()) {
        // The phases ended so far, and then the master's pvm_kill.
        SendInts(parent, TAG_READY, {pvm_mytid(), probe.state().mPhaseCnt + 1, static_cast<int>(waited)});
        probe.EndOfCommPhase(PH_COMM_SEND, parent, TAG_READY);
        if (options.kill == "busy") {
            for (int phase = 0;; ++phase) {
                usleep(50);
                probe.EndOfPhase(phase % 3 == 0 ? PH_SYNC : PH_WORK, phase);
            }
        }
        ReceiveInts(parent, TAG_GO, 1);
        printf("probetask: not killed\n");
        return 1;
    }
    SendInts(parent, TAG_READY, {pvm_mytid(), probe.state().mPhaseCnt + 1, static_cast<int>(waited)});
    probe.EndOfCommPhase(PH_COMM_SEND, parent, TAG_READY);
    ReceiveInts(parent, TAG_GO, 1);
    probe.EndOfPhase(PH_IDLE);
    probe.EndOfCommPhase(PH_COMM_RECV, parent, TAG_GO);
    usleep(1000);
    probe.EndOfPhase(PH_PART);
    // The experiment time at the last phase end, reported to the master unmeasured.
    const TIME measured = probe.ViewExpChrono();
    SendInts(parent, TAG_TIME, {static_cast<int>(measured), probe.state().mPhaseCnt, static_cast<int>(waited)});
    probe.Stop();
    pvm_exit();
    return 0;
}

long long CountRows(StandardDatabase& db, const std::string& table, int expID) {
    return atoll(db.QueryFirst("SELECT COUNT(*) FROM " + table + " WHERE expID = " + std::to_string(expID)).c_str());
}

// One slave on node2 that is never announced: it waits in vain and ends.
int RunUnannounced(const Options& options) {
    KOVAProbe probe(options.app, 2, KOVAProbe::DO_NOT_REPLACE, options.W, "unannounced", SettingsOf(options));
    pvm_catchout(stdout);
    Spawn("node2", options);
    Chrono waited;
    probe.Stop();
    // Leaving PVM waits for the caught output of the slave, that is for its end.
    pvm_exit();
    printf("probetask: slave ended after %lld ms\n", waited.GetTime() / 1000);
    return 0;
}

// Ends the slaves with pvm_kill, a long wait (or, busy, 1.5 s of phases) after
// they reported how many phases they had ended, and waits until PVM saw them end.
void KillSlaves(const std::vector<int>& slaves, const std::vector<int>& readyPhases, const Options& options) {
    std::vector<int> tids = slaves;
    pvm_notify(PvmTaskExit, TAG_EXIT, static_cast<int>(tids.size()), tids.data());
    usleep(options.kill == "busy" ? 1500000 : 300000);
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        printf("probetask: killing slave %d after %d phases\n", slaves[i], readyPhases[i]);
        pvm_kill(slaves[i]);
    }
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        int ended = 0;
        if (pvm_recv(-1, TAG_EXIT) < 0 || pvm_upkint(&ended, 1, 1) < 0) {
            pvm_perror(const_cast<char*>(" calling pvm_recv"));
            exit(1);
        }
        printf("probetask: slave %d ended\n", ended);
    }
}

int RunMaster(const Options& options) {
    const KOVAProbeSettings settings = SettingsOf(options);
    KOVAProbe probe(options.app, 3, options.policy, options.W, "cluster run", settings);
    const int expID = probe.GetExperimentID();
    printf("probetask: experiment %d\n", expID);
    pvm_catchout(stdout);
    usleep(5000);
    probe.EndOfPhase(PH_PART);
    std::vector<int> slaves;
    for (const char* host : {"node2", options.localSlave ? "node1" : "node3"}) {
        slaves.push_back(Spawn(host, options));
        probe.SlaveIsSpawned(slaves.back());
        SendInts(slaves.back(), TAG_WORK, {SLAVE_ROUNDS});
        probe.EndOfCommPhase(PH_COMM_SEND, slaves.back(), TAG_WORK);
    }
    usleep(20000);
    probe.EndOfPhase(PH_WORK);
    std::vector<int> readyPhases;
    for (int slave : slaves) {
        const std::vector<int> ready = ReceiveInts(slave, TAG_READY, 3);
        readyPhases.push_back(ready[1]);
        probe.EndOfPhase(PH_IDLE);
        probe.EndOfCommPhase(PH_COMM_RECV, slave, TAG_READY);
    }
    if (!options.kill.empty()) {
        KillSlaves(slaves, readyPhases, options);
        probe.EndOfPhase(PH_WORK);
        probe.Stop();
        pvm_exit();
        return 0;
    }
    {
        StandardDatabase db("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
        printf("probetask: stored while running: processes %lld phases %lld\n", CountRows(db, "Processes", expID),
               CountRows(db, "Phases", expID));
    }
    probe.EndOfPhase(PH_WORK);
    for (int slave : slaves) {
        SendInts(slave, TAG_GO, {0});
        probe.EndOfCommPhase(PH_COMM_SEND, slave, TAG_GO);
    }
    std::vector<std::vector<int>> reports;
    for (int slave : slaves) {
        reports.push_back(ReceiveInts(slave, TAG_TIME, 3));
        probe.EndOfPhase(PH_IDLE);
    }
    probe.EndOfPhase(PH_WORK);
    printf("probetask: process %d on %s measured %lld us in %d phases\n", probe.state().mProcess->mMyTid,
           ThisMachineName().c_str(), probe.ViewExpChrono(), probe.state().mPhaseCnt);
    for (std::size_t i = 0; i < slaves.size(); ++i)
        printf("probetask: process %d measured %d us in %d phases, first wait %d us\n", slaves[i], reports[i][0],
               reports[i][1], reports[i][2]);
    fflush(stdout);
    probe.Stop();
    pvm_exit();

    if (options.earlierForm) {
        // The earlier form enrols in PVM also for a sequential run.
        KOVAProbe sequential(options.app, 1, options.policy, options.W, "sequential", settings);
        printf("probetask: sequential experiment %d process %d\n", sequential.GetExperimentID(),
               sequential.state().mProcess->mMyTid);
        sequential.EndOfPhase(PH_WORK);
        sequential.Stop();
        pvm_exit();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = ParseOptions(argc, argv);
    if (options.slaveWithoutParent) {
        KOVAProbe probe(true, SettingsOf(options));
        return 0;
    }
    const int parent = pvm_parent();
    if (parent >= 0) return RunSlave(options);
    if (parent != PvmNoParent) {
        printf("probetask: no PVM virtual machine to run in\n");
        return 1;
    }
    if (options.app.empty()) Usage("the application name (-a) is missing");
    return options.unannounced ? RunUnannounced(options) : RunMaster(options);
}
