/* A master/worker farm, measured unmodified with kova measure: rank 0 hands out
 * the numbers 1..N one at a time, each worker sends back the square, and the
 * master gives the next number to whichever worker answered (MPI_ANY_SOURCE,
 * MPI_ANY_TAG), then tells every worker to stop. Prints the sum of the squares,
 * N(N+1)(2N+1)/6.
 *   mpicc -o mpi_farm mpi_farm.c
 *   kova measure -- mpirun -np 4 ./mpi_farm 20
 * Usage: mpi_farm [N] (default 20). */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

enum { TAG_WORK = 1, TAG_RESULT = 2, TAG_STOP = 3 };

static void Master(int workers, int count) {
    long long sum = 0;
    int next = 1, busy = 0, w;
    for (w = 1; w <= workers && next <= count; ++w, ++next, ++busy)
        MPI_Send(&next, 1, MPI_INT, w, TAG_WORK, MPI_COMM_WORLD);
    while (busy > 0) {
        long long square;
        MPI_Status status;
        MPI_Recv(&square, 1, MPI_LONG_LONG, MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
        sum += square;
        --busy;
        if (next <= count) {
            MPI_Send(&next, 1, MPI_INT, status.MPI_SOURCE, TAG_WORK, MPI_COMM_WORLD);
            ++next;
            ++busy;
        }
    }
    for (w = 1; w <= workers; ++w) MPI_Send(&next, 0, MPI_INT, w, TAG_STOP, MPI_COMM_WORLD);
    printf("mpi_farm: sum of squares of 1..%d = %lld\n", count, sum);
}

static void Worker(void) {
    for (;;) {
        int number;
        MPI_Status status;
        MPI_Recv(&number, 1, MPI_INT, 0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
        if (status.MPI_TAG == TAG_STOP) return;
        long long square = (long long)number * number;
        MPI_Send(&square, 1, MPI_LONG_LONG, 0, TAG_RESULT, MPI_COMM_WORLD);
    }
}

int main(int argc, char** argv) {
    int rank, size;
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (size < 2) {
        if (rank == 0) fprintf(stderr, "mpi_farm: needs at least 2 ranks\n");
        MPI_Finalize();
        return 1;
    }
    if (rank == 0)
        Master(size - 1, argc > 1 ? atoi(argv[1]) : 20);
    else
        Worker();
    MPI_Finalize();
    return 0;
}
