// mpi.h for the measuring library, with the MPI library's data (its predefined
// handles) referenced weakly: a launcher also starts programs without MPI (a
// shell, a wrapper script that starts the MPI program), which must load the
// preloaded library too. They never call an MPI function, so the missing data
// is never used; functions are bound when first called.
#pragma once
#include <mpi.h>

#pragma weak MPI_F_STATUS_IGNORE
#pragma weak MPI_F_STATUSES_IGNORE
#if defined(OPEN_MPI)
#pragma weak ompi_mpi_byte
#pragma weak ompi_mpi_char
#pragma weak ompi_mpi_int
#pragma weak ompi_mpi_long_long_int
#pragma weak ompi_mpi_comm_null
#pragma weak ompi_mpi_comm_self
#pragma weak ompi_mpi_comm_world
#endif
