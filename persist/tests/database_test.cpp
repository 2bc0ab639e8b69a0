// StandardDatabase against the real server: ready-made queries, statement
// counts, batches, quoting and the connection pool.
#include "persist/tests/persist_test_support.h"

#include "kova_site.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

using testing::ElementsAre;

namespace {

class PersistDb : public testing::Test {
protected:
    void SetUp() override {
        db = ConnectToTestDatabase();
        table = TestTableName();
        DropTableIfExists(*db, table);
        db->Query("CREATE TABLE " + table +
                  " (ID int, name varchar(50) DEFAULT 'none', size int DEFAULT 5, ratio double DEFAULT 1.5)");
    }
    void TearDown() override { DropTableIfExists(*db, table); }

    int Count(const std::string& where = "") {
        return std::stoi(db->QueryFirst("SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where)));
    }

    std::unique_ptr<StandardDatabase> db;
    std::string table;
};

TEST_F(PersistDb, NextIdIsOneMoreThanTheLargest) {
    {
        StatementRecorder recorder(*db);
        EXPECT_EQ(db->GetNextID(table, "ID"), 1);
        EXPECT_THAT(recorder.Statements(), ElementsAre("SELECT ID FROM " + table + " ORDER BY ID DESC"));
    }
    db->Query("INSERT INTO " + table + " (ID, size) VALUES (3, 1), (41, 2), (17, 2)");
    EXPECT_EQ(db->GetNextID(table, "ID"), 42);
    StatementRecorder recorder(*db);
    EXPECT_EQ(db->GetNextID(table, "ID", "size = 2"), 42);
    EXPECT_EQ(db->GetNextID(table, "ID", "size = 1"), 4);
    EXPECT_EQ(db->GetNextID(table, "ID", "size = 9"), 1);
    EXPECT_EQ(recorder.Statements()[0], "SELECT ID FROM " + table + " WHERE size = 2 ORDER BY ID DESC");
}

TEST_F(PersistDb, FirstValueAndColumnOfStrings) {
    EXPECT_EQ(db->QueryFirst("SELECT name FROM " + table), "");
    EXPECT_TRUE(db->QueryStrings("SELECT name FROM " + table).empty());
    db->Query("INSERT INTO " + table + " (ID, name) VALUES (2, 'b'), (1, 'a'), (3, 'c')");
    EXPECT_EQ(db->QueryFirst("SELECT name FROM " + table + " ORDER BY ID DESC"), "c");
    EXPECT_THAT(db->QueryStrings("SELECT name, ID FROM " + table + " ORDER BY ID"), ElementsAre("a", "b", "c"));
}

TEST_F(PersistDb, ExistenceCheckQuotesByColumnType) {
    db->Query("INSERT INTO " + table + " (ID, name) VALUES (1, 'abc'), (2, 'it''s'), (3, 'abc')");
    StatementRecorder recorder(*db);
    EXPECT_EQ(db->CheckExistence(table, "name", "abc"), 2);
    EXPECT_EQ(db->CheckExistence(table, "ID", "2"), 1);
    EXPECT_EQ(db->CheckExistence(table, "name", "it's"), 1);
    EXPECT_EQ(db->CheckExistence(table, "name", "xyz"), 0);
    // A value that is not a plain number is never run as SQL, even for a numeric column.
    EXPECT_EQ(db->CheckExistence(table, "ID", "1 OR 1=1"), 1);
    EXPECT_THAT(recorder.Statements(),
                ElementsAre("SELECT * FROM " + table + " WHERE name = 'abc'", "SELECT * FROM " + table + " WHERE ID = 2",
                            "SELECT * FROM " + table + " WHERE name = 'it\\'s'",
                            "SELECT * FROM " + table + " WHERE name = 'xyz'",
                            "SELECT * FROM " + table + " WHERE ID = '1 OR 1=1'"));
}

TEST_F(PersistDb, FieldTypesOfColumns) {
    EXPECT_EQ(db->GetTypeOfField(table, "ID"), MYSQL_TYPE_LONG);
    EXPECT_EQ(db->GetTypeOfField(table, "name"), MYSQL_TYPE_VAR_STRING);
    EXPECT_EQ(db->GetTypeOfField(table, "ratio"), MYSQL_TYPE_DOUBLE);
    EXPECT_EQ(db->GetTypeOfField(table, "Name"), MYSQL_TYPE_NULL);
    EXPECT_EQ(db->GetTypeOfField(table + "Missing", "ID"), MYSQL_TYPE_NULL);
}

TEST_F(PersistDb, InsertRecordPadsWithDefaults) {
    StatementRecorder recorder(*db);
    db->InsertRecord(table, 2, "1", "x");
    db->InsertRecord(table, 0);
    db->InsertRecord(table, 4, "3", "it's", "7", "2.25");
    EXPECT_THAT(recorder.Statements(),
                ElementsAre("INSERT INTO " + table + " VALUES (1, 'x', DEFAULT, DEFAULT)",
                            "INSERT INTO " + table + " VALUES (DEFAULT, DEFAULT, DEFAULT, DEFAULT)",
                            "INSERT INTO " + table + " VALUES (3, 'it\\'s', 7, 2.25)"));
    EXPECT_THAT(db->QueryStrings("SELECT CONCAT_WS('|', IFNULL(ID, '-'), name, size, ratio) FROM " + table +
                                 " ORDER BY ID"),
                ElementsAre("-|none|5|1.5", "1|x|5|1.5", "3|it's|7|2.25"));
}

TEST_F(PersistDb, InsertRecordCutsLongTextsAndNeverRunsValuesAsSql) {
    db->InsertRecord(table, 2, "1", std::string(70, 'y').c_str());
    EXPECT_EQ(db->QueryFirst("SELECT name FROM " + table + " WHERE ID = 1"), std::string(50, 'y'));
    const std::string degrees = "abc" + std::string(60, '\xB0');
    db->InsertRecord(table, 2, "2", degrees.c_str());
    EXPECT_EQ(db->QueryFirst("SELECT name FROM " + table + " WHERE ID = 2"), degrees.substr(0, 50));

    EXPECT_THROW(db->InsertRecord(table, 2, "2); DROP TABLE " + table + "; --", "x"), DatabaseError);
    EXPECT_EQ(Count(), 2);
}

TEST_F(PersistDb, StatementCounts) {
    EXPECT_EQ(db->Query("INSERT INTO " + table + " (ID, size) VALUES (1, 1)"), 1);
    EXPECT_EQ(db->Query("INSERT INTO " + table + " (ID, size) VALUES (2, 1), (3, 1), (4, 2)"), 3);
    EXPECT_EQ(db->Query("UPDATE " + table + " SET ratio = 2 WHERE size = 1"), 3);
    // Matched, not changed, rows are counted.
    EXPECT_EQ(db->Query("UPDATE " + table + " SET ratio = 2 WHERE size = 1"), 3);
    EXPECT_EQ(db->Query("UPDATE " + table + " SET ratio = 2 WHERE size = 9"), 0);
    EXPECT_EQ(db->Query("DELETE FROM " + table + " WHERE size = 1"), 1);
    EXPECT_EQ(db->Query("DELETE FROM " + table + " WHERE size = 9"), 1);
    EXPECT_EQ(Count(), 1);
}

TEST_F(PersistDb, SequenceColumn) {
    const std::string sequences = TestTableName("Seq");
    DropTableIfExists(*db, sequences);
    db->Query("CREATE TABLE " + sequences + " (_seq int)");
    EXPECT_EQ(db->GetSequence(sequences), 0);
    db->Query("INSERT INTO " + sequences + " VALUES (12), (3)");
    EXPECT_EQ(db->GetSequence(sequences), 12);
    DropTableIfExists(*db, sequences);
}

TEST_F(PersistDb, BatchRunsInOneTransaction) {
    DropTableIfExists(*db, table);
    db->Query("CREATE TABLE " + table + " (ID int PRIMARY KEY, name varchar(50)) ENGINE=InnoDB");
    EXPECT_EQ(db->QueryBatch({}), 0);

    StatementRecorder recorder(*db);
    EXPECT_EQ(db->QueryBatch({"INSERT INTO " + table + " VALUES (1, 'a')",
                              "INSERT INTO " + table + " VALUES (2, 'b;c'), (3, 'c');",
                              "UPDATE " + table + " SET name = 'z' WHERE ID >= 2; "}),
              5);
    EXPECT_THAT(recorder.Statements(),
                ElementsAre("START TRANSACTION; INSERT INTO " + table + " VALUES (1, 'a'); INSERT INTO " + table +
                            " VALUES (2, 'b;c'), (3, 'c'); UPDATE " + table + " SET name = 'z' WHERE ID >= 2; COMMIT"));
    EXPECT_THAT(db->QueryStrings("SELECT CONCAT(ID, name) FROM " + table + " ORDER BY ID"),
                ElementsAre("1a", "2z", "3z"));

    // A failing statement keeps nothing of its batch and is reported with the server's error.
    const std::string failing = "INSERT INTO " + table + " VALUES (1, 'duplicate')";
    try {
        db->QueryBatch({"INSERT INTO " + table + " VALUES (10, 'kept?')", failing,
                        "INSERT INTO " + table + " VALUES (11, 'after')"});
        ADD_FAILURE() << "no error";
    } catch (const DatabaseError& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("Query failed: " + failing + "\nDuplicate entry '1'", 0), 0u)
            << failure.what();
    }
    EXPECT_EQ(Count(), 3);
    // The connection goes on working, outside any transaction.
    EXPECT_EQ(db->QueryBatch({"INSERT INTO " + table + " VALUES (20, 'x')"}), 1);
    auto other = ConnectToTestDatabase();
    EXPECT_EQ(other->QueryFirst("SELECT COUNT(*) FROM " + table), "4");
}

TEST_F(PersistDb, QuotedStringEscapesForTheServer) {
    EXPECT_EQ(QuotedString("abc"), "'abc'");
    EXPECT_EQ(QuotedString("it's"), "'it\\'s'");
    std::string allBytes;
    for (int byte = 0; byte < 256; ++byte) allBytes += static_cast<char>(byte);
    EXPECT_EQ(db->QueryFirst("SELECT " + QuotedString(allBytes)), allBytes);
    EXPECT_EQ(db->QueryFirst("SELECT " + db->QuotedValue(allBytes)), allBytes);
}

TEST(PersistText, CutToWidthKeepsWholeCharacters) {
    EXPECT_EQ(CutToWidth("short"), "short");
    EXPECT_EQ(CutToWidth(std::string(50, 'a')), std::string(50, 'a'));
    EXPECT_EQ(CutToWidth(std::string(51, 'a')), std::string(50, 'a'));
    EXPECT_EQ(CutToWidth("ab\xE2\x82\xAC", 4), "ab");
    EXPECT_EQ(CutToWidth("ab\xE2\x82\xAC", 5), "ab\xE2\x82\xAC");
    EXPECT_EQ(CutToWidth("a\xC3\xA9z", 2), "a");
    EXPECT_EQ(CutToWidth("ab\xF0\x9F\x98\x80", 5), "ab");
    EXPECT_EQ(CutToWidth("ab\xF0\x9F\x98\x80z", 6), "ab\xF0\x9F\x98\x80");
}

// The connection is latin1: bytes 0x80-0xBF are characters of their own there.
TEST(PersistText, CutToWidthKeepsLatin1Bytes) {
    const std::string degrees = "abc" + std::string(60, '\xB0');
    EXPECT_EQ(CutToWidth(degrees), degrees.substr(0, 50));
    // A lead byte followed by more continuation bytes than a sequence may hold.
    EXPECT_EQ(CutToWidth("a\xC3\xA9\xA9\xA9\xA9", 4), "a\xC3\xA9\xA9");
    EXPECT_EQ(CutToWidth(std::string(8, '\xA9'), 5), std::string(5, '\xA9'));
}

TEST(PersistText, DateAndTimeInAsctimeLayout) {
    const std::string now = StringWithDateAndTime();
    EXPECT_TRUE(std::regex_match(now, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                 "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
        << now;
}

TEST(PersistPool, SharedConnectionsAreCounted) {
    StandardDatabase* first = StandardDatabase::GetDbConnection("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
    StandardDatabase* second =
        StandardDatabase::GetDbConnection("KOVAUser", "other password", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->mNbrUsed, 2);
    ASSERT_EQ(StandardDatabase::msDbConnections.size(), 1u);

    StandardDatabase* otherDatabase =
        StandardDatabase::GetDbConnection("KOVAUser", "", "information_schema", KOVA_DB_HOST, KOVA_DB_PORT);
    EXPECT_NE(otherDatabase, first);
    EXPECT_EQ(StandardDatabase::msDbConnections.size(), 2u);
    StandardDatabase::EndOfUseOfDbConnection(otherDatabase);

    StandardDatabase::EndOfUseOfDbConnection(first);
    EXPECT_EQ(StandardDatabase::msDbConnections.size(), 1u);
    EXPECT_EQ(second->mNbrUsed, 1);
    EXPECT_EQ(second->QueryFirst("SELECT 1"), "1");
    StandardDatabase::EndOfUseOfDbConnection(second);
    EXPECT_TRUE(StandardDatabase::msDbConnections.empty());
    StandardDatabase::EndOfUseOfDbConnection(nullptr);
}

}  // namespace
