// --json of list, fw inspect and table decode: valid JSON that follows the
// schemas in docs/json/.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "CtlRunner.h"
#include "cli/CliText.h"

namespace {

using clitest::RunCtl;

// Runs devedactl with `arguments` and pipes its standard output through `filter`.
clitest::CtlResult Piped(const std::string& arguments, const std::string& filter)
{
    return clitest::RunProgram(DEVEDACTL_PATH, arguments + " 2>/dev/null | " + filter, "2>&1");
}

std::string SchemaCheck(const std::string& schema)
{
    const std::string source = DEVEDA_SOURCE_DIR;
    return "python3 " + source + "/tests/cli/check_json_schema.py " + source + "/docs/json/" + schema;
}

class JsonOutput : public clitest::StationTest {
protected:
    std::string File(const std::string& name) const { return (m_Folder.Path() / name).string(); }
};

TEST_F(JsonOutput, ListIsValidJsonOfItsSchema)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 3").status, 0);
    const auto tool = Piped(Station() + "list --json", "python3 -m json.tool");
    EXPECT_EQ(tool.status, 0) << tool.output;
    EXPECT_NE(tool.output.find("\"usbCount\": 3"), std::string::npos) << tool.output;
    const auto schema = Piped(Station() + "list --json", SchemaCheck("list.schema.json"));
    EXPECT_EQ(schema.output, "valid\n");
    // No bridge at all is still a document.
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 0").status, 0);
    EXPECT_EQ(Piped(Station() + "list --json", SchemaCheck("list.schema.json")).output, "valid\n");
}

TEST_F(JsonOutput, FwInspectFollowsItsSchemaForGoodAndBadFiles)
{
    const std::string good = File("BR_USB4_241231000106___.bin");
    ASSERT_EQ(RunCtl("emu image " + good + " --version 241231000106 --size 70000").status, 0);
    EXPECT_EQ(Piped("fw inspect " + good + " --json", SchemaCheck("fw-inspect.schema.json")).output, "valid\n");
    const auto fields = Piped("fw inspect --json " + good,
                              "python3 -c 'import json,sys; d=json.load(sys.stdin); "
                              "print(d[\"usb4BcdRevision\"], d[\"nameCheck\"], d[\"versionFromImage\"])'");
    EXPECT_EQ(fields.output, "4C31 True 241231000106\n");
    // A short file with a quote in its name.
    const std::string odd = File("odd\"name.bin");
    std::ofstream(odd) << "abc";
    EXPECT_EQ(Piped("fw inspect '" + odd + "' --json", SchemaCheck("fw-inspect.schema.json")).output, "valid\n");
    EXPECT_EQ(RunCtl("fw inspect '" + odd + "' --json").status, 1);
}

TEST_F(JsonOutput, TableDecodeFollowsItsSchema)
{
    std::string table(128, '\0');
    table[126] = static_cast<char>(0xA5);
    std::ofstream(File("u4.bin"), std::ios::binary) << table;
    table[126] = 0x5A;
    table[4] = static_cast<char>(0xC3);  // not a character: the decoding escapes it
    table[5] = '"';
    std::ofstream(File("c1.bin"), std::ios::binary) << table;
    for (const char* name : {"u4.bin", "c1.bin"}) {
        EXPECT_EQ(Piped("table decode " + File(name) + " --json", SchemaCheck("table-decode.schema.json")).output,
                  "valid\n")
            << name;
    }
    const auto kind = Piped("table decode --json " + File("u4.bin"),
                            "python3 -c 'import json,sys; d=json.load(sys.stdin); print(d[\"kind\"], d[\"fields\"][-1][\"name\"])'");
    EXPECT_EQ(kind.output, "U4ConfigTable checksum\n");
}

TEST(JsonString, EscapesWhatJsonCannotHoldAndKeepsUtf8)
{
    EXPECT_EQ(cli::JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(cli::JsonString(std::string("x\0\n\x1f", 4)), "\"x\\u0000\\u000A\\u001F\"");
    EXPECT_EQ(cli::JsonString("Gr\xC3\xBC\xC3\x9F"), "\"Gr\xC3\xBC\xC3\x9F\"");  // valid UTF-8 as it is
    EXPECT_EQ(cli::JsonString("\xFF" "A"), "\"\\u00FFA\"");
    EXPECT_EQ(cli::JsonString("\xC3"), "\"\\u00C3\"");  // cut sequence
    cli::JsonObject o;
    o.Text("t", "v").Number("n", -3).Bool("b", false).Null("z").Raw("a", cli::JsonArray({"1", "2"}));
    EXPECT_EQ(o.Json(), "{\"t\":\"v\",\"n\":-3,\"b\":false,\"z\":null,\"a\":[1,2]}");
}

TEST_F(JsonOutput, PdInfoFollowsItsSchemaWithAndWithoutAController)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
    ASSERT_EQ(RunCtl(Station() + "emu set 1 pd.vendor=ccg3 pd.mode=2 pd.mcu=stm").status, 0);
    const std::string fixtures = PD_FIXTURES;
    const std::string ccg3 = Station() + "pd info --disk 1 --json --pd " + fixtures + "/ccg3_mode1.cyacd";
    EXPECT_EQ(Piped(ccg3, SchemaCheck("pd-info.schema.json")).output, "valid\n");
    const auto fields = Piped(ccg3, "python3 -c 'import json,sys; d=json.load(sys.stdin); "
                                    "print(d[\"pdChip\"], d[\"mcu\"], d[\"deviceMode\"], d[\"pdFiles\"][0][\"accepted\"])'");
    EXPECT_EQ(fields.output, "Cypress CCG3 STM 2 True\n");
    // A bridge without a controller: no chip, and the version text the channel gives then.
    const std::string bare = Station() + "pd info --disk 2 --json";
    EXPECT_EQ(Piped(bare, SchemaCheck("pd-info.schema.json")).output, "valid\n");
    EXPECT_EQ(Piped(bare, "python3 -c 'import json,sys; d=json.load(sys.stdin); print(d[\"pdChip\"], d[\"pdVersion\"])'")
                  .output,
              "none NULL\n");
}

}  // namespace
