// The SQL that DbConvertor builds for records, checked word for word and run on
// the real server, and the stream operators around it.
#include "persist/tests/persist_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

using testing::ElementsAre;

namespace {

// Rows of a table as "col1|col2|..." texts, in key order.
std::vector<std::string> Rows(StandardDatabase& db, const std::string& columns, const std::string& table,
                              const std::string& order) {
    return db.QueryStrings("SELECT CONCAT_WS('|', " + columns + ") FROM " + table + " ORDER BY " + order);
}

class PersistSql : public testing::Test {
protected:
    void SetUp() override {
        db = ConnectToTestDatabase();
        SampleRecord::msTable = table = TestTableName();
        DropTableIfExists(*db, table);
        SampleRecord prototype;
        ASSERT_TRUE(DbConvertor(db.get()).CreateTable(prototype));
    }
    void TearDown() override { DropTableIfExists(*db, table); }

    std::unique_ptr<StandardDatabase> db;
    std::string table;
};

TEST_F(PersistSql, TableCreationTextAndExistingTable) {
    DropTableIfExists(*db, table);
    SampleRecord prototype;
    {
        StatementRecorder recorder(*db);
        EXPECT_TRUE(DbConvertor(db.get()).CreateTable(prototype));
        EXPECT_THAT(recorder.Statements(),
                    ElementsAre("CREATE TABLE " + table +
                                " ( ID int, name varchar(50), speedup double, PRIMARY KEY (ID) )"));
    }
    EXPECT_THAT(db->QueryStrings("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
                                 "'KOVAData' AND TABLE_NAME = '" + table + "' ORDER BY ORDINAL_POSITION"),
                ElementsAre("ID", "name", "speedup"));

    // A second creation lists the table it found and creates nothing.
    testing::internal::CaptureStdout();
    StatementRecorder recorder(*db);
    EXPECT_FALSE(DbConvertor(db.get()).CreateTable(prototype));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CLASS " + table + " is already in DB:\n" + table + " \n");
    EXPECT_TRUE(recorder.Statements().empty());
}

TEST_F(PersistSql, LikeWildcardsInTableNamesMatchOnlyThemselves) {
    // "PersistTestX_y" must not be taken for an existing "PersistTestXay".
    const std::string similar = TestTableName("Xay");
    const std::string wanted = TestTableName("X_y");
    DropTableIfExists(*db, similar);
    DropTableIfExists(*db, wanted);
    db->Query("CREATE TABLE " + similar + " (ID int)");
    SampleRecord::msTable = wanted;
    SampleRecord prototype;
    EXPECT_TRUE(DbConvertor(db.get()).CreateTable(prototype));
    EXPECT_EQ(db->QueryFirst("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'KOVAData' "
                             "AND TABLE_NAME = '" + wanted + "'"),
              "1");
    DropTableIfExists(*db, similar);
    DropTableIfExists(*db, wanted);
}

TEST_F(PersistSql, FirstWriteInsertsSecondWriteUpdates) {
    SampleRecord record(7, "abc", 2.5);
    EXPECT_FALSE(record.mWritten);
    {
        StatementRecorder recorder(*db);
        EXPECT_TRUE(DbConvertor(db.get()).WriteObj(record));
        EXPECT_THAT(recorder.Statements(),
                    ElementsAre("INSERT INTO " + table + " (ID, name, speedup ) VALUES (7, 'abc', 2.5);"));
    }
    EXPECT_TRUE(record.mWritten);
    EXPECT_THAT(Rows(*db, "ID, name, speedup", table, "ID"), ElementsAre("7|abc|2.5"));
    {
        StatementRecorder recorder(*db);
        EXPECT_TRUE(DbConvertor(db.get()).WriteObj(record));
        EXPECT_THAT(recorder.Statements(),
                    ElementsAre("UPDATE " + table + " SET name = 'abc', speedup = 2.5 WHERE ID = 7; "));
    }
    record.mName = "def";
    record.mSpeedup = 4;
    *db << record;
    EXPECT_THAT(Rows(*db, "ID, name, speedup", table, "ID"), ElementsAre("7|def|4"));

    // An update that matches no row reports failure.
    SampleRecord missing(8, "x", 1);
    missing.mWritten = true;
    EXPECT_FALSE(DbConvertor(db.get()).WriteObj(missing));
    EXPECT_THAT(Rows(*db, "ID", table, "ID"), ElementsAre("7"));
}

TEST_F(PersistSql, CopiesOfStoredRecordsUpdateTheSameRow) {
    SampleRecord original(7, "abc", 2.5);
    *db << original;
    SampleRecord read;
    read.mID = 7;
    *db >> read;
    ASSERT_TRUE(read.mWritten);
    SampleRecord copy = read;
    EXPECT_TRUE(copy.mWritten);
    copy.mName = "copy";
    *db << copy;
    EXPECT_THAT(Rows(*db, "ID, name", table, "ID"), ElementsAre("7|copy"));
}

TEST_F(PersistSql, ReadByKeyQuotesTheKeyAndFillsTheRecord) {
    SampleRecord stored(7, "abc", 2.5);
    SampleRecord other(9, "zzz", 1);
    *db << stored << other;

    SampleRecord read;
    read.mID = 7;
    StatementRecorder recorder(*db);
    EXPECT_TRUE(DbConvertor(db.get()).ReadObj(read));
    EXPECT_THAT(recorder.Statements(), ElementsAre("SELECT ID, name, speedup FROM " + table + " WHERE ID = '7'"));
    EXPECT_EQ(read.mName, "abc");
    EXPECT_EQ(read.mSpeedup, 2.5);
    EXPECT_TRUE(read.mWritten);
}

TEST_F(PersistSql, ReadThatFindsNoRowLeavesTheRecordAlone) {
    SampleRecord record(5, "unchanged", 1.5);
    EXPECT_FALSE(DbConvertor(db.get()).ReadObj(record));
    EXPECT_FALSE(DbConvertor(db.get()).ReadObj(record, "WHERE ID > 100"));
    EXPECT_EQ(record.mName, "unchanged");
    EXPECT_EQ(record.mSpeedup, 1.5);
    EXPECT_FALSE(record.mWritten);
}

TEST_F(PersistSql, ReadWithATailTakesTheFirstSelectedRow) {
    SampleRecord first(3, "abc", 1), second(4, "abc", 2);
    *db << first << second;
    SampleRecord read;
    StatementRecorder recorder(*db);
    EXPECT_TRUE(DbConvertor(db.get()).ReadObj(read, "WHERE name = 'abc' ORDER BY ID DESC"));
    EXPECT_THAT(recorder.Statements(), ElementsAre("SELECT ID, name, speedup FROM " + table +
                                                   " WHERE name = 'abc' ORDER BY ID DESC;"));
    EXPECT_EQ(read.mID, 4);
}

TEST_F(PersistSql, DeleteByKeyAndByTail) {
    for (int id : {2, 4, 5, 7}) {
        SampleRecord record(id, "r", 1);
        *db << record;
    }
    SampleRecord seven(7, "r", 1);
    seven.mWritten = true;
    {
        StatementRecorder recorder(*db);
        EXPECT_EQ(DbConvertor(db.get()).DeleteObj(seven), 1);
        EXPECT_THAT(recorder.Statements(), ElementsAre("DELETE  FROM " + table + " WHERE ID = '7'"));
    }
    EXPECT_FALSE(seven.mWritten);
    EXPECT_THAT(Rows(*db, "ID", table, "ID"), ElementsAre("2", "4", "5"));
    {
        StatementRecorder recorder(*db);
        EXPECT_EQ(DbConvertor(db.get()).DeleteObj(seven, "WHERE ID > 3"), 1);
        EXPECT_THAT(recorder.Statements(), ElementsAre("DELETE FROM " + table + " WHERE ID > 3"));
    }
    EXPECT_THAT(Rows(*db, "ID", table, "ID"), ElementsAre("2"));
}

TEST_F(PersistSql, DropTableDeletesTheRowThenTheTable) {
    SampleRecord record(7, "abc", 1);
    *db << record;
    StatementRecorder recorder(*db);
    EXPECT_TRUE(DbConvertor(db.get()).DropTable(record));
    EXPECT_THAT(recorder.Statements(),
                ElementsAre("DELETE  FROM " + table + " WHERE ID = '7'", "DROP TABLE " + table));
    EXPECT_EQ(db->QueryFirst("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'KOVAData' "
                             "AND TABLE_NAME = '" + table + "'"),
              "0");
}

TEST_F(PersistSql, FloatingPointValuesKeepSixSignificantDigits) {
    SampleRecord pi(1, "pi", 3.14159265);
    SampleRecord large(2, "large", 1500000.0);
    DbConvertor convertor(db.get());
    EXPECT_EQ(convertor.CreateWriteQuery(pi),
              "INSERT INTO " + table + " (ID, name, speedup ) VALUES (1, 'pi', 3.14159);");
    EXPECT_EQ(convertor.CreateWriteQuery(large),
              "INSERT INTO " + table + " (ID, name, speedup ) VALUES (2, 'large', 1.5e+06);");
    *db << pi << large;
    SampleRecord read;
    read.mID = 1;
    *db >> read;
    EXPECT_EQ(read.mSpeedup, 3.14159);
    read.mID = 2;
    *db >> read;
    EXPECT_EQ(read.mSpeedup, 1500000.0);
}

TEST_F(PersistSql, UpdateWithATwoColumnKey) {
    PairKeyRecord::msTable = TestTableName("Pair");
    DropTableIfExists(*db, PairKeyRecord::msTable);
    PairKeyRecord record;
    record.mA = 1;
    record.mB = 2;
    record.mValue = "x";
    {
        StatementRecorder recorder(*db);
        ASSERT_TRUE(DbConvertor(db.get()).CreateTable(record));
        EXPECT_THAT(recorder.Statements(), ElementsAre("CREATE TABLE " + PairKeyRecord::msTable +
                                                       " ( a int, b int, value varchar(50), PRIMARY KEY (a, b) )"));
    }
    PairKeyRecord neighbour = record;
    neighbour.mB = 3;
    *db << record << neighbour;
    record.mValue = "y";
    {
        StatementRecorder recorder(*db);
        *db << record;
        EXPECT_THAT(recorder.Statements(),
                    ElementsAre("UPDATE " + PairKeyRecord::msTable + " SET value = 'y' WHERE a = 1 AND b = 2; "));
    }
    EXPECT_THAT(Rows(*db, "a, b, value", PairKeyRecord::msTable, "a, b"), ElementsAre("1|2|y", "1|3|x"));
    {
        StatementRecorder recorder(*db);
        PairKeyRecord read;
        read.mA = 1;
        read.mB = 3;
        *db >> read;
        EXPECT_EQ(read.mValue, "x");
        EXPECT_THAT(recorder.Statements(), ElementsAre("SELECT a, b, value FROM " + PairKeyRecord::msTable +
                                                       " WHERE a = '1' AND b = '3'"));
    }
    DropTableIfExists(*db, PairKeyRecord::msTable);
}

TEST_F(PersistSql, EveryAttributeTypeRoundTrips) {
    AllTypesRecord::msTable = TestTableName("Types");
    DropTableIfExists(*db, AllTypesRecord::msTable);
    AllTypesRecord record;
    {
        StatementRecorder recorder(*db);
        ASSERT_TRUE(DbConvertor(db.get()).CreateTable(record));
        EXPECT_THAT(recorder.Statements(),
                    ElementsAre("CREATE TABLE " + AllTypesRecord::msTable +
                                " ( flag bool, i int, u int unsigned, t bigint, f float, d double, c char, "
                                "s varchar(50) NOT NULL, PRIMARY KEY (i) )"));
    }
    record.mFlag = true;
    record.mI = -12;
    record.mU = 4000000000u;
    record.mT = (1LL << 53) + 1;
    record.mF = 0.1f;
    record.mD = -2.5;
    record.mC = 'q';
    record.mS = "text";
    EXPECT_EQ(DbConvertor(db.get()).CreateWriteQuery(record),
              "INSERT INTO " + AllTypesRecord::msTable +
                  " (flag, i, u, t, f, d, c, s ) VALUES (1, -12, 4000000000, 9007199254740993, 0.1, -2.5, 'q', "
                  "'text');");
    *db << record;

    AllTypesRecord read;
    read.mI = -12;
    *db >> read;
    EXPECT_TRUE(read.mFlag);
    EXPECT_EQ(read.mU, 4000000000u);
    EXPECT_EQ(read.mT, (1LL << 53) + 1);
    EXPECT_EQ(read.mF, 0.1f);
    EXPECT_EQ(read.mD, -2.5);
    EXPECT_EQ(read.mC, 'q');
    EXPECT_EQ(read.mS, "text");

    // Not-a-number has no stored form: it is written as NULL and reading leaves the attribute.
    read.mD = std::nan("");
    read.mFlag = false;
    *db << read;
    EXPECT_EQ(db->QueryFirst("SELECT COUNT(*) FROM " + AllTypesRecord::msTable + " WHERE d IS NULL AND flag = 0"), "1");
    AllTypesRecord again;
    again.mI = -12;
    again.mD = 9;
    *db >> again;
    EXPECT_EQ(again.mD, 9);
    DropTableIfExists(*db, AllTypesRecord::msTable);
}

TEST_F(PersistSql, VectorReadBehindAWhereClauseThenReadByKey) {
    for (int id = 1; id <= 5; ++id) {
        SampleRecord record(id, "r" + std::to_string(id), id);
        *db << record;
    }
    std::vector<SampleRecord> records(1);
    StatementRecorder recorder(*db);
    *db >> WhereClause("WHERE speedup >= 4") >> records;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].mID, 4);
    EXPECT_EQ(records[2].mName, "r5");
    EXPECT_TRUE(records[2].mWritten);
    EXPECT_TRUE(WhereClause::msClause.empty());

    SampleRecord single;
    single.mID = 2;
    *db >> single;
    EXPECT_EQ(single.mName, "r2");
    // A single record behind a where clause consumes it too.
    *db >> WhereClause("WHERE name = 'r3'") >> single;
    EXPECT_EQ(single.mID, 3);
    EXPECT_TRUE(WhereClause::msClause.empty());
    EXPECT_THAT(recorder.Statements(),
                ElementsAre("SELECT ID, name, speedup FROM " + table + " WHERE speedup >= 4;",
                            "SELECT ID, name, speedup FROM " + table + " WHERE ID = '2'",
                            "SELECT ID, name, speedup FROM " + table + " WHERE name = 'r3';"));
}

