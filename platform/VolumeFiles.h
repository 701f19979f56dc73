#pragma once
// Files on one bridge's volume, as the host side sees them: folders and files
// addressed by paths relative to the volume's root ("/" separated, no leading
// separator). A station hands one out for a drive letter; it never reaches
// outside that volume. Failures are return values with the station's last
// error set and a text for the operator in Error().
#include <cstdint>
#include <string>

namespace platform {

class IVolumeFiles {
public:
    virtual ~IVolumeFiles() = default;

    // Creates a folder whose parent exists; true when it already exists.
    virtual bool MakeDirectory(const std::string& path) = 0;
    // Writes `length` bytes at `offset` of a file; offset 0 creates or truncates
    // the file, a later offset must equal the bytes written so far (files are
    // written front to back in chunks).
    virtual bool WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length) = 0;
    // Reads `length` bytes at `offset`; `read` receives the bytes read (fewer at
    // the end of the file).
    virtual bool ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read) = 0;
    // Size of a file; false when there is none.
    virtual bool FileSize(const std::string& path, uint64_t& size) = 0;
    // Deletes a file; true when there was none.
    virtual bool DeleteFile(const std::string& path) = 0;
    // Writes everything still buffered for the volume to the disk.
    virtual bool Flush() = 0;
    // Free bytes on the volume.
    virtual bool FreeSpace(uint64_t& bytes) = 0;
    // What the last failing call could not do, for the trace and the operator.
    virtual std::string Error() const = 0;
};

// Whether `path` names something inside a volume: not empty, relative, and
// without empty, "." or ".." components, so it never leads out of the volume.
bool IsVolumePath(const std::string& path);

}  // namespace platform
