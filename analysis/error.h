// The failure of an analysis step that the user must hear about: a message and the
// exit status the program ends with.
#pragma once
#include <stdexcept>
#include <string>

namespace analysis {

// Exit statuses of the kova program.
enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitNotFound = 3, kExitRunning = 4,
                          kExitBadReference = 5 };

class Error : public std::runtime_error {
public:
    Error(const std::string& message, int exitStatus = kExitFailure)
        : std::runtime_error(message), mExitStatus(exitStatus) {}
    int ExitStatus() const { return mExitStatus; }
private:
    int mExitStatus;
};

}  // namespace analysis
