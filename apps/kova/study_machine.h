// The running PVM virtual machine as a study uses it: its hosts when the study
// begins (this host first), shrunk to the first p of them and grown again for a
// program that runs on every host of the machine, and the tasks that run in it.
#pragma once
#include <set>
#include <string>
#include <vector>

namespace study {

class VirtualMachine {
public:
    // Enrols in the machine and notes its hosts; throws analysis::Error (exit
    // status 125) when no machine runs here.
    VirtualMachine();
    // Gives the machine back its hosts and leaves it.
    ~VirtualMachine();
    VirtualMachine(const VirtualMachine&) = delete;
    VirtualMachine& operator=(const VirtualMachine&) = delete;

    int Hosts() const { return static_cast<int>(mHosts.size()); }
    // Deletes the hosts beyond the first p and adds back those missing of them;
    // throws analysis::Error when the machine does not end with p hosts.
    void Resize(int p);
    // Resizes to every host it had at first.
    void Restore();
    // The tasks running in the machine, by their task identifier, but for PVM's group server.
    std::set<int> Tasks();
    // Waits, at most `seconds`, until every task that is not in `before` has left
    // the machine (tasks of a program that go on storing after it ended).
    void AwaitEnd(const std::set<int>& before, int seconds);
    // Leaves the machine; a later call enrols again.
    void Leave();

private:
    void Enrol();
    std::vector<std::string> Current();

    std::vector<std::string> mHosts;
    int mSize = 0;  // hosts since the last resize
    bool mEnrolled = false;
};

}  // namespace study
