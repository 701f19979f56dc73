#pragma once
// Copies a folder tree of the station's host onto a bridge's volume: the
// folder structure (empty folders included) and every file byte for byte,
// files through memory in chunks of at most 64 MiB.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "disk/VolumeFileIo.h"
#include "platform/VolumeFiles.h"

namespace disk {

// Largest piece of a file held in memory by CopyFileMem.
constexpr uint64_t kCopyChunkBytes = 0x4000000;

// Summed size in bytes of every file below `folder`; nullopt (with `error`) when
// a folder below it cannot be read. Links are followed to files; a link to a
// folder is refused, as a tree with one may never end.
std::optional<uint64_t> FolderSize(const std::filesystem::path& folder, std::string& error);

class CPreloadCopy {
public:
    // `shownTarget` is the target root as logged ("E:").
    CPreloadCopy(platform::IVolumeFiles& volume, std::string shownTarget, ByteProgress progress);

    // Copies one host file to volume path `target`, replacing it (the first
    // chunk written truncates it).
    bool CopyFileMem(const std::filesystem::path& source, const std::string& target);
    // Writes everything copied to the disk; the copy is done only after it.
    bool Flush();
    // Copies the tree below `source` into volume folder `target` ("" for the
    // root). A folder that cannot be read fails the copy and names itself in
    // Error(), as does the first file that fails.
    bool Dir_Copy(const std::filesystem::path& source, const std::string& target, uint8_t port);
    const std::string& Error() const { return m_strError; }

private:
    std::string Shown(const std::string& target) const;

    platform::IVolumeFiles& m_Volume;
    std::string m_strShownTarget;
    ByteProgress m_Progress;
    std::string m_strError;
};

}  // namespace disk
