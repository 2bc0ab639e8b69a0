// The setting that lets a sweep keep every repetition: a measured program passes its
// own policy for similar experiments through SimilarExpPolicy, which keeps them all
// (DO_NOT_REPLACE) when the environment holds KOVA_KEEP_EVERY_RUN=1, as
// kova study sets it; otherwise the program's policy holds.
#pragma once
#include "probe/KOVAInstrumentation.h"

#include <cstdlib>
#include <cstring>

inline KOVAProbe::DO_WITH_SIMILAR_EXP SimilarExpPolicy(KOVAProbe::DO_WITH_SIMILAR_EXP usual) {
    const char* keep = std::getenv("KOVA_KEEP_EVERY_RUN");
    return keep != nullptr && std::strcmp(keep, "1") == 0 ? KOVAProbe::DO_NOT_REPLACE : usual;
}
