// Tests of kovaschema, the program that creates the measurement tables: run as a
// user runs it, then the tables it made are compared with the records' layout.
#include "probe/tests/probe_test_support.h"

#include <kova_site.h>

#include <gtest/gtest.h>

namespace {

CommandResult RunSchemaTool(const std::string& arguments) {
    return RunCommand(KOVA_BINARY_DIR "/bin/kovaschema " + arguments);
}

// "column type" for every column in order, key columns marked with a '*'.
std::vector<std::string> ColumnsOf(StandardDatabase& db, const std::string& table) {
    std::vector<std::string> columns;
    for (const Row& row : SelectRows(db, "SELECT COLUMN_NAME, DATA_TYPE, COLUMN_KEY FROM information_schema.COLUMNS "
                                         "WHERE TABLE_SCHEMA = 'KOVAData' AND TABLE_NAME = '" +
                                             table + "' ORDER BY ORDINAL_POSITION"))
        columns.push_back(row.at("COLUMN_NAME") + " " + row.at("DATA_TYPE") + (row.at("COLUMN_KEY") == "PRI" ? "*" : ""));
    return columns;
}

}  // namespace

TEST(ProbeSchema, RunningAgainKeepsTheTablesAndSucceeds) {
    for (int run = 0; run < 2; ++run) {
        const CommandResult tool = RunSchemaTool("");
        EXPECT_EQ(tool.status, 0) << tool.output;
        EXPECT_NE(tool.output.find("kovaschema: the measurement tables are ready\n"), std::string::npos)
            << tool.output;
        for (const char* table : {"Applications", "AppParameter", "ExpParValue", "PhaseTypes", "PhaseDurations",
                                  "Processes", "Phases", "Experiments"}) {
            const bool listed = tool.output.find(std::string("CLASS ") + table + " is already in DB:") !=
                                std::string::npos;
            const bool created = tool.output.find(std::string("created table ") + table + "\n") != std::string::npos;
            EXPECT_TRUE(listed != created) << table << "\n" << tool.output;
            if (run == 1) {
                EXPECT_TRUE(listed) << table;
            }
        }
    }
    const CommandResult wrong = RunSchemaTool("--drop");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.output.find("usage: kovaschema"), std::string::npos) << wrong.output;
}

TEST(ProbeSchema, TablesHaveTheRecordsColumnsAndKeys) {
    auto db = ConnectToMeasurementDb();
    using Columns = std::vector<std::string>;
    EXPECT_EQ(ColumnsOf(*db, "AppParameter"), (Columns{"appID int*", "name varchar*", "type int", "comment varchar"}));
    EXPECT_EQ(ColumnsOf(*db, "ExpParValue"), (Columns{"expID int*", "parName varchar*", "valInt int",
                                                      "valDouble double", "valString varchar"}));
    EXPECT_EQ(ColumnsOf(*db, "PhaseTypes"),
              (Columns{"ID int*", "name varchar", "parentTypeID int", "colour int"}));
    EXPECT_EQ(ColumnsOf(*db, "PhaseDurations"), (Columns{"expID int*", "processID int*", "phaseTypeID int*",
                                                         "duration bigint", "ratio float"}));
    // The executable is added by kovaschema for the tasks that kova measure stores.
    EXPECT_EQ(ColumnsOf(*db, "Processes"), (Columns{"expID int*", "ID int*", "processor varchar", "pvmTid int",
                                                    "startTimeSec int", "startTimeMicroSec int",
                                                    "executable varchar"}));
    EXPECT_EQ(ColumnsOf(*db, "Phases"),
              (Columns{"expID int*", "processID int*", "nbr int*", "typeID int", "duration bigint", "startTime bigint",
                       "nbrQuantums int", "nbrOperations int", "commPartnerTid int", "commIsSending tinyint",
                       "commDelay int", "comment varchar"}));
    EXPECT_EQ(ColumnsOf(*db, "Experiments"),
              (Columns{"ID int*", "project varchar", "name varchar", "version varchar", "user varchar",
                       "date varchar", "comment varchar", "p int", "W int", "nbrProcesses int", "Tp bigint",
                       "Ts bigint", "speedup float", "efficiency float", "statusData int", "errorFlags int",
                       "errors varchar"}));
    EXPECT_EQ(ColumnsOf(*db, "Applications"), (Columns{"ID int*", "project varchar", "name varchar",
                                                       "version varchar", "user varchar", "comment varchar"}));
    EXPECT_EQ(db->QueryFirst("SELECT EXTRA FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = 'KOVAData' AND "
                             "TABLE_NAME = 'Experiments' AND COLUMN_NAME = 'ID'"),
              "auto_increment");
}
