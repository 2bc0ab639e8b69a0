// Helpers shared by the probe's tests: names unique per test and a child-process
// runner that feeds standard input and collects standard output, beside the
// measurement database's and the commands' helpers of every test.
#pragma once

#include <measurementdb.h>
#include <testsupport.h>

#include <functional>
#include <string>

// An application name unique to the running test and process (at most 50 chars).
std::string UniqueAppName(const std::string& prefix = "ProbeTest");

// How a child process ended and what it wrote on standard output.
struct ChildResult {
    bool exited = false;  // false when a signal ended it
    int exitCode = 0;
    std::string output;
};

// Runs body in a forked child with input on its standard input (then end of
// input) and its standard output collected; a child that returns from body exits
// with 0; one that runs longer than 60 s is killed.
ChildResult RunInChild(const std::function<void()>& body, const std::string& input = "");
