#include "log/DebugLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "util/USBUtility.h"

namespace devlog {

std::atomic<int> g_DebugLevel{0};

namespace {
constexpr size_t kLineSize = 4096;

// Guarded by the print lock.
FILE* g_TraceFile = nullptr;
char g_FormatBuffer[kLineSize];

void Emit(const char* line)
{
    FILE* out = g_TraceFile ? g_TraceFile : stderr;
    std::fputs(line, out);
    std::fflush(out);
}

void PrintLine(Level level, const char* prefix, const char* format, va_list args)
{
    if (!Enabled(level)) return;
    std::lock_guard lock(CUSBUtility::Instance().m_PrintCriticalSection);
    char line[kLineSize];
    std::snprintf(line, sizeof line, "%s", prefix);
    std::vsnprintf(g_FormatBuffer, sizeof g_FormatBuffer, format, args);
    std::strncat(line, g_FormatBuffer, sizeof line - std::strlen(line) - 1);
    Emit(line);
}
}  // namespace

bool SetTraceFile(const std::string& path)
{
    std::lock_guard lock(CUSBUtility::Instance().m_PrintCriticalSection);
    if (g_TraceFile) std::fclose(g_TraceFile);
    g_TraceFile = nullptr;
    if (path.empty()) return true;
    g_TraceFile = std::fopen(path.c_str(), "a");
    return g_TraceFile != nullptr;
}

std::string QualifiedName(std::string_view pretty)
{
    // The parameter list starts at the first '(' that is not part of "operator()".
    size_t open = pretty.find('(');
    if (open == std::string_view::npos) return std::string(pretty);
    if (open >= 8 && pretty.substr(open - 8, 8) == "operator" && pretty.substr(open, 2) == "()")
        open = pretty.find('(', open + 2);
    // The name starts after the last blank outside template brackets.
    int depth = 0;
    size_t start = 0;
    for (size_t i = open; i-- > 0;) {
        const char c = pretty[i];
        if (c == '>') ++depth;
        else if (c == '<') --depth;
        else if (c == ' ' && depth == 0) {
            start = i + 1;
            break;
        }
    }
    std::string name(pretty.substr(start, open - start));
    // Anonymous namespaces say nothing about where a line comes from.
    constexpr std::string_view kAnonymous = "{anonymous}::";
    for (size_t at; (at = name.find(kAnonymous)) != std::string::npos;) name.erase(at, kAnonymous.size());
    return name;
}

#define DEVEDA_DEFINE_PRINTER(name, level, prefix)   \
    void name(const char* format, ...)                \
    {                                                 \
        va_list args;                                 \
        va_start(args, format);                       \
        PrintLine(level, prefix, format, args);       \
        va_end(args);                                 \
    }

DEVEDA_DEFINE_PRINTER(PrintMessage, kMessage, "\r\nMSG::")
DEVEDA_DEFINE_PRINTER(PrintWarning, kWarning, "\r\nWRN::")
DEVEDA_DEFINE_PRINTER(PrintError, kError, "\r\nERR::")
#undef DEVEDA_DEFINE_PRINTER

void OutputDebugString(const char* text)
{
    if (GetDebugLevel() <= 0) return;  // no trace asked for: the debugger output stays quiet
    std::lock_guard lock(CUSBUtility::Instance().m_PrintCriticalSection);
    Emit(text);
}

}  // namespace devlog
