#include "config/SerialNumber.h"

#include <gtest/gtest.h>

namespace {

TEST(AddLimitSN, HexAdvance)
{
    EXPECT_EQ(vAddLimitSN("AAAABBBB0001", 3, true), "AAAABBBB0004");
    EXPECT_EQ(vAddLimitSN("AAAABBBB0001", 15, true), "AAAABBBB0010");
    EXPECT_EQ(vAddLimitSN("AAAABBBB0001", 0, true), "AAAABBBB0001");
    EXPECT_EQ(vAddLimitSN("00FF", 255, true), "01FE");
    EXPECT_EQ(vAddLimitSN("0009", 1, true), "000A");
}

TEST(AddLimitSN, CarryOutOfFirstCharacterWraps)
{
    EXPECT_EQ(vAddLimitSN("FFFF", 1, true), "0000");
    EXPECT_EQ(vAddLimitSN("9999", 2, false), "0001");
    EXPECT_EQ(vAddLimitSN("F", 255, true), "E");  // 15 + 255 = 270 = 0x10E
}

TEST(AddLimitSN, DecimalAdvance)
{
    EXPECT_EQ(vAddLimitSN("0009", 11, false), "0020");
    EXPECT_EQ(vAddLimitSN("1999", 1, false), "2000");
    EXPECT_EQ(vAddLimitSN("0000", 255, false), "0255");
}

TEST(AddLimitSN, DecimalWithOtherCharactersIsUnchanged)
{
    EXPECT_EQ(vAddLimitSN("12A4", 1, false), "12A4");
    EXPECT_EQ(vAddLimitSN("12a4", 1, false), "12A4");  // upper-cased all the same
    EXPECT_EQ(vAddLimitSN("", 1, false), "");
    EXPECT_EQ(vAddLimitSN("", 1, true), "");
}

TEST(AddLimitSN, LowerCaseAdvancesInUpperCase)
{
    EXPECT_EQ(vAddLimitSN("aaaabbbb000f", 1, true), "AAAABBBB0010");
}

TEST(AddLimitSN, SevenCharacterFallbackForNonHexText)
{
    EXPECT_EQ(vAddLimitSN("SN0000012", 1, true), "SN13");
    EXPECT_EQ(vAddLimitSN("sn0000012", 1, true), "SN13");
    // Shorter than 8 characters: the number alone.
    EXPECT_EQ(vAddLimitSN("X12", 1, true), "1");  // no leading hex digit in "X12": 0 + 1
    EXPECT_EQ(vAddLimitSN("1G", 2, true), "3");
    // Exactly 8 characters: one character kept in front.
    EXPECT_EQ(vAddLimitSN("Z0FFFFFF", 1, true), "Z1000000");
    EXPECT_EQ(vAddLimitSN("PREFIX-FFFFFFF", 1, true), "PREFIX-10000000");
}

TEST(AddLimitSN, RemainValueKeepsFixedPart)
{
    EXPECT_EQ(strAdvanceSNWithRemain("AAAABBBB0001", 2, kSnIncreaseHex, true, 8), "AAAABBBB0003");
    // Carry out of the variable part never reaches the fixed part.
    EXPECT_EQ(strAdvanceSNWithRemain("AAAAFFFF", 1, kSnIncreaseHex, true, 4), "AAAA0000");
    EXPECT_EQ(strAdvanceSNWithRemain("ABCD9999", 1, kSnIncreaseDec, true, 4), "ABCD0000");
    // Edit types other than 1 advance in decimal.
    EXPECT_EQ(strAdvanceSNWithRemain("ABCD0009", 1, kSnUserDefine, true, 4), "ABCD0010");
    // Fixed part as long as the text: nothing to advance.
    EXPECT_EQ(strAdvanceSNWithRemain("ABCD", 1, kSnIncreaseHex, true, 20), "ABCD");
    EXPECT_EQ(strAdvanceSNWithRemain("0001", 5, kSnIncreaseHex, false, 2), "0006");

    IniSettings s = DefaultIniSettings();
    s.SN_remain_value_enable = 1;
    s.SN_remain_value_length = 8;
    EXPECT_EQ(strAdvanceSNForSettings(s, "AAAABBBB0001", 2), "AAAABBBB0003");
    s.SN_remain_value_enable = 0;
    EXPECT_EQ(strAdvanceSNForSettings(s, "AAAABBBB0001", 2), "AAAABBBB0003");
    s.SN_EditType = kSnIncreaseDec;
    EXPECT_EQ(strAdvanceSNForSettings(s, "00000009", 2), "00000011");
}

TEST(SNValidity, ByEditType)
{
    EXPECT_TRUE(bCheckSNValidByEditType("0123ABCDEF", kSnIncreaseHex));
    EXPECT_FALSE(bCheckSNValidByEditType("0123abcdef", kSnIncreaseHex));
    EXPECT_FALSE(bCheckSNValidByEditType("12G", kSnIncreaseHex));
    EXPECT_TRUE(bCheckSNValidByEditType("0123456789", kSnIncreaseDec));
    EXPECT_FALSE(bCheckSNValidByEditType("12A", kSnIncreaseDec));
    EXPECT_TRUE(bCheckSNValidByEditType("anything goes", kSnUserDefine));
    EXPECT_TRUE(bCheckSNValidByEditType("anything goes", kSnFromBarcode));
}

TEST(SNValidity, FixedLengthAtStart)
{
    IniSettings s = DefaultIniSettings();
    EXPECT_TRUE(CheckSNFixLength(s, "ABC").bValid);  // 0: off
    s.SN_fix_length = 12;
    EXPECT_TRUE(CheckSNFixLength(s, "AAAABBBB0001").bValid);
    const SNCheckResult r = CheckSNFixLength(s, "AAAABBBB001");
    EXPECT_FALSE(r.bValid);
    EXPECT_EQ(r.strMessage, "input SN should have 12 digits");
    EXPECT_TRUE(r.bClearEdit);
    EXPECT_EQ(r.iExitCode, -3);
    EXPECT_FALSE(CheckSNFixLength(s, "AAAABBBB00011").bValid);
    s.SN_EditType = kSnFromHddSn;
    EXPECT_TRUE(CheckSNFixLength(s, "").bValid);
}

TEST(SNValidity, HddSerialPadding)
{
    std::string message;
    EXPECT_EQ(strPadHddSN("12345", 12, message), "000000012345");
    EXPECT_EQ(message, "");
    EXPECT_EQ(strPadHddSN("ABC", 16, message), "000000000ABC");
    EXPECT_EQ(message, "Serial Number Invalid, at least 16 digits\r\n");
    EXPECT_EQ(strPadHddSN("", 12, message), "");
    EXPECT_EQ(message, "");
    EXPECT_EQ(strPadHddSN("0123456789ABCDEF", 12, message), "0123456789ABCDEF");
    EXPECT_EQ(message, "");
    // Without a digit count nothing is padded and 12 is the least.
    EXPECT_EQ(strPadHddSN("12345", 0, message), "12345");
    EXPECT_EQ(message, "Serial Number Invalid, at least 12 digits\r\n");
}

TEST(SerialNumberEditModel, FiltersTypedText)
{
    IniSettings s = DefaultIniSettings();
    CSerialNumberEdit edit(s);
    EXPECT_EQ(edit.OnEnChangeEditSerialNumber("abcd-1234-xyz-00000000000", 4), 4u);
    EXPECT_EQ(edit.m_strEdit, "ABCD-1234-XYZ-000000");  // first 20, upper case
    EXPECT_STREQ(s.serial_number, "ABCD-1234-XYZ-000000");

    s.Check_SerialNumber = 1;
    s.SN_Numbers = 12;
    // The caret after "ab-c" (4 typed characters) sits after 3 kept ones.
    EXPECT_EQ(edit.OnEnChangeEditSerialNumber("ab-cd:1234567890ff", 4), 3u);
    EXPECT_EQ(edit.m_strEdit, "ABCD12345678");
    EXPECT_STREQ(s.serial_number, "ABCD12345678");
    // At most 127 characters are read.
    edit.OnEnChangeEditSerialNumber(std::string(127, '-') + "1234", 0);
    EXPECT_EQ(edit.m_strEdit, "");
}

TEST(SerialNumberEditModel, RadixButtons)
{
    IniSettings s = DefaultIniSettings();
    CSerialNumberEdit edit(s);
    s.SN_EditType = kSnIncreaseDec;
    edit.OnEnChangeEditSerialNumber("0000000A", 0);
    // Invalid for the edit type while HEX is clicked: cleared, flipped to DEC.
    EXPECT_EQ(edit.OnBnClickedStaticDevicedescriptorSnincHex(), "SN digits should be all heximal");
    EXPECT_EQ(edit.m_strEdit, "");
    EXPECT_STREQ(s.serial_number, "");
    EXPECT_EQ(s.serial_number_increase_HEX, 0u);
    EXPECT_EQ(s.serial_number_increase_DEC, 1u);

    s.SN_EditType = kSnIncreaseHex;
    edit.OnEnChangeEditSerialNumber("0000000A", 0);
    EXPECT_EQ(edit.OnBnClickedStaticDevicedescriptorSnincHex(), "");
    EXPECT_EQ(s.serial_number_increase_HEX, 1u);
    EXPECT_EQ(s.serial_number_increase_DEC, 0u);
    EXPECT_EQ(edit.m_strEdit, "0000000A");

    s.SN_EditType = kSnUserDefine;
    EXPECT_EQ(edit.OnBnClickedStaticDevicedescriptorSnincDec(), "");
    EXPECT_EQ(s.serial_number_increase_DEC, 1u);

    // Only the part after the fixed characters is tested.
    s.SN_EditType = kSnIncreaseDec;
    s.SN_remain_value_enable = 1;
    s.SN_remain_value_length = 4;
    edit.OnEnChangeEditSerialNumber("ABCD1234", 0);
    EXPECT_EQ(edit.OnBnClickedStaticDevicedescriptorSnincDec(), "");
    EXPECT_EQ(edit.m_strEdit, "ABCD1234");
    s.SN_remain_value_enable = 0;
    EXPECT_EQ(edit.OnBnClickedStaticDevicedescriptorSnincDec(), "SN digits should be all decimal");
    EXPECT_EQ(s.serial_number_increase_HEX, 1u);
}

TEST(SerialNumberEditModel, EditTypeList)
{
    IniSettings s = DefaultIniSettings();
    CSerialNumberEdit edit(s);
    edit.OnEnChangeEditSerialNumber("1234", 0);
    edit.OnCbnSelchangeComboSNEditType(kSnFromHddSn);
    EXPECT_EQ(s.SN_EditType, kSnFromHddSn);
    EXPECT_FALSE(edit.m_bEditEnabled);
    EXPECT_EQ(edit.m_strEdit, "1234");
    edit.OnCbnSelchangeComboSNEditType(kSnFromBarcode);
    EXPECT_TRUE(edit.m_bEditEnabled);
    EXPECT_TRUE(edit.m_bEditFocus);
    EXPECT_EQ(edit.m_strEdit, "");
    EXPECT_STREQ(s.serial_number, "");
    edit.OnCbnSelchangeComboSNEditType(kSnIncreaseDec);
    EXPECT_TRUE(edit.m_bEditEnabled);
    EXPECT_FALSE(edit.m_bEditFocus);
    EXPECT_STREQ(kSNEditTypeTexts[kSnFromBarcode], "3.From Barcode");
}

TEST(BarcodeDialogModel, EntryWithAndWithoutDevices)
{
    IniSettings s = DefaultIniSettings();
    CSNDlg dialog(s);
    EXPECT_EQ(dialog.OnEnChangeEditDeviceArrivalDialogPcbSn("ab-12 cd", 1), "AB-12 CD");
    EXPECT_STREQ(s.serial_number, "AB-12 CD");
    s.Check_SerialNumber = 1;
    EXPECT_EQ(dialog.OnEnChangeEditDeviceArrivalDialogPcbSn("ab-12 cd", 2), "AB12CD");
    EXPECT_EQ(dialog.m_strSNandPStringDlgPCBSN, "AB12CD");
    EXPECT_STREQ(s.serial_number, "AB12CD");
    // A scan longer than the table's 20-character field is cut to it.
    EXPECT_EQ(dialog.OnEnChangeEditDeviceArrivalDialogPcbSn(std::string(30, '7'), 1), std::string(20, '7'));
    // No device attached: edit and setting cleared.
    EXPECT_EQ(dialog.OnEnChangeEditDeviceArrivalDialogPcbSn("1234", 0), "");
    EXPECT_STREQ(s.serial_number, "");
    EXPECT_EQ(dialog.m_strSNandPStringDlgPCBSN, "");

    dialog.OnEnChangeEditDeviceArrivalDialogPcbSn("beef", 1);
    std::string mainEdit;
    SetIniString(s.serial_number, "");
    EXPECT_TRUE(OpenSNAndPStringEnteringDialogResult(dialog, true, s, mainEdit));
    EXPECT_EQ(mainEdit, "BEEF");
    EXPECT_STREQ(s.serial_number, "BEEF");
    EXPECT_FALSE(OpenSNAndPStringEnteringDialogResult(dialog, false, s, mainEdit));
}

}  // namespace
