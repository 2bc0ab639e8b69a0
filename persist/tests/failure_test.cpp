// How the persistence layer fails, as a program meets it: messages on standard
// output and the process's exit status (run in child processes), or the int
// thrown by a failed write.
#include "persist_test_support.h"

#include "kova_site.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const DESCRIBE_ERROR = "Describe error : I expect 1 DescribeObjectID and 1 DescribeClassName call\n";

// A TCP port on the loopback address that is bound but where nothing listens.
class DeadPort {
public:
    DeadPort() {
        mSocket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(mSocket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(mSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no free port";
        mPort = ntohs(address.sin_port);
    }
    ~DeadPort() { close(mSocket); }
    unsigned int Port() const { return mPort; }

private:
    int mSocket;
    unsigned int mPort = 0;
};

TEST(PersistFailure, MissingServerEndsTheProcessWithTheClientError) {
    DeadPort port;
    const ChildResult child =
        RunInChild([&] { StandardDatabase db("KOVAUser", "", "KOVAData", "127.0.0.1", port.Port()); });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 255);
    const std::string heading = "Failed to connect to the database server KOVAData\n";
    ASSERT_EQ(child.output.rfind(heading, 0), 0u) << child.output;
    // The client's error text follows, without a line break.
    EXPECT_EQ(child.output.substr(heading.size()).rfind("Can't connect to server on '127.0.0.1'", 0), 0u);
    EXPECT_NE(child.output.back(), '\n');
}

TEST(PersistFailure, WrongDatabaseEndsTheProcess) {
    const ChildResult child =
        RunInChild([] { StandardDatabase db("KOVAUser", "", "PersistTestNoSuchDb", KOVA_DB_HOST, KOVA_DB_PORT); });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(child.output.rfind("Failed to connect to the database server PersistTestNoSuchDb\nAccess denied", 0), 0u)
        << child.output;
}

// Every read whose statement fails prints it with the server's error and exits 255.
TEST(PersistFailure, FailingReadsEndTheProcess) {
    const std::string missing = "PersistTestMissingTable";
    const std::string query = "SELECT ID FROM " + missing;
    const std::string expected =
        "Query failed: " + query + "\nTable 'KOVAData." + missing + "' doesn't exist\n";
    const std::vector<std::function<void(StandardDatabase&)>> reads{
        [&](StandardDatabase& db) { db.QueryRows(query); },
        [&](StandardDatabase& db) { db.QueryFirst(query); },
        [&](StandardDatabase& db) { db.QueryStrings(query); },
    };
    for (const auto& read : reads) {
        const ChildResult child = RunInChild([&] {
            auto db = ConnectToTestDatabase();
            read(*db);
        });
        EXPECT_EQ(child.exitCode, 255);
        EXPECT_EQ(child.output, expected);
    }

    SampleRecord::msTable = missing;
    const ChildResult child = RunInChild([] {
        auto db = ConnectToTestDatabase();
        SampleRecord record(7, "abc", 1);
        *db >> record;
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(child.output, "Query failed: SELECT ID, name, speedup FROM " + missing + " WHERE ID = '7'\nTable 'KOVAData." +
                                missing + "' doesn't exist\n");
}

TEST(PersistFailure, ExistenceCheckOnAMissingColumnEndsTheProcess) {
    auto db = ConnectToTestDatabase();
    const std::string table = TestTableName();
    DropTableIfExists(*db, table);
    db->Query("CREATE TABLE " + table + " (ID int)");
    const ChildResult child = RunInChild([&] { ConnectToTestDatabase()->CheckExistence(table, "nosuch", "7"); });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(child.output.rfind("select sequence query failed: SELECT * FROM " + table +
                                     " WHERE nosuch = 7\nUnknown column 'nosuch' in ",
                                 0),
              0u)
        << child.output;
    DropTableIfExists(*db, table);
}

// A failing write prints the statement and the server's error and throws int 1;
// the connection stays usable.
TEST(PersistFailure, FailingWritesThrowOne) {
    auto db = ConnectToTestDatabase();
    const std::string missing = "PersistTestMissingTable";
    testing::internal::CaptureStdout();
    int thrown = 0;
    try {
        db->Query("DELETE FROM " + missing);
    } catch (int value) {
        thrown = value;
    }
    EXPECT_EQ(thrown, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Query failed: DELETE FROM " + missing + "\nTable 'KOVAData." + missing + "' doesn't exist\n");
    EXPECT_EQ(db->QueryFirst("SELECT 2"), "2");

    SampleRecord::msTable = missing;
    SampleRecord record(1, "a", 1);
    testing::internal::CaptureStdout();
    EXPECT_THROW(*db << record, int);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Query failed: INSERT INTO " + missing + " (ID, name, speedup ) VALUES (1, 'a', 1);\n", 0),
              0u)
        << output;
    EXPECT_FALSE(record.mWritten);

    // A later statement of a multi-statement text that fails is a failure too.
    testing::internal::CaptureStdout();
    EXPECT_THROW(db->Query("SELECT 1; DELETE FROM " + missing), int);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(db->QueryFirst("SELECT 3"), "3");
}

// Records that break the order of describe calls.
struct BrokenRecord : Describable {
    enum Fault { ATTRIBUTE_BEFORE_ID, SECOND_ID, NO_ID, ID_BEFORE_CLASS_NAME, KEY_NOT_DESCRIBED };
    Fault mFault;
    int mID = 1;
    std::string mName = "n";

    explicit BrokenRecord(Fault fault) : mFault(fault) {}
    void Describe(IOConvertor* ioc) override {
        if (mFault == ID_BEFORE_CLASS_NAME) ioc->DescribeObjectID(1, "ID");
        ioc->DescribeClassName("PersistTestBroken", "");
        if (mFault == ATTRIBUTE_BEFORE_ID) ioc->DescribeAttribute(mID, "ID", false);
        if (mFault != NO_ID) ioc->DescribeObjectID(1, "ID");
        if (mFault == SECOND_ID) ioc->DescribeObjectID(1, "ID");
        if (mFault != NO_ID) {
            ioc->DescribeAttribute(mID, mFault == KEY_NOT_DESCRIBED ? "id" : "ID", false);
            ioc->DescribeAttribute(mName, "name", false);
        }
    }
};

TEST(PersistFailure, BrokenDescribeOrderEndsTheProcess) {
    for (BrokenRecord::Fault fault : {BrokenRecord::ATTRIBUTE_BEFORE_ID, BrokenRecord::SECOND_ID, BrokenRecord::NO_ID,
                                      BrokenRecord::ID_BEFORE_CLASS_NAME}) {
        const ChildResult child = RunInChild([fault] {
            auto db = ConnectToTestDatabase();
            BrokenRecord record(fault);
            *db << record;
        });
        EXPECT_EQ(child.exitCode, 255) << "fault " << fault;
        EXPECT_EQ(child.output, DESCRIBE_ERROR) << "fault " << fault;
    }
}

// An update whose key columns are not among the attributes would change every
// row of the table; it is refused like any other broken description.
TEST(PersistFailure, UpdateWithoutKeyConditionIsRefused) {
    auto db = ConnectToTestDatabase();
    DropTableIfExists(*db, "PersistTestBroken");
    db->Query("CREATE TABLE PersistTestBroken (id int, name varchar(50))");
    db->Query("INSERT INTO PersistTestBroken VALUES (1, 'a'), (2, 'b')");
    const ChildResult child = RunInChild([] {
        auto db = ConnectToTestDatabase();
        BrokenRecord record(BrokenRecord::KEY_NOT_DESCRIBED);
        record.mWritten = true;
        *db << record;
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(child.output, DESCRIBE_ERROR);
    EXPECT_EQ(db->QueryFirst("SELECT GROUP_CONCAT(name ORDER BY id) FROM PersistTestBroken"), "a,b");
    DropTableIfExists(*db, "PersistTestBroken");
}

}  // namespace
