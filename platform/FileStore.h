#pragma once
// Whole-file stores that survive a crash or a power cut: the text goes to a
// temporary file beside the target, is forced to the disk, renamed over the
// target, and the folder entry is forced to the disk too. A reader sees the old
// file or the new one, never a mix, never an empty file.
#include <string>
#include <string_view>

namespace platform {

// The temporary file a store of `path` writes first.
std::string StoreTempPath(const std::string& path);

// Stores `data` as the whole content of `path`. False with `error` (the failed
// step and the system's reason) when any step fails; the temporary file is then
// removed and the target is left as it was.
bool StoreFileDurably(const std::string& path, std::string_view data, std::string& error);

// Removes the temporary file a store of `path` left behind when it was cut short.
// True when there was one (and it is gone).
bool RemoveLeftoverStore(const std::string& path);

}  // namespace platform
