// Tests of the server's storage on its own: the bounds that keep one statement
// from holding a shared database, and the translation of mSQL string literals.
#include "msql/server/statement.h"
#include "msql/server/storage.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

class MsqlStorage : public testing::Test {
protected:
    void SetUp() override
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/bench.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (a int)", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const ScratchFolder folder{"msql-storage", ScratchFolder::SystemTemp};
    const std::string dir = folder.path().string();
};

TEST_F(MsqlStorage, EndlessOrHugeStatementsAreStoppedAndTheDatabaseGoesOn)
{
    msqld::StatementLimits limits;
    limits.time = std::chrono::milliseconds(200);
    limits.resultBytes = 1 << 16;
    msqld::Storage storage(dir, limits);
    std::string error;
    auto db = storage.open("bench", error);
    ASSERT_NE(db, nullptr) << error;

    auto endless = db->execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                               "SELECT count(*) FROM n");
    EXPECT_FALSE(endless.ok);
    EXPECT_EQ(endless.error, "Statement ran longer than 200 ms");

    auto huge = db->execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
                            "SELECT i, 'some text' FROM n");
    EXPECT_FALSE(huge.ok);
    EXPECT_EQ(huge.error, "Result too large");
    EXPECT_TRUE(huge.rows.empty());

    auto insert = db->execute("INSERT INTO t VALUES (1)");
    EXPECT_TRUE(insert.ok) << insert.error;
    EXPECT_EQ(insert.changes, 1);
}

TEST(MsqlStatement, BackslashEscapesOfLiteralsBecomeSqliteQuotes)
{
    EXPECT_EQ(msqld::toSqlite("SELECT 'it\\'s' FROM t"), "SELECT 'it''s' FROM t");
    EXPECT_EQ(msqld::toSqlite("VALUES ('a\\\\b', 'c\\nd')"), "VALUES ('a\\b', 'cnd')");
    EXPECT_EQ(msqld::toSqlite("VALUES ('it''s')"), "VALUES ('it''s')");
    EXPECT_EQ(msqld::toSqlite("SELECT a\\b FROM t"), "SELECT a\\b FROM t") << "outside literals";
    EXPECT_EQ(msqld::toSqlite("VALUES ('open\\"), "VALUES ('open\\") << "a cut literal stays cut";
}

}  // namespace
