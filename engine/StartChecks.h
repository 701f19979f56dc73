#pragma once
// The checks of the Start button, in their fixed order, and the preparation of a
// run: serial-number length and digits, reload and PD-type rules, descriptor
// formats, USB4 field lengths, the limitation table, test items, dual image,
// test file, paths, device selection with the chip/firmware match, the firmware
// file check, and each taking-part device's configuration tables.
#include <string>

#include "config/LimitationTable.h"
#include "engine/RunContext.h"
#include "engine/RunObserver.h"

namespace engine {

// Outcome of pressing Start.
enum class StartOutcome { kStarted, kRefused, kNothingToRun };

struct StartDecision {
    StartOutcome outcome = StartOutcome::kRefused;
    int exitCode = 0;  // the command line's exit code of a refusal
    RunContext run;    // filled when the run may start
    std::string reason;  // of a refusal that shows no operator message
};

struct StartInput {
    IniSettings& settings;  // the serial number is padded into it
    std::string& snText;    // the serial-number edit: padded, or cleared by a refusal
    const std::string& storedSerial;  // the serial number the settings file holds as far as known
    DeviceList& devices;    // taking-part devices get their configuration tables
    int pcieCount;
    const CLimitationTable& limitation;
    RunObserver* observer;  // operator messages in interactive use
    bool interactive;
};

// Runs the checks; with kStarted the tables are composed and `run` is ready but
// for the key support (which asks a bridge) and the remove seconds.
StartDecision DecideStart(const StartInput& in);

}  // namespace engine
