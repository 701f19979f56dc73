#pragma once
// Debug trace with three levels. Every line follows the "%s:%d: " convention: the
// qualified method name and the source line come first, filled in by the macros
// below, so call sites keep the exact trace formats:
//
//     DBG_ERR("%s:%d: SCSI_CMD: (status = Fail) hDev:%x", hDev);
//
// With the level below a macro's threshold the call costs one comparison: the
// arguments are not even evaluated.
#include <atomic>
#include <string>
#include <string_view>

namespace devlog {

enum Level : int { kError = 1, kWarning = 2, kMessage = 3 };

// Process-wide debug level, 0 at start (nothing printed).
extern std::atomic<int> g_DebugLevel;
inline void SetDebugLevel(int level) { g_DebugLevel.store(level, std::memory_order_relaxed); }
inline int GetDebugLevel() { return g_DebugLevel.load(std::memory_order_relaxed); }
inline bool Enabled(Level level) { return GetDebugLevel() >= level; }

// Sends trace lines to a file (appended) instead of standard error; an empty path
// returns to standard error. Returns false when the file cannot be opened.
bool SetTraceFile(const std::string& path);

// "int CBrvtUSBDev::SCSI_CMD(void*, ...)" -> "CBrvtUSBDev::SCSI_CMD".
std::string QualifiedName(std::string_view prettyFunction);

void PrintMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Raw text to the debugger output, without prefix, whenever a trace is on (level
// above 0); the transport's "DeviceIoControl success after retry" note is
// written this way.
void OutputDebugString(const char* text);

}  // namespace devlog

#define DEVEDA_TRACE_(level, printer, fmt, ...)                                                        \
    do {                                                                                               \
        if (::devlog::Enabled(level))                                                                  \
            printer(fmt, ::devlog::QualifiedName(__PRETTY_FUNCTION__).c_str(), __LINE__ __VA_OPT__(, ) \
                        __VA_ARGS__);                                                                  \
    } while (0)

#define DBG_MSG(fmt, ...) DEVEDA_TRACE_(::devlog::kMessage, ::devlog::PrintMessage, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DBG_WRN(fmt, ...) DEVEDA_TRACE_(::devlog::kWarning, ::devlog::PrintWarning, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DBG_ERR(fmt, ...) DEVEDA_TRACE_(::devlog::kError, ::devlog::PrintError, fmt __VA_OPT__(, ) __VA_ARGS__)