TEST_F(PersistSql, ListWriteInsertsInListOrder) {
    std::list<SampleRecord> records{{3, "c", 1}, {1, "a", 2}, {2, "b", 3}};
    StatementRecorder recorder(*db);
    *db << records;
    const auto statements = recorder.Statements();
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_NE(statements[0].find("VALUES (3, 'c', 1)"), std::string::npos);
    EXPECT_NE(statements[2].find("VALUES (2, 'b', 3)"), std::string::npos);
    for (const SampleRecord& record : records) EXPECT_TRUE(record.mWritten);
    EXPECT_THAT(Rows(*db, "ID, name", table, "ID"), ElementsAre("1|a", "2|b", "3|c"));
}

TEST_F(PersistSql, WriteQueryTextRunsNothing) {
    SampleRecord record(7, "abc", 2.5);
    StatementRecorder recorder(*db);
    DbConvertor convertor(db.get());
    EXPECT_EQ(convertor.CreateWriteQuery(record),
              "INSERT INTO " + table + " (ID, name, speedup ) VALUES (7, 'abc', 2.5);");
    EXPECT_FALSE(record.mWritten);
    record.mWritten = true;
    EXPECT_EQ(convertor.CreateWriteQuery(record), "UPDATE " + table + " SET name = 'abc', speedup = 2.5 WHERE ID = 7; ");
    EXPECT_TRUE(recorder.Statements().empty());
    EXPECT_EQ(convertor.CreateSelectQuery(record, "WHERE ID = 1"),
              "SELECT ID, name, speedup FROM " + table + " WHERE ID = 1;");
}

