#pragma once
// Files of a mounted volume, worked through the file system at its mount point.
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/VolumeFiles.h"

namespace platform {

class MountedVolumeFiles final : public IVolumeFiles {
public:
    explicit MountedVolumeFiles(std::filesystem::path mountPoint) : m_Root(std::move(mountPoint)) {}

    bool MakeDirectory(const std::string& path) override;
    bool WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length) override;
    bool ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read) override;
    bool FileSize(const std::string& path, uint64_t& size) override;
    bool DeleteFile(const std::string& path) override;
    // Flushes every file written through this view, then the whole file system.
    bool Flush() override;
    bool FreeSpace(uint64_t& bytes) override;
    std::string Error() const override { return m_strError; }

private:
    bool Failed(const std::string& what, uint32_t error);
    // The full path of a volume path; empty (error set) when it is none.
    std::filesystem::path Resolve(const std::string& path);

    std::filesystem::path m_Root;
    std::string m_strError;
};

}  // namespace platform
