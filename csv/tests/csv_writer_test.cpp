// The writer's quoting, read back as RFC 4180 defines it.
#include "csv/csv_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>

namespace {

TEST(Csv, FieldsAreQuotedAsRfc4180Says) {
    std::ostringstream out;
    csv::Writer row(out);
    row << "plain" << "a,b" << "say \"hi\"" << "two\nlines" << "cr\r" << 7 << uint8_t{5} << -1.5;
    row.EndRow();
    row << "";
    row.EndRow();
    EXPECT_EQ(out.str(), "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\r\",7,5,-1.5\n\n");
}

}  // namespace
