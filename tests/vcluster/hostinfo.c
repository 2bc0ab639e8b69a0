/* vcluster_probe: shows where the tasks of a PVM virtual machine run.
 *
 *   vcluster_probe [-d] [-c] [-n]
 *
 * As master (started by hand) it spawns one copy of itself on every other host
 * of the virtual machine, catches their output (unless -n: it then goes where
 * PVM sends it by default, the master host's pvmd log), and prints one line for itself
 * and one for each copy that reports back:
 *   master host=<host name> HOST=<$HOST> USER=<$USER> cwd=<working directory> hosts=<n>
 *   task host=<host name> HOST=<$HOST> USER=<$USER> cwd=<working directory> parent=<parent program>
 * Each copy also writes its line to the file "vcluster_probe.out" in its working
 * directory. -d spawns the copies with PvmTaskDebug (through the debugger
 * script); -c makes every copy crash on a null pointer after it reported.
 * Exit status 0 when every copy reported, 1 otherwise. */
#include <limits.h>
#include <stdio.h> /* before pvm3.h, which declares pvm_catchout only with FILE known */
#include <pvm3.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { TAG_REPORT = 1, REPORT_SIZE = 4 * PATH_MAX, REPORT_WAIT_SECONDS = 30 };

static const char *env_or_unset(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "(unset)";
}

/* The name of the program that started this process (gdb under the debugger script). */
static void parent_program(char *name, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", (int)getppid());
    FILE *comm = fopen(path, "r");
    if (!comm || !fgets(name, (int)size, comm))
        snprintf(name, size, "(unknown)");
    if (comm)
        fclose(comm);
    name[strcspn(name, "\n")] = '\0';
}

/* One line about this process: host name, HOST, USER and working directory. */
static void describe_self(const char *role, char *line, size_t size)
{
    char host[256] = "(unknown)", cwd[PATH_MAX] = "(unknown)";
    gethostname(host, sizeof host);
    if (!getcwd(cwd, sizeof cwd))
        snprintf(cwd, sizeof cwd, "(unknown)");
    snprintf(line, size, "%s host=%s HOST=%s USER=%s cwd=%s", role, host, env_or_unset("HOST"),
             env_or_unset("USER"), cwd);
}

__attribute__((noinline)) static void crash_on_purpose(volatile int *nowhere)
{
    *nowhere = 1;
}

static int run_slave(int parent, int crash)
{
    char line[REPORT_SIZE], parent_name[64];
    describe_self("task", line, sizeof line);
    parent_program(parent_name, sizeof parent_name);
    size_t length = strlen(line);
    snprintf(line + length, sizeof line - length, " parent=%s", parent_name);

    FILE *out = fopen("vcluster_probe.out", "w");
    if (out) {
        fprintf(out, "%s\n", line);
        fclose(out);
    }
    printf("%s\n", line);
    fflush(stdout);
    pvm_initsend(PvmDataDefault);
    pvm_pkstr(line);
    if (pvm_send(parent, TAG_REPORT) < 0) {
        pvm_perror("vcluster_probe: calling pvm_send");
        pvm_exit();
        return 1;
    }
    if (crash) {
        printf("crashing on purpose\n");
        fflush(stdout);
        crash_on_purpose(NULL);
    }
    pvm_exit();
    return 0;
}

static int run_master(int debug, int crash, int catch_output)
{
    struct pvmhostinfo *hosts;
    int nhosts, narch;
    if (pvm_config(&nhosts, &narch, &hosts) < 0) {
        pvm_perror("vcluster_probe: calling pvm_config");
        pvm_exit();
        return 1;
    }
    char line[REPORT_SIZE];
    describe_self("master", line, sizeof line);
    printf("%s hosts=%d\n", line, nhosts);
    fflush(stdout);

    if (catch_output)
        pvm_catchout(stdout);
    int own_host = pvm_tidtohost(pvm_mytid());
    char *slave_args[] = {crash ? "-c" : NULL, NULL};
    int flags = PvmTaskHost | (debug ? PvmTaskDebug : 0);
    int spawned = 0, failed = 0;
    for (int i = 0; i < nhosts; ++i) {
        if (hosts[i].hi_tid == own_host)
            continue;
        int tid;
        if (pvm_spawn("vcluster_probe", slave_args, flags, hosts[i].hi_name, 1, &tid) == 1) {
            ++spawned;
        } else {
            printf("vcluster_probe: spawn on %s failed (%d)\n", hosts[i].hi_name, tid);
            failed = 1;
        }
    }
    struct timeval wait = {REPORT_WAIT_SECONDS, 0};
    for (int received = 0; received < spawned; ++received) {
        if (pvm_trecv(-1, TAG_REPORT, &wait) <= 0) {
            printf("vcluster_probe: %d of %d tasks reported within %d s\n", received, spawned,
                   REPORT_WAIT_SECONDS);
            failed = 1;
            break;
        }
        pvm_upkstr(line);
        printf("%s\n", line);
    }
    fflush(stdout);
    /* Waits until the output of every spawned task has arrived. */
    pvm_exit();
    return failed;
}

int main(int argc, char **argv)
{
    int debug = 0, crash = 0, catch_output = 1, option;
    while ((option = getopt(argc, argv, "dcn")) != -1) {
        switch (option) {
        case 'd': debug = 1; break;
        case 'c': crash = 1; break;
        case 'n': catch_output = 0; break;
        default:
            fprintf(stderr, "usage: vcluster_probe [-d] [-c] [-n]\n");
            return 2;
        }
    }
    if (pvm_mytid() < 0) {
        pvm_perror("vcluster_probe: calling pvm_mytid");
        return 1;
    }
    int parent = pvm_parent();
    return parent == PvmNoParent ? run_master(debug, crash, catch_output) : run_slave(parent, crash);
}
