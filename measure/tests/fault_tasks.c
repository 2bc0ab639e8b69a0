/* A plain PVM program (it knows nothing of KOVA) that does what measured
 * programs do to a measurement:
 *
 *   fault_tasks kill MS      spawns a slave that allocates and prints in a loop,
 *                            kills it (pvm_kill, SIGTERM) after MS milliseconds
 *   fault_tasks fork         forks a helper that calls exit() while the master
 *                            and its slave exchange messages
 *   fault_tasks stream N     sends N messages to a slave, which answers the last
 *   fault_tasks many N       spawns N slaves that each answer at once
 *
 * The master prints what happened on standard output and ends with status 0.
 */
#include <pvm3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define TAG_COUNT 1
#define TAG_DATA 2
#define TAG_DONE 3

static void Loop(void) {
    unsigned long round = 0;
    for (;;) {
        char* memory = malloc(1000 + round % 5000);
        memset(memory, (int)round, 1000);
        printf("round %lu %d\n", round++, memory[10]);
        fflush(stdout);
        free(memory);
        if (round % 50 == 0) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, NULL);
        }
    }
}

static void Echo(void) {
    int count = 0, k, parent = pvm_parent();
    pvm_recv(parent, TAG_COUNT);
    pvm_upkint(&count, 1, 1);
    for (k = 0; k < count; ++k) pvm_recv(parent, TAG_DATA);
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&count, 1, 1);
    pvm_send(parent, TAG_DONE);
}

static int Spawn(const char* mode) {
    char* argv[] = {(char*)mode, NULL};
    int tid = 0;
    if (pvm_spawn("fault_tasks", argv, PvmTaskDefault, "", 1, &tid) != 1) {
        printf("fault_tasks: cannot spawn\n");
        pvm_exit();
        exit(1);
    }
    return tid;
}

static void Stream(int tid, int count) {
    int k, answer = 0;
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&count, 1, 1);
    pvm_send(tid, TAG_COUNT);
    for (k = 0; k < count; ++k) {
        pvm_initsend(PvmDataDefault);
        pvm_pkint(&k, 1, 1);
        pvm_send(tid, TAG_DATA);
    }
    pvm_recv(tid, TAG_DONE);
    pvm_upkint(&answer, 1, 1);
    printf("slave received %d messages\n", answer);
}

int main(int argc, char** argv) {
    if (pvm_parent() != PvmNoParent) {
        if (argc > 1 && strcmp(argv[1], "loop") == 0) Loop();
        Echo();
        pvm_exit();
        return 0;
    }
    if (argc > 2 && strcmp(argv[1], "kill") == 0) {
        int tid = Spawn("loop");
        struct timespec pause = {atoi(argv[2]) / 1000, (atoi(argv[2]) % 1000) * 1000000L};
        nanosleep(&pause, NULL);
        pvm_kill(tid);
        printf("killed the slave\n");
    } else if (argc > 1 && strcmp(argv[1], "fork") == 0) {
        int tid = Spawn("echo"), status = 0;
        pid_t helper = fork();
        if (helper == 0) {
            printf("helper done\n");
            exit(0);
        }
        waitpid(helper, &status, 0);
        Stream(tid, 100);
        printf("helper status %d\n", WEXITSTATUS(status));
    } else if (argc > 2 && strcmp(argv[1], "stream") == 0) {
        Stream(Spawn("echo"), atoi(argv[2]));
    } else if (argc > 2 && strcmp(argv[1], "many") == 0) {
        int k, answered = 0, zero = 0;
        for (k = 0; k < atoi(argv[2]); ++k) {
            pvm_initsend(PvmDataDefault);
            pvm_pkint(&zero, 1, 1);
            pvm_send(Spawn("echo"), TAG_COUNT);
        }
        for (k = 0; k < atoi(argv[2]); ++k) answered += pvm_recv(-1, TAG_DONE) > 0;
        printf("%d slaves answered\n", answered);
    } else {
        printf("usage: fault_tasks kill MS | fork | stream N | many N\n");
        pvm_exit();
        return 2;
    }
    pvm_exit();
    return 0;
}