// Texts with quotes, backslashes, NUL bytes and bytes above 127 are stored and
// read back unchanged, as attributes and as keys.
TEST_F(PersistSql, AnyTextRoundTrips) {
    const std::vector<std::string> texts{"it's", "back\\slash", "\\'; DROP TABLE x; --", std::string("nul\0byte", 8),
                                         "\"double\"\n\r\t", "caf\xC3\xA9 \xFF\x80", "%_"};
    int id = 0;
    for (const std::string& text : texts) {
        SampleRecord record(++id, text, 1);
        *db << record;
        record.mName = text + "!";
        *db << record;
        SampleRecord read;
        read.mID = id;
        *db >> read;
        EXPECT_EQ(read.mName, text + "!");
        SampleRecord byTail;
        *db >> WhereClause("WHERE name = " + db->QuotedValue(text + "!")) >> byTail;
        EXPECT_EQ(byTail.mID, id);
    }
    std::string allBytes;
    for (int byte = 0; byte < 256; ++byte) allBytes += static_cast<char>(byte);
    for (std::size_t start = 0; start < allBytes.size(); start += 50) {
        SampleRecord record(++id, allBytes.substr(start, 50), 1);
        *db << record;
        SampleRecord read;
        read.mID = id;
        *db >> read;
        EXPECT_EQ(read.mName, allBytes.substr(start, 50));
    }

    TextKeyRecord::msTable = TestTableName("TextKey");
    DropTableIfExists(*db, TextKeyRecord::msTable);
    TextKeyRecord keyed;
    ASSERT_TRUE(DbConvertor(db.get()).CreateTable(keyed));
    keyed.mName = "O'Brien\\";
    keyed.mComment = "first";
    *db << keyed;
    keyed.mComment = "second";
    *db << keyed;
    TextKeyRecord read;
    read.mName = "O'Brien\\";
    *db >> read;
    EXPECT_EQ(read.mComment, "second");
    EXPECT_EQ(DbConvertor(db.get()).DeleteObj(read), 1);
    EXPECT_EQ(db->QueryFirst("SELECT COUNT(*) FROM " + TextKeyRecord::msTable), "0");
    DropTableIfExists(*db, TextKeyRecord::msTable);
}

