#include "apps/kova/kova_session.h"

#include "measure/blockstore.h"

#include "analysis/analyse.h"
#include "probe/databaseaddress.h"
#include "analysis/error.h"
#include "analysis/legacy_db.h"
#include "analysis/measurement_db.h"
#include "persist/standarddatabase.h"

#include <stdexcept>

using analysis::ExperimentModel;
using analysis::Source;

Session::Session() = default;
Session::~Session() = default;

StandardDatabase& Session::Measurement() {
    if (!mMeasurement) {
        DatabaseAddress address;
        try {
            address = MeasurementDatabaseAddress();
        } catch (const std::invalid_argument& wrong) {
            throw analysis::Error(wrong.what(), analysis::kExitUsage);
        }
        mMeasurement = std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", address.host, address.port,
                                                          address.socket);
        // Runs measured by kova measure whose phases are still blocks become rows first.
        try {
            recording::ExpandEndedExperiments(mMeasurement->Handle());
        } catch (const recording::StoreError& failure) {
            throw analysis::Error(failure.what());
        }
    }
    return *mMeasurement;
}

std::vector<analysis::ExperimentHeader> Session::List(const std::string& user, const std::string& application) {
    if (mSource == Source::kLegacy) return analysis::ListLegacyExperiments(user, application);
    return analysis::ListExperiments(Measurement(), user, application);
}

ExperimentModel Session::Load(int expID) {
    if (mSource == Source::kLegacy) return analysis::LoadLegacyExperiment(expID);
    return analysis::LoadExperiment(Measurement(), expID);
}

ExperimentModel Session::LoadAnalysed(int expID, std::optional<int> sequentialID) {
    ExperimentModel model = Load(expID);
    const bool analysed = model.header.statusData >= analysis::kBlockingCausesCalc;
    if (analysed && !sequentialID && mSource == Source::kMeasurement) {
        std::optional<analysis::Time> Ts;
        if (!(model.header.errorFlags & analysis::kTseqNotInDb)) Ts = model.header.Ts;
        analysis::Analyse(model, Ts);
        return model;
    }
    return Analyse(std::move(model), sequentialID);
}

ExperimentModel Session::Analyse(int expID, std::optional<int> sequentialID) {
    return Analyse(Load(expID), sequentialID);
}

ExperimentModel Session::Analyse(ExperimentModel model, std::optional<int> sequentialID) {
    if (mSource == Source::kLegacy) {
        // Legacy results stay in the model: nothing is written into the legacy tables.
        analysis::Analyse(model, model.header.Ts > 0 ? std::optional<analysis::Time>(model.header.Ts) : std::nullopt);
        return model;
    }
    analysis::Analyse(model, analysis::FindSequentialTime(Measurement(), model.header, sequentialID, mAllowOtherReference));
    analysis::StoreFindings(Measurement(), model);
    return model;
}
