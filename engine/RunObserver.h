#pragma once
// What the engine tells its front end. The engine never touches a window: every
// change the operator can see (result cells, progress, PASS/FAIL indicators,
// counters, which controls may be used, messages, the end of the program) is one
// call on this interface. The Qt main window and the headless terminal display
// both implement it.
//
// Every call comes from the engine's own thread (CMPEngine), one at a time, in the
// order the changes were made, and never while an engine lock is held. An
// implementation may read the engine's snapshot or post requests from inside a
// call, but must not wait for the engine thread there (it is the caller):
// a window forwards the calls to its own thread without blocking, except for
// OnOperatorMessage, whose answer the engine thread waits for.
#include <cstdint>
#include <string>

namespace engine {

// A colour as red, green, blue.
struct Rgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Background and text colour of one result cell.
struct CellColours {
    Rgb background;
    Rgb text;
    friend bool operator==(const CellColours&, const CellColours&) = default;
};

// Which setting controls the operator may use.
enum class ControlSet : uint8_t {
    kDisabled = 0,  // a run or a safe removal is going on: every setting control locked
    kNormal = 1,    // normal operation (what is editable further depends on the unlock state)
    kAutoMode = 2,  // MP auto mode
};

class RunObserver {
public:
    virtual ~RunObserver() = default;

    // One result cell changed: its text, the colour mode the engine asked for and
    // the colours that mode resolves to (the mode table and the PASS/FAIL texts
    // already applied). Rows 0..15, columns 0..18; nothing outside that range is
    // ever sent.
    virtual void OnCellChanged(int row, int column, const std::string& text, int colourMode,
                               CellColours colours) = 0;

    // Progress bar position, always 0..100 (the bar's range is fixed at 0 to 100,
    // step 1).
    virtual void OnProgressPosition(int position) = 0;
    // Progress bar colour.
    virtual void OnProgressBarColour(Rgb colour) = 0;
    // Percentage text beside the bar ("0%", "%3d %%").
    virtual void OnProgressText(const std::string& text) = 0;

    // Visibility of the PASS and the FAIL indicator.
    virtual void OnResultIndicators(bool showPass, bool showFail) = 0;

    // The three counters; each field shows its value as a decimal number.
    virtual void OnCountersChanged(uint32_t passCount, uint32_t failCount, uint32_t totalCount) = 0;

    // Which set of setting controls is enabled.
    virtual void OnControlsEnabled(ControlSet set) = 0;
    // The Start button alone (a scan disables it while it runs).
    virtual void OnStartEnabled(bool enabled) = 0;

    // An operator message of a ProgramMessageKind (util/USBUtility.h) in
    // interactive use; returns the operator's answer (message-box result).
    virtual int OnOperatorMessage(const std::string& text, int kind) = 0;

    // The engine asks the program to end with this exit code (command-line runs).
    virtual void OnExitRequest(int exitCode) = 0;

    // An operator message of a command-line run, written to "ProgramMSG.txt"; a
    // headless front end shows it too, so the reason is on the operator's screen.
    virtual void OnMessageWritten(const std::string& /*text*/, int /*kind*/) {}

    // Start refused a run for a reason the operator gets no message about (a
    // missing file or folder, no step switched on, a descriptor format): the
    // cause in words, for the screen.
    virtual void OnStartRefused(const std::string& /*reason*/) {}

    // Safely Remove has ended: `removed` drives were stopped and may be unplugged,
    // `failed` could not be stopped (their ports are listed in the trace).
    virtual void OnDrivesRemoved(int /*removed*/, int /*failed*/) {}

    // A step of a port failed: the row, the step's column and the cause in words.
    virtual void OnStepFailed(int /*row*/, int /*column*/, const std::string& /*reason*/) {}

    // The run's record could not be kept (the result log could not be written):
    // the file and the cause in words. The run has failed for it.
    virtual void OnRecordFailed(const std::string& /*reason*/) {}

    // Serial numbers come from a barcode and a scan found `deviceCount` bridges:
    // the front end asks the operator for the serial number and, when given,
    // starts the run with it.
    virtual void OnSerialNumberEntryWanted(uint32_t /*deviceCount*/) {}
};

// Shows an operator message the way the tool's current mode wants it: through the
// observer while the window is in interactive use, as a line of "ProgramMSG.txt"
// (CUSBUtility::ShowProgramMessage) when the tool runs from the command line.
// Without an observer an interactive message goes to CUSBUtility's sink. A message
// written to the file is also shown to the observer's OnMessageWritten.
// Returns the operator's answer, 0 for a message written to the file.
int ShowOperatorMessage(RunObserver* observer, bool interactive, const std::string& text, int kind);

// What the front ends say when Safely Remove ends: "Safely Remove: 4 drives
// stopped, you may unplug them", and how many could not be stopped.
std::string DrivesRemovedText(int removed, int failed);

}  // namespace engine
