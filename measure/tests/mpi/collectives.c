/* Collectives with one late rank each, so that the waits and their causes are
 * known: the last rank sleeps before an MPI_Barrier (everyone else waits for
 * it), the last rank sleeps before an MPI_Reduce to root 0 (the root entered
 * first and waits), root 0 sleeps before an MPI_Bcast (everyone waits for the
 * root). Then the even and the odd ranks each form a communicator of their own
 * (MPI_Comm_split), exchange with MPI_Sendrecv within it and sum with
 * MPI_Allreduce there. Usage: collectives [MILLISECONDS] (default 200). */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int rank, size;
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const useconds_t late = (useconds_t)(argc > 1 ? atoi(argv[1]) : 200) * 1000;
    const int last = size - 1;

    if (rank == last) usleep(late);
    MPI_Barrier(MPI_COMM_WORLD);

    int value = rank + 1, sum = 0;
    if (rank == last) usleep(late);
    MPI_Reduce(&value, &sum, 1, MPI_INT, MPI_SUM, 0, MPI_COMM_WORLD);

    int broadcast = rank == 0 ? 42 : 0;
    if (rank == 0) usleep(late);
    MPI_Bcast(&broadcast, 1, MPI_INT, 0, MPI_COMM_WORLD);

    MPI_Comm half;
    MPI_Comm_split(MPI_COMM_WORLD, rank % 2, rank, &half);
    int halfRank, halfSize;
    MPI_Comm_rank(half, &halfRank);
    MPI_Comm_size(half, &halfSize);
    int mine = rank, theirs = -1, halfSum = 0;
    MPI_Sendrecv(&mine, 1, MPI_INT, (halfRank + 1) % halfSize, 7, &theirs, 1, MPI_INT,
                 (halfRank + halfSize - 1) % halfSize, 7, half, MPI_STATUS_IGNORE);
    MPI_Allreduce(&theirs, &halfSum, 1, MPI_INT, MPI_SUM, half);
    MPI_Comm_free(&half);

    if (rank == 0) printf("collectives: reduce %d, bcast %d\n", sum, broadcast);
    printf("collectives: rank %d half %d sum %d\n", rank, rank % 2, halfSum);
    MPI_Finalize();
    return 0;
}
