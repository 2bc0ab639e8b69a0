#include "probe_test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

std::string UniqueAppName(const std::string& prefix) {
    const std::string name = prefix + std::to_string(getpid()) + "_" +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
    return name.substr(0, 50);
}

ChildResult RunInChild(const std::function<void()>& body, const std::string& input) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    std::cout.flush();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        alarm(60);
        body();
        std::cout.flush();
        fflush(nullptr);
        _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    // The input is small enough for the pipe's buffer, so writing cannot block.
    if (!input.empty() && write(toChild[1], input.data(), input.size()) < 0) ADD_FAILURE() << "write failed";
    close(toChild[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fromChild[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, got);
    close(fromChild[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    return result;
}
