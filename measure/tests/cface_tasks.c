/* A master and its slave instrumented by hand with the probe's C face, for the
 * tests; the program is its own slave, in PVM's executable path of the tests.
 *   cface_tasks stream N PAUSE [faster]
 *                               the slave sends N messages to the master; then
 *                               each pauses PAUSE ms before kova_stop (W is N;
 *                               faster: the policy KOVA_REPLACE_IF_FASTER)
 *   cface_tasks kill MS         the slave works in phases of about 1 ms until the
 *                               master kills it (pvm_kill) after MS ms
 *   cface_tasks twice N         two experiments of stream N 0, one after the other,
 *                               by the same master process
 * The master prints its experiment's number first. */
#include <kova/kova.h>
#include <pvm3.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define TAG_ARGUMENTS 1
#define TAG_STREAM 2

static void Slave(void) {
    int parent = pvm_parent(), kill, count, pause, i;
    kova_slave();
    pvm_recv(parent, TAG_ARGUMENTS);
    kova_phase(KOVA_IDLE);
    pvm_upkint(&kill, 1, 1);
    pvm_upkint(&count, 1, 1);
    pvm_upkint(&pause, 1, 1);
    kova_comm(KOVA_RECV, parent, TAG_ARGUMENTS);
    if (kill)
        for (;;) {
            usleep(1000);
            kova_phase(KOVA_WORK);
        }
    for (i = 0; i < count; i++) {
        pvm_initsend(PvmDataDefault);
        pvm_pkint(&i, 1, 1);
        kova_phase(KOVA_WORK);
        pvm_send(parent, TAG_STREAM);
        kova_comm(KOVA_SEND, parent, TAG_STREAM);
    }
    usleep((useconds_t)pause * 1000);
    kova_stop();
    pvm_exit();
}

static int Master(int kill, int count, int pause, int policy) {
    int slave, i;
    printf("experiment %d\n", kova_master("cface_tasks", 2, count, policy));
    fflush(stdout);
    if (pvm_spawn("cface_tasks", NULL, PvmTaskDefault, "", 1, &slave) != 1) return 1;
    kova_spawned(slave);
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&kill, 1, 1);
    pvm_pkint(&count, 1, 1);
    pvm_pkint(&pause, 1, 1);
    kova_phase(KOVA_WORK);
    pvm_send(slave, TAG_ARGUMENTS);
    kova_comm(KOVA_SEND, slave, TAG_ARGUMENTS);
    if (kill) {
        usleep((useconds_t)pause * 1000);
        kova_phase(KOVA_WORK);
        pvm_kill(slave);
        kova_phase(KOVA_WORK);
        printf("killed the slave\n");
    } else {
        for (i = 0; i < count; i++) {
            int bufid = pvm_recv(-1, TAG_STREAM), bytes, tag, from;
            kova_phase(KOVA_IDLE);
            pvm_bufinfo(bufid, &bytes, &tag, &from);
            kova_comm(KOVA_RECV, from, tag);
        }
        printf("master received %d messages\n", count);
        fflush(stdout);
        usleep((useconds_t)pause * 1000);
    }
    kova_stop();
    return 0;
}

int main(int argc, char** argv) {
    if (pvm_parent() != PvmNoParent) {
        Slave();
        return 0;
    }
    int status = 2;
    if ((argc == 4 || (argc == 5 && strcmp(argv[4], "faster") == 0)) && strcmp(argv[1], "stream") == 0)
        status = Master(0, atoi(argv[2]), atoi(argv[3]), argc == 5 ? KOVA_REPLACE_IF_FASTER : KOVA_DO_NOT_REPLACE);
    else if (argc == 3 && strcmp(argv[1], "kill") == 0)
        status = Master(1, 0, atoi(argv[2]), KOVA_DO_NOT_REPLACE);
    else if (argc == 3 && strcmp(argv[1], "twice") == 0)
        status = Master(0, atoi(argv[2]), 0, KOVA_DO_NOT_REPLACE) || Master(0, atoi(argv[2]), 0, KOVA_DO_NOT_REPLACE);
    else
        fprintf(stderr, "usage: cface_tasks stream N PAUSE [faster] | kill MS | twice N\n");
    pvm_exit();
    return status;
}
