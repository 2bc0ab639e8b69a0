// Stored bytes made into UTF-8: UTF-8 kept, latin1 (Windows-1252) decoded, and the
// latin1 form of a name given in UTF-8.
#include "analysis/stored_text.h"

#include <gtest/gtest.h>

TEST(StoredText, Utf8StaysAndLatin1IsDecoded) {
    EXPECT_EQ(analysis::Utf8FromStored("plain"), "plain");
    EXPECT_EQ(analysis::Utf8FromStored("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(analysis::Utf8FromStored("caf\xE9"), "caf\xC3\xA9");
    // 0x80 is the euro sign, 0x81 (undefined in Windows-1252) the control U+0081.
    EXPECT_EQ(analysis::Utf8FromStored("\x80\x81"), "\xE2\x82\xAC\xC2\x81");
    // Overlong forms and surrogates are not UTF-8: their bytes are latin1.
    EXPECT_FALSE(analysis::IsUtf8("\xC0\xAF"));
    EXPECT_EQ(analysis::Utf8FromStored("\xC0\xAF"), "\xC3\x80\xC2\xAF");
    EXPECT_FALSE(analysis::IsUtf8("\xED\xA0\x80"));
    EXPECT_EQ(analysis::Utf8FromStored("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xE2\x82\xAC");
    EXPECT_FALSE(analysis::IsUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_TRUE(analysis::IsUtf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(analysis::IsUtf8("\xE2\x82"));           // cut short
}

TEST(StoredText, Latin1FormOnlyForTextBeyondAsciiThatLatin1Holds) {
    EXPECT_EQ(analysis::Latin1Form("caf\xC3\xA9"), std::optional<std::string>("caf\xE9"));
    EXPECT_EQ(analysis::Latin1Form("\xE2\x82\xAC"), std::optional<std::string>("\x80"));
    EXPECT_EQ(analysis::Latin1Form("cafe"), std::nullopt);
    EXPECT_EQ(analysis::Latin1Form("\xE6\x97\xA5"), std::nullopt);
    EXPECT_EQ(analysis::Latin1Form("caf\xE9"), std::nullopt);  // not UTF-8
}
