c     A master and two slaves measured with the KOVA probe's Fortran
c     calls: the master sends each slave a number, each slave sends
c     back its square. The program is its own slave, so it must lie in
c     PVM's executable path.
      program fkova_example
      include 'fpvm3.h'
      include 'kova/fkova.h'
      integer mytid, parent, tids(2), numt, i, n, info, expid
      integer bufid, bytes, tag, from
      integer*8 took
      call pvmfmytid(mytid)
      call pvmfparent(parent)
      if (parent .eq. PvmNoParent) then
         call kovafmaster('fkova_example', 3, 0, KOVA_DO_NOT_REPLACE,
     >                    expid)
         print *, 'experiment', expid
         call pvmfspawn('fkova_example', PVMDEFAULT, '*', 2, tids, numt)
         do 10 i = 1, numt
            call kovafspawned(tids(i))
   10    continue
         do 20 i = 1, numt
            n = i + 1
            call pvmfinitsend(PVMDEFAULT, info)
            call pvmfpack(INTEGER4, n, 1, 1, info)
            call kovafphase(KOVA_WORK, took)
            call pvmfsend(tids(i), 1, info)
            call kovafcomm(KOVA_SEND, tids(i), 1, took)
   20    continue
         do 30 i = 1, numt
            call pvmfrecv(-1, 2, bufid)
            call kovafphase(KOVA_IDLE, took)
            call pvmfbufinfo(bufid, bytes, tag, from, info)
            call pvmfunpack(INTEGER4, n, 1, 1, info)
            call kovafcomm(KOVA_RECV, from, tag, took)
            print *, 'square', n
   30    continue
      else
         call kovafslave(expid)
         call pvmfrecv(parent, 1, bufid)
         call kovafphase(KOVA_IDLE, took)
         call pvmfunpack(INTEGER4, n, 1, 1, info)
         call kovafcomm(KOVA_RECV, parent, 1, took)
         n = n * n
         call pvmfinitsend(PVMDEFAULT, info)
         call pvmfpack(INTEGER4, n, 1, 1, info)
         call kovafphase(KOVA_WORK, took)
         call pvmfsend(parent, 2, info)
         call kovafcomm(KOVA_SEND, parent, 2, took)
      endif
      call kovafstop()
      call pvmfexit(info)
      end
