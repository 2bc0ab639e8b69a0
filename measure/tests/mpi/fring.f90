! The ring of ring.c in Fortran (mpif.h): each round every rank posts
! MPI_IRECV from its left neighbour and MPI_ISEND to its right one, waits with
! MPI_WAITALL and passes on what it received; then MPI_REDUCE of the totals and
! an MPI_BARRIER. With as many rounds as ranks the total is size * size(size-1)/2.
program fring
    implicit none
    include 'mpif.h'
    integer :: rank, size, ierr, round, left, right
    integer :: requests(2), statuses(MPI_STATUS_SIZE, 2)
    integer(kind=8) :: passing, incoming, total, all
    call MPI_INIT(ierr)
    call MPI_COMM_RANK(MPI_COMM_WORLD, rank, ierr)
    call MPI_COMM_SIZE(MPI_COMM_WORLD, size, ierr)
    left = mod(rank + size - 1, size)
    right = mod(rank + 1, size)
    passing = rank
    total = 0
    do round = 0, size - 1
        call MPI_IRECV(incoming, 1, MPI_INTEGER8, left, round, MPI_COMM_WORLD, requests(1), ierr)
        call MPI_ISEND(passing, 1, MPI_INTEGER8, right, round, MPI_COMM_WORLD, requests(2), ierr)
        call MPI_WAITALL(2, requests, statuses, ierr)
        total = total + incoming
        passing = incoming
    end do
    call MPI_REDUCE(total, all, 1, MPI_INTEGER8, MPI_SUM, 0, MPI_COMM_WORLD, ierr)
    call MPI_BARRIER(MPI_COMM_WORLD, ierr)
    if (rank == 0) print '(a,i0,a,i0)', 'fring: ', size, ' ranks, total ', all
    call MPI_FINALIZE(ierr)
end program fring
