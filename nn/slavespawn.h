// Starting the slave tasks of a master/slave program: one copy of an executable
// per slave, each on a named host or where PVM chooses, with the fatal ends of
// a spawn that cannot work.
#pragma once

namespace NeuralNetwork {

// Characters per host name in a table of slave hosts.
constexpr int SPAWN_HOST_NAME_SIZE = 25;

// Source lines that the two fatal spawn errors name (file "parallel").
struct SpawnErrorLines {
    int hostNotInMachine;
    int executableMissing;
};

// Spawns one copy of exe with arguments (a null-terminated list; null for none)
// for each of tids[1..n], on hosts[i] when that name is not empty, otherwise where
// PVM chooses. Row 0 of hosts and entry 0 of tids are not touched. A failed slot
// prints the PVM error and " Error in spawn slave : negative tid <code>"; a host
// that is not in the virtual machine or a missing executable then kills the copies
// already started, leaves PVM and ends the process through error() naming the
// line of errorLines; another failure leaves its negative code in tids[i].
void spawnCopies(char* exe, char** arguments, char hosts[][SPAWN_HOST_NAME_SIZE], unsigned n, int* tids,
                 SpawnErrorLines errorLines);

// Ends the copies already spawned in tids[1 .. count], so that none of them waits
// for a master that is gone.
void killCopies(const int* tids, unsigned count);

}  // namespace NeuralNetwork
