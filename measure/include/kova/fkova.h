!     The constants of the KOVA probe's Fortran calls (kovafmaster,
!     kovafslave, kovafspawned, kovafphase, kovafcomm, kovafstop):
!     the phase types and the replacement policies.
      integer KOVA_IDLE, KOVA_WORK, KOVA_SEND, KOVA_RECV
      integer KOVA_SPAWN, KOVA_PART, KOVA_SYNC
      parameter (KOVA_IDLE = 2, KOVA_WORK = 3, KOVA_SEND = 5)
      parameter (KOVA_RECV = 6, KOVA_SPAWN = 7, KOVA_PART = 8)
      parameter (KOVA_SYNC = 9)
      integer KOVA_REPLACE_IF_FASTER, KOVA_REPLACE_IF_SUCCESSFUL
      integer KOVA_ASK_USER, KOVA_DO_NOT_REPLACE
      parameter (KOVA_REPLACE_IF_FASTER = 0)
      parameter (KOVA_REPLACE_IF_SUCCESSFUL = 1)
      parameter (KOVA_ASK_USER = 2, KOVA_DO_NOT_REPLACE = 3)
