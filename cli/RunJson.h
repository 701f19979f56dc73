#pragma once
// The JSON result file of a command-line run, written beside the day's result log
// as "MPResult_YYYYMMDD_HHMMSS.json" (the run's start, local time): every port that
// took part or showed a device, with the serial number and firmware version
// written, each step's result, the times, and the program's exit code. Its schema
// is docs/json/run-result.schema.json.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "engine/EngineSnapshot.h"

namespace cli {

// The run's times: its start (local time) and how long the program ran.
struct RunTimes {
    std::tm start{};
    int64_t wallMs = 0;
};

// "<folder>/MPResult_YYYYMMDD_HHMMSS.json" of a run started at `start`.
std::string RunJsonPath(const std::string& folder, const std::tm& start);

// The document of the run `state` shows.
std::string RunJsonText(const engine::EngineSnapshot& state, const RunTimes& times, int exitCode);

// The closing lines of a run about its outcome and its record: "outcome: ..."
// (a result log that lacks records fails the run and is named first, with its
// cause) and "result log: PATH", which then says where every port's result is
// kept: `keptIn`, the run's JSON as written, or nowhere when it is empty.
std::vector<std::string> RunOutcomeLines(const engine::EngineSnapshot& state, const std::string& outcome,
                                         const std::string& resultLog, const std::string& keptIn);

// Stores the document whole (temporary file renamed over the target). False with
// `error` naming the failed step and the system's reason.
bool WriteRunJson(const std::string& path, const engine::EngineSnapshot& state, const RunTimes& times,
                  int exitCode, std::string& error);

// Stores the run's document in `folder`, or in the system's temporary folder
// when `folder` cannot take it (a full or read-only tool folder must not lose
// the results as well). The path written; empty with `error` naming each failure.
std::string StoreRunJson(const std::string& folder, const engine::EngineSnapshot& state, const RunTimes& times,
                         int exitCode, std::string& error);

}  // namespace cli
