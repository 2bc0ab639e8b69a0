/* The load of the kova measure benchmark: a plain PVM program that knows nothing
 * of KOVA. The master streams MESSAGES messages to each slave (copies of itself),
 * with fixed work before each send; each slave does the same work after each
 * receive and reports when it has them all. With -m 0 the tasks do nothing.
 * -H places the slaves on that host; -t has PVM's own tracing send every task's
 * events, buffered in 16 KiB, to the tracer task of that (hexadecimal) id.
 *
 *   pvm_stream [-m MESSAGES] [-w ITERATIONS] [-s SLAVES] [-H HOST] [-t TRACER]
 */
#include "bench/common/work.h"

#include <pvm3.h>
#include <pvmtev.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define TAG_SETTINGS 1
#define TAG_DATA 2
#define TAG_DONE 3
/* The message tag of trace events, as the benchmark's tracer expects it. */
#define TAG_TRACE 666

static void Check(int result, const char* call) {
    if (result < 0) {
        pvm_perror((char*)call);
        pvm_exit();
        exit(1);
    }
}

static void Slave(void) {
    int settings[2], parent = pvm_parent(), k;
    Check(pvm_recv(parent, TAG_SETTINGS), "pvm_recv");
    pvm_upkint(settings, 2, 1);
    for (k = 0; k < settings[0]; ++k) {
        Check(pvm_recv(parent, TAG_DATA), "pvm_recv");
        Work(settings[1]);
    }
    pvm_initsend(PvmDataDefault);
    Check(pvm_send(parent, TAG_DONE), "pvm_send");
}

/* Buffered tracing of this task and its children to the tracer, of the calls that
 * communicate. */
static void TraceTo(int tracer) {
    Pvmtmask mask;
    TEV_MASK_INIT(mask);
    TEV_MASK_SET(mask, TEV_SEND);
    TEV_MASK_SET(mask, TEV_RECV);
    TEV_MASK_SET(mask, TEV_MCAST);
    TEV_MASK_SET(mask, TEV_SPAWN);
    TEV_MASK_SET(mask, TEV_EXIT);
    pvm_setopt(PvmSelfTraceTid, tracer);
    pvm_setopt(PvmSelfTraceCode, TAG_TRACE);
    pvm_setopt(PvmSelfTraceBuffer, 16384);
    pvm_setopt(PvmSelfTraceOptions, PvmTraceFull);
    pvm_setopt(PvmTraceTid, tracer);
    pvm_setopt(PvmTraceCode, TAG_TRACE);
    pvm_setopt(PvmTraceBuffer, 16384);
    /* Without it the children trace with option 0: every event then prints a
     * complaint instead of being recorded. */
    pvm_setopt(PvmTraceOptions, PvmTraceFull);
    pvm_settmask(PvmTaskSelf, mask);
    pvm_settmask(PvmTaskChild, mask);
}

static void Master(int messages, int iterations, int slaves, char* host) {
    int tids[16], settings[2] = {messages, iterations}, i, k;
    const int flags = host != NULL ? PvmTaskHost : PvmTaskDefault;
    if (slaves < 1 || slaves > 16 || pvm_spawn("pvm_stream", NULL, flags, host != NULL ? host : "", slaves, tids) != slaves) {
        printf("pvm_stream: cannot spawn %d slaves\n", slaves);
        pvm_exit();
        exit(1);
    }
    pvm_initsend(PvmDataDefault);
    pvm_pkint(settings, 2, 1);
    Check(pvm_mcast(tids, slaves, TAG_SETTINGS), "pvm_mcast");
    for (k = 0; k < messages; ++k)
        for (i = 0; i < slaves; ++i) {
            Work(iterations);
            pvm_initsend(PvmDataDefault);
            pvm_pkint(&k, 1, 1);
            Check(pvm_send(tids[i], TAG_DATA), "pvm_send");
        }
    for (i = 0; i < slaves; ++i) Check(pvm_recv(-1, TAG_DONE), "pvm_recv");
}

int main(int argc, char** argv) {
    int messages = 20000, iterations = 0, slaves = 1, tracer = 0, option;
    char* host = NULL;
    while ((option = getopt(argc, argv, "m:w:s:H:t:")) != -1) {
        switch (option) {
            case 'm': messages = atoi(optarg); break;
            case 'w': iterations = atoi(optarg); break;
            case 's': slaves = atoi(optarg); break;
            case 'H': host = optarg; break;
            case 't': tracer = (int)strtol(optarg, NULL, 16); break;
            default: printf("usage: pvm_stream [-m MESSAGES] [-w ITERATIONS] [-s SLAVES] [-H HOST] [-t TRACER]\n"); return 2;
        }
    }
    if (pvm_parent() == PvmNoParent) {
        if (tracer > 0) TraceTo(tracer);
        Master(messages, iterations, slaves, host);
    } else {
        Slave();
    }
    pvm_exit();
    return 0;
}
