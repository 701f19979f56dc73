#include "cli/RunJson.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "cli/CliText.h"
#include "platform/FileStore.h"

namespace cli {

namespace {

// The columns whose texts are step results, under their column titles.
constexpr int kStepColumns[] = {engine::kColStatus, engine::kColUpdate,  engine::kColReLink, engine::kColPartition,
                                engine::kColRWTest, engine::kColPreload, engine::kColPD};

std::string LocalTimeText(const std::tm& time)
{
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return text;
}

const char* OutcomeText(uint8_t runResult)
{
    return runResult == engine::kRunPass ? "PASS" : runResult == engine::kRunFail ? "FAIL" : "none";
}

std::string PortJson(int row, const engine::EngineSnapshot& state)
{
    const auto& cells = state.table.cells[row];
    const engine::PortView& port = state.ports[row];
    const engine::StepResults& failure = state.results[row];
    JsonObject steps;
    for (int column : kStepColumns) steps.Text(engine::kResultColumns[column].title, cells[column].text);
    return JsonObject()
        .Number("port", row)
        .Bool("taking", port.taking)
        .Text("phase", port.phase)
        .Number("percent", port.percent)
        .Number("elapsedMs", port.elapsedMs)
        .Text("serialNumber", cells[engine::kColSerialNumber].text)
        .Text("firmwareVersion", cells[engine::kColFWVersion].text)
        .Text("serialWritten", port.serialWritten)
        .Text("firmwareWritten", port.firmwareWritten)
        .Raw("steps", steps.Json())
        .Text("failedStep", failure.FailColumn >= 0 ? engine::kResultColumns[failure.FailColumn].title : "")
        .Text("failure", failure.FailCause)
        .Json();
}

}  // namespace

std::string RunJsonPath(const std::string& folder, const std::tm& start)
{
    char name[96];
    std::snprintf(name, sizeof name, "MPResult_%04d%02d%02d_%02d%02d%02d.json", start.tm_year + 1900,
                  start.tm_mon + 1, start.tm_mday, start.tm_hour, start.tm_min, start.tm_sec);
    return folder + "/" + name;
}

std::string RunJsonText(const engine::EngineSnapshot& state, const RunTimes& times, int exitCode)
{
    std::vector<std::string> ports;
    for (int row = 0; row < MAX_DEVICES; ++row)
        if (state.ports[row].taking || !state.table.cells[row][engine::kColSerialNumber].text.empty())
            ports.push_back(PortJson(row, state));
    const std::string counters = JsonObject()
                                     .Number("pass", state.table.passCount)
                                     .Number("fail", state.table.failCount)
                                     .Number("total", state.table.totalCount)
                                     .Json();
    return JsonObject()
               .Text("started", LocalTimeText(times.start))
               .Number("wallMs", times.wallMs)
               .Number("exitCode", exitCode)
               .Text("result", OutcomeText(state.runResult))
               .Text("exitReason", state.exitReason)
               .Text("recordFailure", state.recordFailure)
               .Raw("counters", counters)
               .Raw("ports", JsonArray(ports))
               .Json() +
           "\n";
}

std::vector<std::string> RunOutcomeLines(const engine::EngineSnapshot& state, const std::string& outcome,
                                         const std::string& resultLog, const std::string& keptIn)
{
    if (state.recordFailure.empty()) return {"outcome: " + outcome, "result log: " + resultLog};
    return {"outcome: failed: " + state.recordFailure,
            "result log: " + resultLog +
                (keptIn.empty() ? " (incomplete; the run's JSON could not be written either)"
                                : " (incomplete; every port's result is in " + keptIn + ")")};
}

bool WriteRunJson(const std::string& path, const engine::EngineSnapshot& state, const RunTimes& times,
                  int exitCode, std::string& error)
{
    return platform::StoreFileDurably(path, RunJsonText(state, times, exitCode), error);
}

std::string StoreRunJson(const std::string& folder, const engine::EngineSnapshot& state, const RunTimes& times,
                         int exitCode, std::string& error)
{
    const std::string path = RunJsonPath(folder, times.start);
    if (WriteRunJson(path, state, times, exitCode, error)) return path;
    std::error_code ec;
    const std::string temp = std::filesystem::temp_directory_path(ec).string();
    std::string fallbackError;
    if (!ec && temp != folder) {
        const std::string fallback = RunJsonPath(temp, times.start);
        if (WriteRunJson(fallback, state, times, exitCode, fallbackError)) return fallback;
        error += "; " + fallbackError;
    }
    return "";
}

}  // namespace cli
