#include "apps/kova/study_machine.h"

#include "analysis/error.h"

#include <pvm3.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace study {

namespace {

// kova measure's status for a machine it cannot use.
constexpr int kExitNoMachine = 125;
// How long a resized machine may take to show its new hosts.
constexpr int kSettleSeconds = 10;

std::vector<char*> Names(std::vector<std::string>& hosts) {
    std::vector<char*> names;
    for (std::string& host : hosts) names.push_back(host.data());
    return names;
}

}  // namespace

VirtualMachine::VirtualMachine() {
    Enrol();
    const int here = pvm_tidtohost(pvm_mytid());
    int hosts = 0, architectures = 0;
    pvmhostinfo* info = nullptr;
    pvm_config(&hosts, &architectures, &info);
    for (int k = 0; k < hosts; ++k)
        if (info[k].hi_tid == here) mHosts.push_back(info[k].hi_name);
    for (int k = 0; k < hosts; ++k)
        if (info[k].hi_tid != here) mHosts.push_back(info[k].hi_name);
    mSize = hosts;
}

VirtualMachine::~VirtualMachine() {
    try {
        Restore();
    } catch (const analysis::Error&) {
        // Said when the resize failed; the machine stays as it is.
    }
    Leave();
}

void VirtualMachine::Enrol() {
    if (mEnrolled) return;
    // PVM itself would end the process with its own text.
    if (geteuid() == 0 && std::getenv("PVM_ALLOW_ROOT") == nullptr)
        throw analysis::Error("PVM runs as root only with PVM_ALLOW_ROOT set in the environment", kExitNoMachine);
    if (pvm_mytid() < 0)
        throw analysis::Error("no PVM virtual machine runs on this host: start one (pvm, or pvmd with a host "
                              "file) and run the study again",
                              kExitNoMachine);
    mEnrolled = true;
}

void VirtualMachine::Leave() {
    if (mEnrolled) pvm_exit();
    mEnrolled = false;
}

std::vector<std::string> VirtualMachine::Current() {
    Enrol();
    int hosts = 0, architectures = 0;
    pvmhostinfo* info = nullptr;
    pvm_config(&hosts, &architectures, &info);
    std::vector<std::string> names;
    for (int k = 0; k < hosts; ++k) names.push_back(info[k].hi_name);
    return names;
}

void VirtualMachine::Resize(int p) {
    if (p == mSize) return;
    const std::vector<std::string> current = Current();
    const std::vector<std::string> wanted(mHosts.begin(), mHosts.begin() + std::min<std::size_t>(p, mHosts.size()));
    std::vector<std::string> surplus, missing;
    for (const std::string& host : current)
        if (std::find(wanted.begin(), wanted.end(), host) == wanted.end()) surplus.push_back(host);
    for (const std::string& host : wanted)
        if (std::find(current.begin(), current.end(), host) == current.end()) missing.push_back(host);
    std::vector<int> infos(std::max(surplus.size(), missing.size()));
    std::string failures;
    const auto check = [&](const std::vector<std::string>& hosts, const char* what) {
        for (std::size_t k = 0; k < hosts.size(); ++k)
            if (infos[k] < 0)
                failures += "; " + hosts[k] + " could not be " + what + " (PVM error " + std::to_string(infos[k]) + ")";
    };
    if (!surplus.empty()) {
        pvm_delhosts(Names(surplus).data(), static_cast<int>(surplus.size()), infos.data());
        check(surplus, "deleted");
    }
    if (!missing.empty()) {
        pvm_addhosts(Names(missing).data(), static_cast<int>(missing.size()), infos.data());
        check(missing, "added");
    }
    // A deleted host leaves the machine's configuration a little after the call returns.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSettleSeconds);
    int now = static_cast<int>(Current().size());
    while (now != p && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = static_cast<int>(Current().size());
    }
    mSize = now;
    if (now != p)
        throw analysis::Error("the virtual machine has " + std::to_string(now) + " hosts instead of " +
                              std::to_string(p) + failures);
}

void VirtualMachine::Restore() { Resize(Hosts()); }

std::set<int> VirtualMachine::Tasks() {
    Enrol();
    int count = 0;
    pvmtaskinfo* info = nullptr;
    std::set<int> tasks;
    if (pvm_tasks(0, &count, &info) >= 0)
        for (int k = 0; k < count; ++k) {
            // PVM's group server stays once a program used groups.
            const std::string program = info[k].ti_a_out;
            if (program != "pvmgs" && (program.size() < 6 || program.substr(program.size() - 6) != "/pvmgs"))
                tasks.insert(info[k].ti_tid);
        }
    return tasks;
}

void VirtualMachine::AwaitEnd(const std::set<int>& before, int seconds) {
    Enrol();
    const int self = pvm_mytid();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::set<int> now = Tasks();
        if (std::all_of(now.begin(), now.end(), [&](int tid) { return tid == self || before.count(tid) > 0; })) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace study
