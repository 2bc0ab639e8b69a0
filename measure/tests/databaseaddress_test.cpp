// The measurement database's address: the compiled one unless the environment
// names another.
#include "probe/databaseaddress.h"
#include <kova_site.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

class DatabaseAddressTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"KOVA_DB_HOST", "KOVA_DB_PORT", "KOVA_DB_SOCKET", "PVM_EXPORT"}) unsetenv(name);
    }
};

TEST_F(DatabaseAddressTest, EnvironmentOverridesTheCompiledAddressPartByPart) {
    DatabaseAddress address = MeasurementDatabaseAddress();
    EXPECT_EQ(address.host, KOVA_DB_HOST);
    EXPECT_EQ(address.port, static_cast<unsigned>(KOVA_DB_PORT));
    EXPECT_EQ(address.socket, "");

    setenv("KOVA_DB_PORT", "4406", 1);
    setenv("KOVA_DB_HOST", "", 1);  // empty counts as unset
    address = MeasurementDatabaseAddress();
    EXPECT_EQ(address.host, KOVA_DB_HOST);
    EXPECT_EQ(address.port, 4406u);

    setenv("KOVA_DB_HOST", "db.example.org", 1);
    EXPECT_EQ(MeasurementDatabaseAddress().host, "db.example.org");

    setenv("KOVA_DB_SOCKET", "/run/db.sock", 1);
    address = MeasurementDatabaseAddress();
    EXPECT_EQ(address.host, "localhost");
    EXPECT_EQ(address.socket, "/run/db.sock");
}

TEST_F(DatabaseAddressTest, PortThatIsNoTcpPortIsRefusedWithItsValue) {
    for (const char* wrong : {"abc", "0", "65536", "33x", "-5"}) {
        setenv("KOVA_DB_PORT", wrong, 1);
        try {
            MeasurementDatabaseAddress();
            ADD_FAILURE() << wrong << " was taken";
        } catch (const std::invalid_argument& refused) {
            EXPECT_EQ(std::string(refused.what()),
                      std::string("KOVA_DB_PORT is not a TCP port (1 to 65535): '") + wrong + "'");
        }
    }
    setenv("KOVA_DB_PORT", "65535", 1);
    EXPECT_EQ(MeasurementDatabaseAddress().port, 65535u);
}

TEST_F(DatabaseAddressTest, ExportAddsTheSetVariablesOnceToPvmExport) {
    ExportDatabaseAddress();
    EXPECT_EQ(std::getenv("PVM_EXPORT"), nullptr);
    setenv("PVM_EXPORT", "DISPLAY:KOVA_DB_PORT", 1);
    setenv("KOVA_DB_PORT", "4406", 1);
    setenv("KOVA_DB_SOCKET", "/run/db.sock", 1);
    ExportDatabaseAddress();
    ExportDatabaseAddress();
    EXPECT_STREQ(std::getenv("PVM_EXPORT"), "DISPLAY:KOVA_DB_PORT:KOVA_DB_SOCKET");
}

}  // namespace
