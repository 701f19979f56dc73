#pragma once
// Change counters of an emulated station, shared by every process that opens the
// station: a small file "generation" in the station folder, mapped into memory.
// A writer bumps a counter after it changed a file; a reader that remembers the
// count it last saw knows without reading any file whether its copy is still
// current. One counter covers the world's state (station.ini and every
// bridge.ini), the other the contents of the disks (what volumes they carry).
#include <cstdint>
#include <filesystem>
#include <memory>

#include "util/SharedFileMapping.h"

namespace emu {

class GenerationStamp {
public:
    // The stamp of the station kept in `stationFolder`, shared by every user in
    // this process.
    static std::shared_ptr<GenerationStamp> For(const std::filesystem::path& stationFolder);

    explicit GenerationStamp(const std::filesystem::path& stationFolder);
    GenerationStamp(const GenerationStamp&) = delete;
    GenerationStamp& operator=(const GenerationStamp&) = delete;

    uint64_t State() const { return Read(kState); }
    uint64_t Disks() const { return Read(kDisks); }
    void StateChanged() { Bump(kState); }
    void DisksChanged() { Bump(kDisks); }

private:
    enum Counter { kState = 0, kDisks = 1 };
    uint64_t Read(Counter counter) const;
    void Bump(Counter counter);

    util::SharedFileMapping m_Mapping;
    uint64_t* m_Counters = nullptr;  // two counters in the shared mapping
    // Without a mapping (a folder that cannot hold the file) every read gives a
    // new value, so that readers always go back to the files.
    mutable uint64_t m_Unshared[2] = {0, 0};
};

}  // namespace emu
