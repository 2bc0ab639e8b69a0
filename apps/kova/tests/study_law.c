/* A PVM program whose run time follows a known law in p and W: the master hands a
 * share of W/p ms of work to each slave it spawned, works its own share and 20 ms
 * alone, and takes every slave's answer. Every share is a sleep, so that the law
 * Tp = 20 ms + W/p ms (plus the start of the slaves) holds however busy the
 * machine's cores are; each sleep is up to 5 % longer or shorter at random, so that
 * the runs of a configuration spread as measured runs do.
 *   study_law [P [W [FAILING_P]]]
 * Given P, the master spawns one slave (its own executable), so that the slaves'
 * start costs the same at every p. Without P, p is the number of hosts of the
 * virtual machine, and the master spawns p - 1 slaves, one on each other host. A run
 * whose p is FAILING_P ends with exit status 3 before its work. */
#include <pvm3.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { kWorkTag = 1, kDoneTag = 2, kAloneMs = 20 };

static void Sleep(int ms) { usleep((useconds_t)(ms * 1000 * (0.95 + 0.1 * rand() / RAND_MAX))); }

static int Slave(void) {
    int ms = 0;
    pvm_recv(pvm_parent(), kWorkTag);
    pvm_upkint(&ms, 1, 1);
    Sleep(ms);
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&ms, 1, 1);
    pvm_send(pvm_parent(), kDoneTag);
    pvm_exit();
    return 0;
}

int main(int argc, char** argv) {
    if (pvm_mytid() < 0) return 1;
    srand((unsigned)getpid());
    if (pvm_parent() != PvmNoParent) return Slave();
    int p = 0, slaveCount = 1;
    if (argc > 1) {
        p = atoi(argv[1]);
    } else {
        int architectures = 0;
        struct pvmhostinfo* hosts = NULL;
        pvm_config(&p, &architectures, &hosts);
        slaveCount = p - 1;
    }
    const int W = argc > 2 ? atoi(argv[2]) : 0;
    if (argc > 3 && p == atoi(argv[3])) {
        fprintf(stderr, "study_law: p = %d fails, as asked\n", p);
        pvm_exit();
        return 3;
    }
    if (p < 1) {
        fprintf(stderr, "study_law: p must be at least 1\n");
        pvm_exit();
        return 2;
    }
    const int share = W / p;
    int* slaves = calloc((size_t)p, sizeof *slaves);
    const int spawned = slaveCount > 0 ? pvm_spawn("study_law", NULL, PvmTaskDefault, "", slaveCount, slaves) : 0;
    if (spawned != slaveCount) {
        fprintf(stderr, "study_law: %d of %d slaves spawned\n", spawned, slaveCount);
        pvm_exit();
        return 1;
    }
    for (int k = 0; k < slaveCount; ++k) {
        pvm_initsend(PvmDataDefault);
        pvm_pkint((int*)&share, 1, 1);
        pvm_send(slaves[k], kWorkTag);
    }
    Sleep(kAloneMs + share);
    for (int k = 0; k < slaveCount; ++k) pvm_recv(-1, kDoneTag);
    printf("study_law: p = %d, W = %d\n", p, W);
    free(slaves);
    pvm_exit();
    return 0;
}
