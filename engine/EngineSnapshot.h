#pragma once
// What a front end may read of the engine: one immutable picture of the engine's
// state, published whole by the engine thread after every change it handled.
// Front ends hold a shared pointer to it for as long as they like; they change the
// engine's state only through the engine's requests.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "config/IniSettings.h"
#include "device/DeviceList.h"
#include "engine/ResultTable.h"
#include "engine/StepResults.h"

namespace engine {

// What the engine is doing besides waiting for requests.
struct EngineActivity {
    bool scanning = false;  // a scan thread runs or is due
    bool running = false;   // a run has started and is not evaluated yet
    bool removing = false;  // the safe removal runs
    friend bool operator==(const EngineActivity&, const EngineActivity&) = default;
};

// One position of the current (or last) run.
struct PortView {
    bool taking = false;          // the device at this position takes part
    std::string phase;            // what its worker does now ("update", "done", ...)
    int percent = 0;              // its worker's progress
    int64_t elapsedMs = 0;        // since Start, until its worker finished
    std::string serialWritten;    // the serial number the run writes into it
    std::string firmwareWritten;  // the firmware version the run writes into it
    uint64_t bytesDone = 0;       // bytes moved by its long step (write/read test, preload)
    uint64_t bytesTotal = 0;      // bytes that step moves; 0 when none runs
};

struct EngineSnapshot {
    EngineActivity activity;
    uint8_t runResult = kRunNone;         // of the last evaluated run
    std::string recordFailure;            // why its result log lacks a record; empty when whole
    DeviceList devices;                   // as the last scan or run left it
    int pcieCount = 0;
    RunResults results{};                 // of the last run, per position
    std::array<PortView, MAX_DEVICES> ports{};  // of the current or last run
    TableView table;                      // cells, progress, indicators, counters
    IniSettings settings{};               // the settings the next Start takes
    uint64_t settingsRevision = 0;        // counts every change of `settings` (a front end's or the engine's own)
    uint64_t settingsTicket = 0;          // the ticket of the last front-end change in `settings`
    std::optional<int> exitCode;          // once the engine asked the program to end
    std::string exitReason;               // why, in words, where the code alone does not say
    int resetCount = 0;                   // bridge resets since the last Start
    int relinkProbes = 0;                 // disks probed by relink searches, in the process's life
};

}  // namespace engine
