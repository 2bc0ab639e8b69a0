// The slave's side of the pipeline's training protocol, driven message by message
// by a stand-in master on the virtual cluster, and what the slave's probe stored.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "apps/exeKOVA/tests/exekova_test_support.h"

namespace {

std::map<std::string, std::string> KeyValues(const std::string& output) {
    std::map<std::string, std::string> values;
    const std::regex line("([a-z0-9_]+)=(.*)");
    std::smatch match;
    for (const std::string& text : Lines(output))
        if (std::regex_match(text, match, line)) values[match[1]] = match[2];
    return values;
}

TEST(ExeKOVAProtocol, SlaveServesUntilHundredBackwardMessagesAndIgnoresStrangers) {
    auto db = ConnectToMeasurementDb();
    const std::string application = "ExeKOVAProtocol" + std::to_string(getpid());
    ScratchFolder folder;
    const auto run = RunOnCluster(2, "exekova_protocol_task " + application, ExeKOVARun(folder.path()));
    EXPECT_EQ(run.status, 0) << run.output;
    auto seen = KeyValues(run.output);

    EXPECT_EQ(seen["helper_sent"], "1");
    EXPECT_EQ(seen["forward_replied"], "1");
    // The end of training after 60 backward messages: no report until the 100th.
    EXPECT_EQ(seen["trained_after_60"], "0");
    EXPECT_EQ(seen["trained_after_99"], "0");
    EXPECT_EQ(seen["trained_after_100"], "1");
    EXPECT_EQ(seen["trained_signal"], "1");
    EXPECT_EQ(seen["backward_replies"], "100");
    // Backward replies carry the outputs of the last forward pass; the slave built
    // the layout it was sent and trained only on the messages meant for it.
    EXPECT_EQ(seen["replies_hold_forward_outputs"], "1");
    EXPECT_EQ(seen["forward_matches_replica"], "1");
    EXPECT_EQ(seen["run_replied"], "1");
    EXPECT_EQ(seen["run_matches_replica"], "1");
    EXPECT_EQ(seen["slave_left"], "1");
    // The forward message of the helper, which is not the predecessor, got no reply.
    EXPECT_EQ(seen["extra_forward_replies"], "0");

    // Every message the slave took or sent is a phase of its probe.
    const std::string expID = seen["exp"], slave = seen["slave"], helper = seen["helper"];
    ASSERT_FALSE(expID.empty());
    const auto master = db->QueryStrings("SELECT ID FROM Processes WHERE expID = " + expID + " AND ID <> " + slave);
    ASSERT_EQ(master.size(), 1u);
    const auto count = [&](int type, int tag, const std::string& partner) {
        return SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + expID + " AND processID = " + slave +
                                     " AND typeID = " + std::to_string(type) + " AND nbrQuantums = " +
                                     std::to_string(tag) + " AND commPartnerTid = " + partner);
    };
    const int SEND = 5, RECV = 6;
    EXPECT_EQ(count(RECV, 1, master[0]), 1);
    EXPECT_EQ(count(RECV, 2, master[0]), 1);
    EXPECT_EQ(count(RECV, 3, master[0]), 1);
    EXPECT_EQ(count(RECV, 3, helper), 1);
    EXPECT_EQ(count(SEND, 3, master[0]), 1);
    EXPECT_EQ(count(SEND, 3, helper), 0);
    EXPECT_EQ(count(RECV, 4, master[0]), 100);
    EXPECT_EQ(count(SEND, 4, master[0]), 100);
    EXPECT_EQ(count(RECV, 6, master[0]), 1);
    EXPECT_EQ(count(SEND, 7, master[0]), 1);
    EXPECT_EQ(count(RECV, 5, master[0]), 1);
    EXPECT_EQ(count(SEND, 5, master[0]), 1);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + expID + " AND processID = " + slave +
                                    " AND typeID = 2"),
              SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + expID + " AND processID = " + slave +
                                    " AND typeID = 6"));
    DeleteExperimentsOf(*db, application, LoginName());
}

}  // namespace
