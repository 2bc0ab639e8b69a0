#include "probe/replacement.h"

#include <cstdint>
#include <cstdio>
#include <sstream>

std::vector<std::string> DeleteExperimentStatements(int expID) {
    const std::string id = std::to_string(expID);
    // Every table keyed by the experiment, in one order for every deleter, the
    // experiment's own row last.
    std::vector<std::string> statements;
    for (const char* table : ExperimentRowTables())
        statements.push_back(std::string("DELETE FROM ") + table + " WHERE expID = " + id);
    statements.push_back("DELETE FROM Experiments WHERE ID = " + id);
    return statements;
}

const std::vector<const char*>& ExperimentRowTables() {
    static const std::vector<const char*> tables{"Phases",   "PhaseDurations", "Processes",   "ClockOffsets",
                                                 "ExpParValue", "Messages",    "WaitStates",  "PhaseDetails",
                                                 "ProbeCosts",  "PhaseBlocks"};
    return tables;
}

void DeleteExperiment(int expID, StandardDatabase& db) { db.QueryBatch(DeleteExperimentStatements(expID)); }

std::string RunningExperimentLockName(int expID) { return "KOVA experiment " + std::to_string(expID); }

std::string ReplacementLockName(const Experiment& current) {
    // FNV-1a over the configuration as it is stored (texts cut to the column width).
    std::uint64_t hash = 14695981039346656037ULL;
    auto add = [&hash](const std::string& text) {
        for (unsigned char c : text + '\0') hash = (hash ^ c) * 1099511628211ULL;
    };
    for (const std::string& text : {current.mUser, current.mProject, current.mName, current.mVersion})
        add(CutToWidth(text));
    add(std::to_string(current.mP));
    add(std::to_string(current.mW));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("KOVA replace ") + hex;
}

Replacement PlanReplacement(const Experiment& current, bool onlyIfFaster, StandardDatabase& db) {
    // The texts are compared as they were stored: cut to the column width, escaped.
    auto text = [&db](const std::string& value) { return db.QuotedValue(CutToWidth(value)); };
    std::ostringstream where;
    where << "WHERE user = " << text(current.mUser) << " AND project = " << text(current.mProject)
          << " AND name = " << text(current.mName) << " AND version = " << text(current.mVersion)
          << " AND p = " << current.mP << " AND W = " << current.mW;
    std::vector<Experiment> similar;
    db >> WhereClause(where.str()) >> similar;
    Replacement replacement;
    for (const Experiment& stored : similar) {
        if (stored.mID == current.mID || stored.mStatusData == Experiment::EXP_STARTED) continue;
        if (onlyIfFaster && stored.mTp > 0 && stored.mTp <= current.mTp)
            replacement.stays = false;
        else
            replacement.deleted.push_back(stored.mID);
    }
    return replacement;
}

bool ReplaceSimilarExperiments(const Experiment& current, bool onlyIfFaster, StandardDatabase& db) {
    const Replacement replacement = PlanReplacement(current, onlyIfFaster, db);
    std::vector<int> deleted = replacement.deleted;
    if (!replacement.stays) deleted.push_back(current.mID);
    std::vector<std::string> statements;
    for (int expID : deleted)
        for (std::string& statement : DeleteExperimentStatements(expID)) statements.push_back(std::move(statement));
    if (!statements.empty()) db.QueryBatch(statements);
    return replacement.stays;
}
