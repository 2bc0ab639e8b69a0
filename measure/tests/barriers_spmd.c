/* An SPMD program of PVM's group library whose waits are known: the first
 * member starts the others and multicasts the member count and the slow member
 * (the last one it started), all freeze the group and meet at a barrier, the
 * slow member works
 * SLOW_MS longer than the rest before the second barrier, and a reduction sums
 * every member's number (1 + its instance) at the first member, which prints it.
 * Usage: barriers_spmd MEMBERS
 */
#include <pvm3.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define GROUP "barriers"
#define SLOW_MS 400
#define TAG_SUM 31

static void Pause(int milliseconds) {
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&wait, NULL);
}

int main(int argc, char** argv) {
    int members = 0, slow = 0, me, sum, started;
    int tids[32];
    if (pvm_mytid() < 0) return 2;
    me = pvm_joingroup(GROUP);
    if (me < 0) {
        pvm_perror("pvm_joingroup");
        pvm_exit();
        return 2;
    }
    if (me == 0) {
        members = argc == 2 ? atoi(argv[1]) : 0;
        if (members < 1 || members > 32) {
            fprintf(stderr, "usage: barriers_spmd MEMBERS (1 to 32)\n");
            pvm_lvgroup(GROUP);
            pvm_exit();
            return 2;
        }
        started = members > 1 ? pvm_spawn(argv[0], NULL, PvmTaskDefault, "", members - 1, tids) : 0;
        if (started != members - 1) {
            fprintf(stderr, "barriers_spmd: started %d of %d members\n", started, members - 1);
            pvm_lvgroup(GROUP);
            pvm_exit();
            return 1;
        }
        slow = members > 1 ? tids[members - 2] : pvm_mytid();
        pvm_initsend(PvmDataDefault);
        pvm_pkint(&members, 1, 1);
        pvm_pkint(&slow, 1, 1);
        pvm_mcast(tids, members - 1, 1);
    } else {
        pvm_recv(pvm_parent(), 1);
        pvm_upkint(&members, 1, 1);
        pvm_upkint(&slow, 1, 1);
    }

    /* The group is complete: its members' tids are kept by each of them. */
    if (pvm_freezegroup(GROUP, members) < 0) pvm_perror("pvm_freezegroup");
    pvm_barrier(GROUP, members);
    Pause(50);
    if (slow == pvm_mytid()) Pause(SLOW_MS);
    pvm_barrier(GROUP, members);

    sum = me + 1;
    pvm_reduce(PvmSum, &sum, 1, PVM_INT, TAG_SUM, GROUP, 0);
    if (me == 0) printf("members %d sum %d\n", members, sum);

    /* Nobody leaves before the sum reached the first member. */
    pvm_barrier(GROUP, members);
    pvm_lvgroup(GROUP);
    pvm_exit();
    return 0;
}
