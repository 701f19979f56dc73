#include "security/SHA256KeyDlg.h"

#include <gtest/gtest.h>

namespace {

TEST(SHA256Key, WordsAreTheStandardInitialHashAndWireFormIsBigEndian)
{
    EXPECT_EQ(CSHA256::kKeyWords[0], 0x6a09e667u);
    EXPECT_EQ(CSHA256::kKeyWords[7], 0x5be0cd19u);
    const std::array<uint8_t, 32> expected = {
        0x6A, 0x09, 0xE6, 0x67, 0xBB, 0x67, 0xAE, 0x85, 0x3C, 0x6E, 0xF3, 0x72, 0xA5, 0x4F, 0xF5, 0x3A,
        0x51, 0x0E, 0x52, 0x7F, 0x9B, 0x05, 0x68, 0x8C, 0x1F, 0x83, 0xD9, 0xAB, 0x5B, 0xE0, 0xCD, 0x19,
    };
    EXPECT_EQ(CSHA256::KeyWireForm(), expected);
}

TEST(SHA256KeyField, FilterKeepsEightHexDigitsInUpperCase)
{
    EXPECT_EQ(strFilterSHA256KeyField("g1z2 3-4aBcD"), "1234ABCD");
    EXPECT_EQ(strFilterSHA256KeyField("0123456789abcdef"), "01234567");
    EXPECT_EQ(strFilterSHA256KeyField("xyz !?"), "");
    // Only the first 127 characters are read.
    EXPECT_EQ(strFilterSHA256KeyField(std::string(127, 'x') + "abc"), "");
    EXPECT_EQ(strFilterSHA256KeyField(std::string(126, 'x') + "abc"), "A");

    int caret = 3;  // after "a-b"
    EXPECT_EQ(strFilterSHA256KeyField("a-bc", &caret), "ABC");
    EXPECT_EQ(caret, 2);
    caret = 100;
    EXPECT_EQ(strFilterSHA256KeyField("123456789", &caret), "12345678");
    EXPECT_EQ(caret, 8);
    caret = 0;
    EXPECT_EQ(strFilterSHA256KeyField("q1", &caret), "1");
    EXPECT_EQ(caret, 0);
}

TEST(SHA256KeyDialog, OpensWithTheKeyAndOnlyOkChangesTheOption)
{
    CSHA256KeyDlgModel dlg;
    dlg.OnInitDialog(false);
    EXPECT_EQ(dlg.Field(1), "6a09e667");
    EXPECT_EQ(dlg.Field(5), "510e527f");
    EXPECT_EQ(dlg.Field(8), "5be0cd19");
    EXPECT_FALSE(dlg.GetCheck());

    EXPECT_EQ(dlg.OnEnChangeEditSha256Key(3, "3c6ef372zz99"), "3C6EF372");
    EXPECT_EQ(dlg.Field(3), "3C6EF372");
    EXPECT_EQ(dlg.OnEnChangeEditSha256Key(9, "12"), "");
    EXPECT_EQ(dlg.Field(9), "");

    dlg.SetCheck(true);
    bool option = false;
    dlg.OnClose(false, option);
    EXPECT_FALSE(option);
    dlg.OnClose(true, option);
    EXPECT_TRUE(option);
    // Edited fields never change the key that is sent.
    EXPECT_EQ(CSHA256::KeyWireForm()[8], 0x3C);
    EXPECT_EQ(CSHA256::KeyWireForm()[11], 0x72);
}

}  // namespace
