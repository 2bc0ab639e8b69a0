#include "probe_test_support.h"

#include <KOVAInstrumentation.h>
#include <kova_site.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

std::unique_ptr<StandardDatabase> ConnectToMeasurementDb() {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
}

std::string UniqueAppName(const std::string& prefix) {
    const std::string name = prefix + std::to_string(getpid()) + "_" +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
    return name.substr(0, 50);
}

std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query) {
    std::vector<Row> rows;
    MYSQL_RES* result = db.QueryRows(query);
    if (result == nullptr) return rows;
    const unsigned int columns = mysql_num_fields(result);
    MYSQL_FIELD* fields = mysql_fetch_fields(result);
    while (MYSQL_ROW values = mysql_fetch_row(result)) {
        Row row;
        for (unsigned int i = 0; i < columns; ++i) row[fields[i].name] = values[i] != nullptr ? values[i] : "NULL";
        rows.push_back(row);
    }
    mysql_free_result(result);
    return rows;
}

long long SelectNumber(StandardDatabase& db, const std::string& query) {
    return std::atoll(db.QueryFirst(query).c_str());
}

void DeleteExperimentsOf(StandardDatabase& db, const std::string& appName) {
    const std::string name = db.QuotedValue(CutToWidth(appName));
    for (const std::string& id : db.QueryStrings("SELECT ID FROM Experiments WHERE name = " + name))
        DeleteExperiment(std::atoi(id.c_str()), db);
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

int CountOccurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
