// The JSON result file of a run: its name, its content and its schema.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../common/TestSupport.h"
#include "CtlRunner.h"
#include "cli/RunJson.h"

namespace {

std::string SchemaCheckOf(const std::string& file)
{
    const std::string source = DEVEDA_SOURCE_DIR;
    return clitest::RunProgram("python3", source + "/tests/cli/check_json_schema.py " + source +
                                              "/docs/json/run-result.schema.json < " + file,
                               "2>&1")
        .output;
}

cli::RunTimes Times()
{
    cli::RunTimes times;
    times.start.tm_year = 126;
    times.start.tm_mon = 11;
    times.start.tm_mday = 9;
    times.start.tm_hour = 3;
    times.start.tm_min = 4;
    times.start.tm_sec = 5;
    times.wallMs = 12345;
    return times;
}

TEST(RunJson, NameFromTheStartTime)
{
    EXPECT_EQ(cli::RunJsonPath("/st", Times().start), "/st/MPResult_20261209_030405.json");
}

TEST(RunJson, FailedRunIsValidAndNamesPortStepSerialAndFirmware)
{
    testsupport::TempFolder folder;
    engine::EngineSnapshot state;
    state.runResult = engine::kRunFail;
    state.table.failCount = 1;
    state.table.totalCount = 2;
    for (int row : {0, 2}) {
        state.ports[row].taking = true;
        state.ports[row].phase = "done";
        state.ports[row].serialWritten = "SN\"" + std::to_string(row);  // a quote to escape
        state.ports[row].firmwareWritten = "250115000207";
        state.table.cells[row][engine::kColUpdate].text = row == 2 ? engine::FailText : engine::PassText;
    }
    state.results[2].FailColumn = engine::kColUpdate;
    state.results[2].FailCause = "the firmware could not be written, read back or verified";
    state.recordFailure = "the result log /st/log.txt cannot be written: No space left on device";
    const std::string path = cli::RunJsonPath(folder.Path().string(), Times().start);
    std::string error;
    ASSERT_TRUE(cli::WriteRunJson(path, state, Times(), -1, error)) << error;
    EXPECT_EQ(SchemaCheckOf(path), "valid\n");
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"exitCode\":-1"), std::string::npos) << text;
    EXPECT_NE(text.find("\"result\":\"FAIL\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"port\":2"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"port\":1,"), std::string::npos) << text;  // no device there
    EXPECT_NE(text.find("\"serialWritten\":\"SN\\\"2\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"Update\":\"FAIL\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"failedStep\":\"Update\",\"failure\":\"the firmware could not be written"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\"recordFailure\":\"the result log /st/log.txt cannot be written"), std::string::npos)
        << text;
    // Written whole: no temporary file stays behind.
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.Path())) ++files;
    EXPECT_EQ(files, 1u);
}

// A record the result log lost turns the outcome into a failure that names it,
// and the result log's line says where the results still are.
TEST(RunJson, ALostRecordIsTheOutcome)
{
    engine::EngineSnapshot state;
    EXPECT_EQ(cli::RunOutcomeLines(state, "passed", "/st/log.txt", "/st/run.json"),
              (std::vector<std::string>{"outcome: passed", "result log: /st/log.txt"}));
    state.recordFailure = "the result log /st/log.txt could not be written: No space left on device";
    EXPECT_EQ(cli::RunOutcomeLines(state, "passed", "/st/log.txt", "/tmp/run.json"),
              (std::vector<std::string>{"outcome: failed: " + state.recordFailure,
                                        "result log: /st/log.txt (incomplete; every port's result is in /tmp/run.json)"}));
    EXPECT_EQ(cli::RunOutcomeLines(state, "passed", "/st/log.txt", "")[1],
              "result log: /st/log.txt (incomplete; the run's JSON could not be written either)");
}

// A tool folder that cannot take the JSON does not lose it: it goes to the
// system's temporary folder, and the path says so.
TEST(RunJson, AFolderThatCannotTakeTheJsonSendsItToTheTemporaryFolder)
{
    testsupport::TempFolder folder;
    engine::EngineSnapshot state;
    std::string error;
    EXPECT_EQ(cli::StoreRunJson(folder.Path().string(), state, Times(), 0, error),
              cli::RunJsonPath(folder.Path().string(), Times().start));
    const std::string kept = cli::StoreRunJson("/nonexistent-folder", state, Times(), 0, error);
    EXPECT_EQ(kept, cli::RunJsonPath(std::filesystem::temp_directory_path().string(), Times().start));
    EXPECT_TRUE(std::filesystem::exists(kept));
    std::filesystem::remove(kept);
}

TEST(RunJson, UnwritableFolderIsAnErrorWithItsReason)
{
    std::string error;
    EXPECT_FALSE(cli::WriteRunJson("/nonexistent-folder/MPResult.json", engine::EngineSnapshot{}, Times(), 0, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
