#pragma once
// Whole-file reads and writes on a bridge's volume, with the checks and trace
// texts of the tool's own file helpers: a file larger than the buffer or a
// short read fails the read; a short write or a size that does not read back
// fails the write. Bytes are moved in pieces so progress can be reported.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/VolumeFiles.h"

namespace disk {

// Bytes moved so far by a long operation, reported after every piece.
using ByteProgress = std::function<void(uint64_t bytes)>;

// Piece size of whole-file transfers.
constexpr uint64_t kFilePieceBytes = 8ull << 20;

// `shownPath` is the path as logged ("E:\rwtest.bin"); `path` the volume path.
bool VolumeReadFile(platform::IVolumeFiles& volume, const std::string& path, const std::string& shownPath,
                    uint8_t* buffer, uint32_t size, const ByteProgress& progress);
bool VolumeWriteFile(platform::IVolumeFiles& volume, const std::string& path, const std::string& shownPath,
                     const uint8_t* buffer, uint32_t size, const ByteProgress& progress);

}  // namespace disk
