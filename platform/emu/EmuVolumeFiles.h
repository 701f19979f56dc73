#pragma once
// Files on an emulated bridge's FAT32 volume, worked through mtools on the
// disk image ("disk.img@@OFFSET"), under the bridge's lock. Files written are
// gathered in a staging folder beside the image, one subfolder per volume
// folder, and stored when a call needs the volume as it is (a read, a delete,
// the free space, Flush) or the stage grows large: one tool run per folder,
// not one per file or per chunk.
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/VolumeFiles.h"

namespace platform {

class EmuVolumeFiles final : public IVolumeFiles {
public:
    // The volume at byte `volumeOffset` of the disk of the bridge kept in
    // `bridgeFolder`, which must stay on disk number `disk`.
    EmuVolumeFiles(std::filesystem::path bridgeFolder, int disk, uint64_t volumeOffset);
    ~EmuVolumeFiles() override;
    EmuVolumeFiles(const EmuVolumeFiles&) = delete;
    EmuVolumeFiles& operator=(const EmuVolumeFiles&) = delete;

    bool MakeDirectory(const std::string& path) override;
    bool WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length) override;
    bool ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read) override;
    bool FileSize(const std::string& path, uint64_t& size) override;
    bool DeleteFile(const std::string& path) override;
    bool Flush() override;
    bool FreeSpace(uint64_t& bytes) override;
    std::string Error() const override { return m_strError; }

private:
    // Runs one mtools command on the volume; false (error set) when it fails.
    bool Tool(const std::string& tool, std::vector<std::string> args, std::string* output = nullptr);
    bool Failed(const std::string& what, uint32_t error);
    // Stores the staged files on the volume.
    bool Commit();
    // Copies a volume file to the read cache (once per path until it changes).
    bool Fetch(const std::string& path);
    // False (error set) when the clusters of the volume file `path` lie on a
    // failing sector range of the disk: its data could not have been moved.
    bool SectorsHold(const std::string& path, bool write);
    void DropReadCache();

    // Limits of the stage before it is stored.
    static constexpr size_t kMaxStagedFiles = 512;
    static constexpr uint64_t kMaxStagedBytes = 256ull << 20;

    std::filesystem::path m_Folder;
    int m_iDisk;
    uint64_t m_ullOffset;
    std::filesystem::path m_StageRoot, m_ReadCache;
    std::map<std::string, std::filesystem::path> m_StageFolders;  // volume folder -> its stage subfolder
    std::set<std::string> m_Staged;                               // volume paths of the staged files
    uint64_t m_ullStagedBytes = 0;
    std::string m_strPending;  // the volume path of the file being written, empty when none
    std::filesystem::path m_PendingStage;
    uint64_t m_ullPendingSize = 0;
    std::string m_strCached;   // the volume path held in the read cache, empty when none
    std::string m_strError;
};

// "::/a/b" for a path relative to the volume's root; empty when it is no volume path.
std::string VolumePathArgument(const std::string& path);

}  // namespace platform
