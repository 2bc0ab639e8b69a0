/* The measurement probe for C programs (and, through the entry points of fkova.h,
 * for Fortran programs): a master opens an experiment, each slave joins it with
 * the number its parent sends, and every task ends each of its phases with
 * kova_phase or kova_comm. Each task keeps its phases in memory of its own (full
 * buffers are stored in the background); kova_stop (or the end of the task)
 * stores the rest, and the master's kova_stop stores the experiment. */
#ifndef KOVA_KOVA_H
#define KOVA_KOVA_H

#include <kova/version.h>

/* Phase types. */
#define KOVA_IDLE 2
#define KOVA_WORK 3
#define KOVA_SEND 5
#define KOVA_RECV 6
#define KOVA_SPAWN 7
#define KOVA_PART 8
#define KOVA_SYNC 9

/* What the master's kova_stop does with stored experiments of the same user,
 * application, p and W. */
#define KOVA_REPLACE_IF_FASTER 0
#define KOVA_REPLACE_IF_SUCCESSFUL 1
#define KOVA_ASK_USER 2
#define KOVA_DO_NOT_REPLACE 3

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the experiment of the master task: application name, number of machines
 * p, problem size W and one of the KOVA_... policies. Returns the experiment ID,
 * or -1 (after a message) when the policy is not one of them and nothing is
 * measured. */
int kova_master(const char* application, int p, int W, int policy);
/* Joins a slave task to its parent's experiment; waits for the number that the
 * parent's kova_spawned sends. Returns the experiment ID. */
int kova_slave(void);
/* Tells the probe of a task just spawned with pvm_spawn: ends a spawn phase and
 * sends the task its experiment number. Call it once per new task. */
void kova_spawned(int tid);
/* Ends the current phase as KOVA_WORK, KOVA_IDLE, KOVA_PART, KOVA_SYNC or
 * KOVA_SPAWN; returns its duration in microseconds. */
long long kova_phase(int type);
/* Ends the current phase as a communication (KOVA_SEND or KOVA_RECV) with the
 * partner task; pass the message tag, by which the analysis matches each receive
 * with its send. Returns its duration in microseconds. */
long long kova_comm(int type, int partnerTid, int tag);
/* Ends the measurement and stores it; does nothing the second time. The
 * master's waits (at most 30 s) for the phases of every task announced, then
 * stores the experiment's rows and applies its policy. */
void kova_stop(void);

#ifdef __cplusplus
}
#endif

#endif
