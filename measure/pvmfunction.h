// The PVM libraries' own functions, for the wrappers that take their place.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace pvmfunction {

// The function of that name that the next library in the lookup order defines
// (the message passing library's or the group library's).
template <class Function> Function* Library(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "kova measure: the PVM libraries have no function %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function*>(found);
}

}  // namespace pvmfunction

// Defines real, the PVM library's own function that the wrapper of that name
// stands in for.
#define PVM_FUNCTION(name) static auto* const real = pvmfunction::Library<decltype(::name)>(#name)
