// How the persistence layer fails, as a program meets it: the DatabaseError that
// every failed connection, statement and description throws, with the statement
// and the server's message, the connection staying usable.
#include "persist/tests/persist_test_support.h"

#include "persist/bulkread.h"
#include "kova_site.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const DESCRIBE_ERROR = "Describe error : I expect 1 DescribeObjectID and 1 DescribeClassName call";

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

// The error that a call throws ("" when it throws none).
template <class Call> std::string ErrorOf(Call&& call) {
    try {
        call();
    } catch (const DatabaseError& failure) {
        return failure.what();
    }
    return "";
}

TEST(PersistFailure, MissingServerOrDatabaseThrowsTheClientError) {
    DeadPort port;
    const std::string missing =
        ErrorOf([&] { StandardDatabase db("KOVAUser", "", "KOVAData", "127.0.0.1", port.Port()); });
    const std::string heading = "Failed to connect to the database server KOVAData\n";
    ASSERT_EQ(missing.rfind(heading, 0), 0u) << missing;
    EXPECT_EQ(missing.substr(heading.size()).rfind("Can't connect to server on '127.0.0.1'", 0), 0u) << missing;

    const std::string wrong =
        ErrorOf([] { StandardDatabase db("KOVAUser", "", "PersistTestNoSuchDb", KOVA_DB_HOST, KOVA_DB_PORT); });
    EXPECT_EQ(wrong.rfind("Failed to connect to the database server PersistTestNoSuchDb\nAccess denied", 0), 0u)
        << wrong;
}

// Every read whose statement fails throws it with the server's error; the
// connection stays usable.
TEST(PersistFailure, FailingReadsThrowTheStatementAndTheServerError) {
    const std::string missing = "PersistTestMissingTable";
    const std::string query = "SELECT ID FROM " + missing;
    const std::string expected = "Query failed: " + query + "\nTable 'KOVAData." + missing + "' doesn't exist";
    auto db = ConnectToTestDatabase();
    const std::vector<std::function<void()>> reads{
        [&] { db->QueryRows(query); },
        [&] { db->QueryRowsStreamed(query); },
        [&] { db->QueryFirst(query); },
        [&] { db->QueryStrings(query); },
        [&] { ReadEachRow<SampleRecord>(*db, "", [](SampleRecord&) {}); },
    };
    SampleRecord::msTable = missing;
    for (const auto& read : reads) {
        const std::string error = ErrorOf(read);
        if (error.find("SELECT ID, name") != std::string::npos)
            EXPECT_EQ(error, "Query failed: SELECT ID, name, speedup FROM " + missing + " ;\nTable 'KOVAData." + missing +
                                 "' doesn't exist");
        else
            EXPECT_EQ(error, expected);
        EXPECT_EQ(db->QueryFirst("SELECT 2"), "2");
    }
    SampleRecord record(7, "abc", 1);
    EXPECT_EQ(ErrorOf([&] { *db >> record; }), "Query failed: SELECT ID, name, speedup FROM " + missing +
                                                   " WHERE ID = '7'\nTable 'KOVAData." + missing + "' doesn't exist");
}

TEST(PersistFailure, ExistenceCheckOnAMissingColumnThrows) {
    auto db = ConnectToTestDatabase();
    const std::string table = TestTableName();
    DropTableIfExists(*db, table);
    db->Query("CREATE TABLE " + table + " (ID int)");
    const std::string error = ErrorOf([&] { db->CheckExistence(table, "nosuch", "7"); });
    EXPECT_EQ(error.rfind("select sequence query failed: SELECT * FROM " + table +
                              " WHERE nosuch = 7\nUnknown column 'nosuch' in ",
                          0),
              0u)
        << error;
    DropTableIfExists(*db, table);
}

// A failing write throws the statement and the server's error, prints nothing and
// keeps the connection usable.
TEST(PersistFailure, FailingWritesThrowTheStatementAndTheServerError) {
    auto db = ConnectToTestDatabase();
    const std::string missing = "PersistTestMissingTable";
    testing::internal::CaptureStdout();
    try {
        db->Query("DELETE FROM " + missing);
        ADD_FAILURE() << "no error";
    } catch (const DatabaseError& failure) {
        EXPECT_EQ(std::string(failure.what()),
                  "Query failed: DELETE FROM " + missing + "\nTable 'KOVAData." + missing + "' doesn't exist");
        EXPECT_EQ(failure.code(), 1146u);
        EXPECT_EQ(failure.serverMessage(), "Table 'KOVAData." + missing + "' doesn't exist");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(db->QueryFirst("SELECT 2"), "2");

    SampleRecord::msTable = missing;
    SampleRecord record(1, "a", 1);
    const std::string error = ErrorOf([&] { *db << record; });
    EXPECT_EQ(error.rfind("Query failed: INSERT INTO " + missing + " (ID, name, speedup ) VALUES (1, 'a', 1);\n", 0), 0u)
        << error;
    EXPECT_FALSE(record.mWritten);

    // A later statement of a multi-statement text that fails is a failure too.
    EXPECT_THROW(db->Query("SELECT 1; DELETE FROM " + missing), DatabaseError);
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

TEST(PersistFailure, BrokenDescribeOrderThrows) {
    auto db = ConnectToTestDatabase();
    for (BrokenRecord::Fault fault : {BrokenRecord::ATTRIBUTE_BEFORE_ID, BrokenRecord::SECOND_ID, BrokenRecord::NO_ID,
                                      BrokenRecord::ID_BEFORE_CLASS_NAME}) {
        BrokenRecord record(fault);
        EXPECT_EQ(ErrorOf([&] { *db << record; }), DESCRIBE_ERROR) << "fault " << fault;
    }
}

// An update whose key columns are not among the attributes would change every
// row of the table; it is refused like any other broken description.
TEST(PersistFailure, UpdateWithoutKeyConditionIsRefused) {
    auto db = ConnectToTestDatabase();
    DropTableIfExists(*db, "PersistTestBroken");
    db->Query("CREATE TABLE PersistTestBroken (id int, name varchar(50))");
    db->Query("INSERT INTO PersistTestBroken VALUES (1, 'a'), (2, 'b')");
    BrokenRecord record(BrokenRecord::KEY_NOT_DESCRIBED);
    record.mWritten = true;
    EXPECT_EQ(ErrorOf([&] { *db << record; }), DESCRIBE_ERROR);
    EXPECT_EQ(db->QueryFirst("SELECT GROUP_CONCAT(name ORDER BY id) FROM PersistTestBroken"), "a,b");
    DropTableIfExists(*db, "PersistTestBroken");
}

}  // namespace