// Texts longer than a text column are cut to its width, never in the middle of a
// UTF-8 character, so that the row is stored; keys are cut the same way, so the
// record is found again by its full key.
TEST_F(PersistSql, LongTextsAreCutToTheColumnWidth) {
    const std::string longName(80, 'n');
    SampleRecord record(1, longName, 1);
    EXPECT_EQ(DbConvertor(db.get()).CreateWriteQuery(record),
              "INSERT INTO " + table + " (ID, name, speedup ) VALUES (1, '" + std::string(50, 'n') + "', 1);");
    *db << record;
    const std::string accented = std::string(49, 'a') + "\xC3\xA9zz";
    SampleRecord utf8(2, accented, 1);
    *db << utf8;
    utf8.mName = longName + "x";
    *db << utf8;
    EXPECT_THAT(Rows(*db, "ID, name", table, "ID"),
                ElementsAre("1|" + std::string(50, 'n'), "2|" + std::string(50, 'n')));
    record.mName = accented;
    *db << record;
    SampleRecord read;
    read.mID = 1;
    *db >> read;
    EXPECT_EQ(read.mName, std::string(49, 'a'));

    TextKeyRecord::msTable = TestTableName("TextKey");
    DropTableIfExists(*db, TextKeyRecord::msTable);
    TextKeyRecord keyed;
    ASSERT_TRUE(DbConvertor(db.get()).CreateTable(keyed));
    keyed.mName = std::string(60, 'k');
    keyed.mComment = std::string(70, 'c');
    *db << keyed;
    TextKeyRecord byKey;
    byKey.mName = std::string(60, 'k');
    *db >> byKey;
    EXPECT_TRUE(byKey.mWritten);
    EXPECT_EQ(byKey.mComment, std::string(50, 'c'));
    keyed.mComment = "short";
    EXPECT_TRUE(DbConvertor(db.get()).WriteObj(keyed));
    EXPECT_EQ(db->QueryFirst("SELECT comment FROM " + TextKeyRecord::msTable), "short");
    DropTableIfExists(*db, TextKeyRecord::msTable);
}

}  // namespace
