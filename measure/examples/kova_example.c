/* A master and two slaves measured with the KOVA probe's C face: the master
 * sends each slave a number, each slave sends back its square. The program is
 * its own slave, so it must lie in PVM's executable path. */
#include <kova/kova.h>
#include <pvm3.h>
#include <stdio.h>

#define TAG_NUMBER 1
#define TAG_SQUARE 2

static void Master(void) {
    int tids[2], i, spawned;
    printf("experiment %d\n", kova_master("kova_example", 3, 2, KOVA_DO_NOT_REPLACE));
    spawned = pvm_spawn("kova_example", NULL, PvmTaskDefault, "", 2, tids);
    for (i = 0; i < spawned; i++) kova_spawned(tids[i]);
    for (i = 0; i < spawned; i++) {
        int number = i + 2;
        pvm_initsend(PvmDataDefault);
        pvm_pkint(&number, 1, 1);
        kova_phase(KOVA_WORK);
        pvm_send(tids[i], TAG_NUMBER);
        kova_comm(KOVA_SEND, tids[i], TAG_NUMBER);
    }
    for (i = 0; i < spawned; i++) {
        int square, bytes, tag, from;
        int bufid = pvm_recv(-1, TAG_SQUARE); /* idle until the message is there */
        kova_phase(KOVA_IDLE);
        pvm_bufinfo(bufid, &bytes, &tag, &from); /* the real source of a wildcard receive */
        pvm_upkint(&square, 1, 1);
        kova_comm(KOVA_RECV, from, tag);
        printf("square %d\n", square);
    }
}

static void Slave(void) {
    int number, parent = pvm_parent();
    kova_slave();
    pvm_recv(parent, TAG_NUMBER);
    kova_phase(KOVA_IDLE);
    pvm_upkint(&number, 1, 1);
    kova_comm(KOVA_RECV, parent, TAG_NUMBER);
    number *= number;
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&number, 1, 1);
    kova_phase(KOVA_WORK);
    pvm_send(parent, TAG_SQUARE);
    kova_comm(KOVA_SEND, parent, TAG_SQUARE);
}

int main(void) {
    if (pvm_parent() == PvmNoParent)
        Master();
    else
        Slave();
    kova_stop();
    pvm_exit();
    return 0;
}
