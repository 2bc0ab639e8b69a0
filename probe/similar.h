// What a master's probe asks and says about the stored experiments similar to
// its own (the same user, application, p and W) under its replacement policy.
#pragma once

#include "probe/KOVAData.h"
#include "probe/KOVAInstrumentation.h"

class StandardDatabase;

// Asks on the console (standard input and output) what to do with similar
// experiments; at the end of input every one is kept. keepAllChoiceName names
// the choice n.
KOVAProbe::DO_WITH_SIMILAR_EXP AskWhatToDoWithSimilar(const char* keepAllChoiceName);

// Takes the database lock of experiment's configuration, waiting at most seconds;
// false, after saying so, when it gave up. Throws DatabaseError.
bool LockSimilarExperiments(StandardDatabase& db, const Experiment& experiment, int seconds);

// Says what became of the experiment under policy: written (replacing which), or
// not written because it stays not (namesConfiguration: with its application, p
// and W).
void ReportStoredExperiment(KOVAProbe::DO_WITH_SIMILAR_EXP policy, const Experiment& experiment, bool stays,
                            bool namesConfiguration);
