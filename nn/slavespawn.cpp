#include "nn/slavespawn.h"

#include <pvm3.h>
#include "probe/standardlib.h"

#include <iostream>
#include <string>

namespace NeuralNetwork {

void killCopies(const int* tids, unsigned count) {
    for (unsigned i = 1; i <= count; ++i)
        if (tids[i] > 0) pvm_kill(tids[i]);
}

void spawnCopies(char* exe, char** arguments, char hosts[][SPAWN_HOST_NAME_SIZE], unsigned n, int* tids,
                 SpawnErrorLines errorLines) {
    for (unsigned i = 1; i <= n; ++i) {
        const int flag = hosts[i][0] != '\0' ? PvmTaskHost : PvmTaskDefault;
        const int started = pvm_spawn(exe, arguments, flag, hosts[i], 1, &tids[i]);
        // When PVM itself fails, the reason is the result, not an entry of tids.
        if (started < 1 && tids[i] >= 0) tids[i] = started < 0 ? started : PvmSysErr;
        if (tids[i] >= 0) continue;
        std::cout.flush();
        pvm_perror(exe);
        std::cout << " Error in spawn slave : negative tid " << tids[i] << std::endl;
        if (tids[i] == PvmNoHost || tids[i] == PvmNoFile) {
            const bool noHost = tids[i] == PvmNoHost;
            killCopies(tids, i - 1);
            pvm_exit();
            if (noHost)
                error(std::string(" host '") + hosts[i] + "' is not added to pvm,", "parallel",
                      errorLines.hostNotInMachine);
            error(std::string("Slave executable ") + exe + " cannot be found,", "parallel",
                  errorLines.executableMissing);
        }
    }
}

}  // namespace NeuralNetwork
