// The entry for a command that studies how an application scales (kova scaling, and
// any other command that measures a series and models it). In order:
//   1. settings = MakeStudySettings(aggregate, predictions, ownModels)   (the options)
//   2. study = StudyScaling(application, runs, settings)                 (series.h)
//   3. StudyOutput(study, format), or StudyJson(study) to add to it     (outputs.h)
// The runs come from wherever the caller keeps them (kova reads them from the
// database, see apps/kova/scaling_runs.h); nothing here touches a database.
#pragma once
#include "scaling/outputs.h"
#include "scaling/series.h"

#include <string>
#include <vector>

namespace scaling {

// The settings of a study from the options' words: aggregate "median" or "fastest",
// predictions "p=P" or "p=P,W=W", ownModels the derived metrics (DerivedMetrics())
// predicted by their own models rather than from the predicted Tp. Throws
// std::invalid_argument with a clear message.
StudySettings MakeStudySettings(const std::string& aggregate, const std::vector<std::string>& predictions,
                                const std::vector<std::string>& ownModels = {});

// The study as "text", "csv" or "json" (pretty, with a final line feed). Throws
// std::invalid_argument for another format.
std::string StudyOutput(const Study& study, const std::string& format);

}  // namespace scaling
