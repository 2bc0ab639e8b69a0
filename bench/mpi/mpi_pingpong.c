/* The MPI program of mpi_bench, run plain and under kova measure.
 *   mpi_pingpong pingpong MESSAGES WORK_US  two ranks: rank 0 sends, rank 1
 *       answers, MESSAGES times, each rank doing WORK_US of fixed CPU work per
 *       message it sends
 *   mpi_pingpong calls CALLS                 MPI_Barrier on MPI_COMM_SELF, CALLS times
 * Rank 0 prints the wall seconds between MPI_Init and MPI_Finalize and the CPU
 * seconds its thread used meanwhile. */
#include "bench/common/work.h"

#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double ThreadCpuSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    int rank = 0;
    MPI_Init(&argc, &argv);
    const double start = MPI_Wtime(), startCpu = ThreadCpuSeconds();
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (argc >= 4 && strcmp(argv[1], "pingpong") == 0) {
        const long messages = atol(argv[2]);
        const long iterations = IterationsFor(atof(argv[3]));
        const int partner = 1 - rank;
        int value = 0;
        MPI_Barrier(MPI_COMM_WORLD);
        for (long i = 0; i < messages; ++i) {
            if (rank == 0) {
                Work(iterations);
                MPI_Send(&value, 1, MPI_INT, partner, 1, MPI_COMM_WORLD);
                MPI_Recv(&value, 1, MPI_INT, partner, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            } else {
                MPI_Recv(&value, 1, MPI_INT, partner, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
                Work(iterations);
                MPI_Send(&value, 1, MPI_INT, partner, 1, MPI_COMM_WORLD);
            }
        }
    } else if (argc >= 3 && strcmp(argv[1], "calls") == 0) {
        const long calls = atol(argv[2]);
        for (long i = 0; i < calls; ++i) MPI_Barrier(MPI_COMM_SELF);
    } else {
        if (rank == 0) fprintf(stderr, "usage: mpi_pingpong pingpong MESSAGES WORK_US | calls CALLS\n");
        MPI_Finalize();
        return 2;
    }
    const double took = MPI_Wtime() - start, cpu = ThreadCpuSeconds() - startCpu;
    if (rank == 0) printf("%.6f %.6f\n", took, cpu);
    MPI_Finalize();
    return 0;
}
