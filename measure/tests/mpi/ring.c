/* A ring: in each of R rounds every rank posts MPI_Irecv from its left
 * neighbour (tag = the round) and MPI_Isend of the value it holds to its right
 * one, waits for both with MPI_Waitall and adds what it received, passing it on
 * in the next round. With R = size rounds each rank has seen every rank's
 * number once, so the reduced total is size * size(size-1)/2.
 * Usage: ring [R] (default: the number of ranks). */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    int rank, size, round, rounds;
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    rounds = argc > 1 ? atoi(argv[1]) : size;
    const int left = (rank + size - 1) % size, right = (rank + 1) % size;
    long long passing = rank, total = 0;
    for (round = 0; round < rounds; ++round) {
        long long incoming = 0;
        MPI_Request requests[2];
        MPI_Status statuses[2];
        MPI_Irecv(&incoming, 1, MPI_LONG_LONG, left, round, MPI_COMM_WORLD, &requests[0]);
        MPI_Isend(&passing, 1, MPI_LONG_LONG, right, round, MPI_COMM_WORLD, &requests[1]);
        MPI_Waitall(2, requests, statuses);
        total += incoming;
        passing = incoming;
    }
    long long all = 0;
    MPI_Reduce(&total, &all, 1, MPI_LONG_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
    if (rank == 0) printf("ring: %d ranks, %d rounds, total %lld\n", size, rounds, all);
    MPI_Finalize();
    return 0;
}
