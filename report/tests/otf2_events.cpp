#include "report/tests/otf2_events.h"

#include <gtest/gtest.h>
#include "tests/support/testsupport.h"

#include <deque>
#include <map>
#include <regex>
#include <tuple>

Otf2Events ReadOtf2Events(const std::filesystem::path& anchor) {
    const CommandResult printed = RunCommand("otf2-print " + ShellQuoted(anchor.string()), ErrorStream::Apart);
    Otf2Events events;
    events.status = printed.status;
    events.errors = printed.errors;
    events.lines = printed.outputLines();
    // MPI_SEND  <location>  <time>  Receiver: <rank> (...), Communicator: ..., Tag: <t>, Length: <bytes>
    const std::regex event(R"(^(MPI_SEND|MPI_RECV) +(\d+) +(\d+) +(Receiver|Sender): (\d+) .*Tag: (-?\d+), Length: (\d+))");
    std::map<std::tuple<int, int, int>, std::deque<std::size_t>> pending;  // sends not yet received
    std::vector<std::smatch> receives;
    std::smatch match;
    for (const std::string& line : events.lines) {
        if (line.rfind("MPI_", 0) != 0 || !std::regex_search(line, match, event)) continue;
        const int location = std::stoi(match[2]), partner = std::stoi(match[5]), tag = std::stoi(match[6]);
        const long long time = std::stoll(match[3]), length = std::stoll(match[7]);
        if (match[1] == "MPI_SEND") {
            pending[{location, partner, tag}].push_back(events.messages.size());
            events.messages.push_back({location, partner, tag, time, length});
            continue;
        }
        // otf2-print lists location by location: a receive's send may come later.
        receives.push_back(match);
    }
    for (const std::smatch& r : receives) {
        auto& queue = pending[{std::stoi(r[5]), std::stoi(r[2]), std::stoi(r[6])}];
        if (queue.empty()) {
            ++events.unmatchedReceives;
            continue;
        }
        Otf2Message& message = events.messages[queue.front()];
        queue.pop_front();
        message.received = true;
        message.recvTime = std::stoll(r[3]);
        message.recvLength = std::stoll(r[7]);
    }
    return events;
}

void ExpectMessagesInOrder(const Otf2Events& events) {
    ASSERT_EQ(events.status, 0) << events.errors;
    EXPECT_EQ(events.unmatchedReceives, 0);
    for (const Otf2Message& m : events.messages) {
        if (!m.received) continue;
        EXPECT_GE(m.recvTime, m.sendTime) << "message " << m.sender << " -> " << m.receiver << " tag " << m.tag;
        EXPECT_EQ(m.recvLength, m.length) << "message " << m.sender << " -> " << m.receiver << " tag " << m.tag;
    }
}
