/* The load of the kova measure benchmark: a plain PVM program that knows nothing
 * of KOVA. The master streams MESSAGES messages to each slave (copies of itself),
 * with fixed work before each send; each slave does the same work after each
 * receive and reports when it has them all. With -m 0 the tasks do nothing.
 *
 *   pvm_stream [-m MESSAGES] [-w ITERATIONS] [-s SLAVES]
 */
#include "work.h"

#include <pvm3.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define TAG_SETTINGS 1
#define TAG_DATA 2
#define TAG_DONE 3

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

static void Master(int messages, int iterations, int slaves) {
    int tids[16], settings[2] = {messages, iterations}, i, k;
    if (slaves < 1 || slaves > 16 || pvm_spawn("pvm_stream", NULL, PvmTaskDefault, "", slaves, tids) != slaves) {
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
    int messages = 20000, iterations = 0, slaves = 1, option;
    while ((option = getopt(argc, argv, "m:w:s:")) != -1) {
        switch (option) {
            case 'm': messages = atoi(optarg); break;
            case 'w': iterations = atoi(optarg); break;
            case 's': slaves = atoi(optarg); break;
            default: printf("usage: pvm_stream [-m MESSAGES] [-w ITERATIONS] [-s SLAVES]\n"); return 2;
        }
    }
    if (pvm_parent() == PvmNoParent)
        Master(messages, iterations, slaves);
    else
        Slave();
    pvm_exit();
    return 0;
}
