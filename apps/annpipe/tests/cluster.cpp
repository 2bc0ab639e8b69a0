#include "apps/annpipe/tests/cluster.h"

#include <sys/stat.h>

#include <fstream>

ClusterOptions AnnpipeRun(const std::string& folder, const std::string& pvmPath) {
    ClusterOptions options;
    options.workingFolder = folder;
    options.binFolder = pvmPath;
    options.awaitProgram = "annpipe";
    return options;
}

std::string ArgumentLoggingPath(const std::string& folder) {
    const std::string path = folder + "/slaves";
    mkdir(path.c_str(), 0755);
    std::ofstream wrapper(path + "/annpipe");
    wrapper << "#!/bin/sh\n"
            << "echo \"$#:$*\" >>" << ShellQuoted(folder + "/slave-arguments") << "\n"
            << "exec " << ShellQuoted(ANNPIPE_PATH) << " \"$@\"\n";
    wrapper.close();
    chmod((path + "/annpipe").c_str(), 0755);
    return path;
}
