// A rank's measurement from MPI_Init to MPI_Finalize: its identity (the world
// rank; rank 0 is the master), the clock offsets of its host to rank 0's,
// measured over a duplicate of MPI_COMM_WORLD of the measurement's own at both
// ends, and the start of its first phase.
#pragma once

// Begins measuring when kova measure started the program: called right after the
// program's MPI_Init. Every rank of the world calls it; a second call does nothing.
void BeginRank();
// Stores the rank's measurement: called by the program's MPI_Finalize, before
// the MPI library's own. Every rank of the world calls it; a second call does
// nothing.
void FinishRank();
