#pragma once
// A tool that only works on a whole device or file (mkfs.ntfs, exfatlabel, ...)
// run on one byte range of a disk image: the range is copied into a scratch file,
// the tool works on that file, and the range is copied back. Copies follow the
// data extents of both files, so a sparse image stays sparse and no byte outside
// what the tool wrote changes.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace platform {

// Runs `tool` on `scratch` holding bytes [offset, offset + length) of `image`.
// The range is written back only when the tool succeeds; the scratch file is
// removed in every case. False (nothing written back) when the image cannot be
// read, the range leaves it, the scratch file cannot be made or the tool fails.
bool RunOnImageRange(const std::filesystem::path& image, uint64_t offset, uint64_t length,
                     const std::filesystem::path& scratch, const std::function<bool(const std::string& file)>& tool);

}  // namespace platform
