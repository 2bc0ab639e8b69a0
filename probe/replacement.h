// How the stored experiments of one configuration are replaced and removed: the
// replacement policy, the deletion of an experiment with all its rows, and the
// names of the database locks that the probe and kova take around experiments.
#pragma once

#include "probe/KOVAData.h"

#include <string>
#include <vector>

// What the replacement policy decides for an experiment: the stored experiments to
// delete, and whether the experiment itself stays.
struct Replacement {
    std::vector<int> deleted;
    bool stays = true;
};

// The tables whose rows belong to one experiment by their column expID.
const std::vector<const char*>& ExperimentRowTables();
// The statements that remove an experiment row with the rows of every table of
// ExperimentRowTables stored for it.
std::vector<std::string> DeleteExperimentStatements(int expID);
// Removes an experiment with everything stored for it, in one transaction.
void DeleteExperiment(int expID, StandardDatabase& db);

// Name of the database lock that serialises the replacement step of the
// experiments of current's configuration (user, project, name, version, p, W):
// "KOVA replace " and a hash of the configuration, within the server's 64 characters.
std::string ReplacementLockName(const Experiment& current);

// Name of the database lock that the master's probe holds while experiment expID runs.
std::string RunningExperimentLockName(int expID);

// Decides the replacement policy for current against the stored experiments of the
// same configuration (user, project, name, version, p, W); reads only. Experiments
// that have not finished (status EXP_STARTED: still running, or crashed) are never
// deleted. With onlyIfFaster, finished ones that are slower (or have no positive
// Tp) are deleted, and current does not stay when a finished one at least as fast
// remains; without it, all other finished ones are deleted.
Replacement PlanReplacement(const Experiment& current, bool onlyIfFaster, StandardDatabase& db);

// Applies PlanReplacement in one transaction, current's own deletion included when
// it does not stay; returns whether current stays.
bool ReplaceSimilarExperiments(const Experiment& current, bool onlyIfFaster, StandardDatabase& db);
