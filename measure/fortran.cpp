// Fortran 77 entry points of the C face, as gfortran calls them: lower-case names
// with a trailing underscore, every argument by reference, the length of each
// character argument passed after all the others. Results come back in the last
// argument, as in PVM's Fortran library.
#include <kova/kova.h>

#include <cstddef>
#include <string>

extern "C" {

// call kovafmaster(application, p, W, policy, expid)
void kovafmaster_(const char* application, const int* p, const int* W, const int* policy, int* expid,
                  std::size_t applicationLength) {
    // A Fortran string is padded with blanks to its declared length.
    std::string name(application, applicationLength);
    name.erase(name.find_last_not_of(' ') + 1);
    *expid = kova_master(name.c_str(), *p, *W, *policy);
}

// call kovafslave(expid)
void kovafslave_(int* expid) { *expid = kova_slave(); }

// call kovafspawned(tid)
void kovafspawned_(const int* tid) { kova_spawned(*tid); }

// call kovafphase(type, duration), duration integer*8
void kovafphase_(const int* type, long long* duration) { *duration = kova_phase(*type); }

// call kovafcomm(type, partner, tag, duration), duration integer*8
void kovafcomm_(const int* type, const int* partnerTid, const int* tag, long long* duration) {
    *duration = kova_comm(*type, *partnerTid, *tag);
}

// call kovafstop()
void kovafstop_() { kova_stop(); }

}  // extern "C"
