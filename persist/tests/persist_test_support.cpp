#include "persist/tests/persist_test_support.h"

#include "kova_site.h"

#include <gtest/gtest.h>


std::string SampleRecord::msTable = "PersistTestSample";
std::string PairKeyRecord::msTable = "PersistTestPair";
std::string AllTypesRecord::msTable = "PersistTestTypes";
std::string TextKeyRecord::msTable = "PersistTestTextKey";

void SampleRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName(msTable, "");
    ioc->DescribeObjectID(1, "ID");
    ioc->DescribeAttribute(mID, "ID", false);
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(mSpeedup, "speedup", false);
}

void PairKeyRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName(msTable, "");
    ioc->DescribeObjectID(2, "a", "b");
    ioc->DescribeAttribute(mA, "a", false);
    ioc->DescribeAttribute(mB, "b", false);
    ioc->DescribeAttribute(mValue, "value", false);
}

void AllTypesRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName(msTable, "");
    ioc->DescribeObjectID(1, "i");
    ioc->DescribeAttribute(mFlag, "flag", false);
    ioc->DescribeAttribute(mI, "i", false);
    ioc->DescribeAttribute(mU, "u", false);
    ioc->DescribeAttribute(mT, "t", false);
    ioc->DescribeAttribute(mF, "f", false);
    ioc->DescribeAttribute(mD, "d", false);
    ioc->DescribeAttribute(mC, "c", false);
    ioc->DescribeAttribute(mS, "s", true);
}

void TextKeyRecord::Describe(IOConvertor* ioc) {
    ioc->DescribeClassName(msTable, "");
    ioc->DescribeObjectID(1, "name");
    ioc->DescribeAttribute(mName, "name", false);
    ioc->DescribeAttribute(mComment, "comment", false);
}

std::unique_ptr<StandardDatabase> ConnectToTestDatabase() {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
}

std::string TestTableName(const std::string& suffix) {
    const std::string name = "PersistTest" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + suffix;
    return name.substr(0, 64);
}

void DropTableIfExists(StandardDatabase& db, const std::string& table) { db.Query("DROP TABLE IF EXISTS " + table); }

StatementRecorder::StatementRecorder(StandardDatabase& db) : mDb(db) { mDb.SetStatementLog(&mLog); }

StatementRecorder::~StatementRecorder() { mDb.SetStatementLog(nullptr); }

std::vector<std::string> StatementRecorder::Statements() const {
    std::vector<std::string> statements;
    std::istringstream lines(mLog.str());
    for (std::string line; std::getline(lines, line);) statements.push_back(line);
    return statements;
}

