#include "probe/similar.h"

#include "persist/standarddatabase.h"
#include "probe/replacement.h"

#include <iostream>
#include <string>

KOVAProbe::DO_WITH_SIMILAR_EXP AskWhatToDoWithSimilar(const char* keepAllChoiceName) {
    const std::string choices =
        std::string("r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n (") + keepAllChoiceName + ")";
    std::cout << " *** KOVA: What should I do with similar experiments?\n *** " << choices << std::endl;
    for (;;) {
        std::cout << " ?" << std::flush;
        char answer;
        if (!(std::cin >> answer)) {
            std::cout << "\n *** KOVA: no answer (end of input), all similar experiments are kept ("
                      << keepAllChoiceName << ")" << std::endl;
            return KOVAProbe::DO_NOT_REPLACE;
        }
        switch (answer) {
            case 'r': return KOVAProbe::REPLACE_IF_FASTER;
            case 's': return KOVAProbe::REPLACE_IF_SUCCESFULL;
            case 'n': return KOVAProbe::DO_NOT_REPLACE;
            default: std::cout << " *** Please answer with: " << choices << std::endl;
        }
    }
}

bool LockSimilarExperiments(StandardDatabase& db, const Experiment& experiment, int seconds) {
    const std::string name = ReplacementLockName(experiment);
    if (db.QueryFirst("SELECT GET_LOCK(" + db.QuotedValue(name) + ", " + std::to_string(seconds) + ")") == "1")
        return true;
    std::cout << " *** KOVA Instrumentation: gave up waiting " << seconds << " s for the lock of similar experiments ("
              << name << "), so none is replaced" << std::endl;
    return false;
}

void ReportStoredExperiment(KOVAProbe::DO_WITH_SIMILAR_EXP policy, const Experiment& experiment, bool stays,
                            bool namesConfiguration) {
    switch (policy) {
        case KOVAProbe::REPLACE_IF_FASTER:
            if (stays) {
                std::cout << " *** KOVA Instrumentation: experiment " << experiment.mID
                          << " written to database (it replaces all slower similar experiments)" << std::endl;
            } else {
                std::cout << " *** KOVA Instrumentation: experiment is NOT written to database, because it was "
                             "slower than similar experiments";
                if (namesConfiguration)
                    std::cout << " (" << experiment.mName << " p=" << experiment.mP << " W=" << experiment.mW << ")";
                std::cout << std::endl;
            }
            break;
        case KOVAProbe::REPLACE_IF_SUCCESFULL:
            std::cout << " *** KOVA Instrumentation: experiment " << experiment.mID
                      << " written to database (it replaces all similar experiments)" << std::endl;
            break;
        default:
            std::cout << " *** KOVA Instrumentation: experiment " << experiment.mID << " written to database "
                      << std::endl;
    }
}
