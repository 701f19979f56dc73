#pragma once
// Shared by the libFuzzer targets: a quiet process (no trace, operator
// messages swallowed) and a scratch file of this process for parsers that read
// from a path.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace fuzzsupport {

class SilentSink : public IProgramMessageSink {
public:
    int ShowMessageBox(const std::string&, const char*, int, unsigned) override { return 1; }
};

inline void Quiet()
{
    static SilentSink sink;
    devlog::SetDebugLevel(0);
    CUSBUtility::Instance().SetMessageSink(&sink);
}

// A folder of this process under the system's temporary folder.
inline const std::filesystem::path& ScratchFolder()
{
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("deveda-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// Writes `size` bytes to `name` in the scratch folder; returns its path.
inline std::string WriteScratch(const std::string& name, const uint8_t* data, size_t size)
{
    const std::string path = (ScratchFolder() / name).string();
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        if (size > 0) std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    return path;
}

}  // namespace fuzzsupport
