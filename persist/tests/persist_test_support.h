// Records, connections and a child-process runner shared by the persistence tests.
// Every table a test uses is named "PersistTest..." and is dropped again.
#pragma once

#include "persist/dbDescribable.h"

#include "tests/support/testsupport.h"

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// A record with the key ID and the attributes ID, name and speedup.
struct SampleRecord : Describable {
    static std::string msTable;
    int mID = 0;
    std::string mName;
    double mSpeedup = 0;

    SampleRecord() = default;
    SampleRecord(int id, const std::string& name, double speedup) : mID(id), mName(name), mSpeedup(speedup) {}
    void Describe(IOConvertor* ioc) override;
};

// A record whose key has the two int columns a and b.
struct PairKeyRecord : Describable {
    static std::string msTable;
    int mA = 0;
    int mB = 0;
    std::string mValue;

    void Describe(IOConvertor* ioc) override;
};

// A record with one attribute of every persistent type, keyed by i.
struct AllTypesRecord : Describable {
    static std::string msTable;
    bool mFlag = false;
    int mI = 0;
    unsigned int mU = 0;
    long long mT = 0;
    float mF = 0;
    double mD = 0;
    char mC = ' ';
    std::string mS;

    void Describe(IOConvertor* ioc) override;
};

// A record keyed by a text column.
struct TextKeyRecord : Describable {
    static std::string msTable;
    std::string mName;
    std::string mComment;

    void Describe(IOConvertor* ioc) override;
};

// A new connection to the measurement database server of this build.
std::unique_ptr<StandardDatabase> ConnectToTestDatabase();

// "PersistTest" followed by the running test's name, unique per test.
std::string TestTableName(const std::string& suffix = "");

// Drops a table if it exists.
void DropTableIfExists(StandardDatabase& db, const std::string& table);

// The statements a connection sent while a StatementRecorder was alive.
class StatementRecorder {
public:
    explicit StatementRecorder(StandardDatabase& db);
    ~StatementRecorder();
    std::vector<std::string> Statements() const;

private:
    StandardDatabase& mDb;
    std::ostringstream mLog;
};

