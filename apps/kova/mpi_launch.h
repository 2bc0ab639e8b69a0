// kova measure of an MPI program: which MPI a launcher belongs to, and the
// launcher's command that hands the measuring library and kova's settings to
// every rank it starts, on this host and on others. The launcher itself never
// loads the library.
#pragma once
#include <mysql.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

enum class Mpi { kNone, kOpenMpi, kMpich };

// The MPI whose launcher program is: mpirun, mpiexec (and their .openmpi and
// .mpich names), orterun and mpiexec.hydra, told by the file the name leads to
// (Debian's alternatives) or else by the launcher's --version text. kNone for a
// program of another name. A launcher of an MPI not known ends with status 125.
Mpi LauncherOf(const std::filesystem::path& program);

// The file name of that MPI's measuring library, beside the PVM one.
std::string MpiMeasuringLibrary(Mpi mpi);

// The name of the program the launcher starts: the file name of the first word
// after the launcher that does not begin with '-' and names an executable
// (isProgram); empty when none does.
std::string LaunchedProgram(const std::vector<std::string>& command,
                            const std::function<bool(const std::string&)>& isProgram);

// The launcher's command with the measuring environment's LD_PRELOAD and every
// entry named KOVA_* passed to the ranks, inserted right after the launcher's
// word: Open MPI's -x NAME=VALUE, MPICH's -genv NAME VALUE. The environment,
// the launcher's own, gets kova's own LD_PRELOAD back.
std::vector<std::string> MeasuredLaunch(Mpi mpi, const std::vector<std::string>& command,
                                        std::vector<std::string>& environment);

// Sets p of the experiment to its number of processes, the ranks that stored
// their phases, and returns it.
int StoreRanksAsP(MYSQL* db, int expID);
