// NTFS and exFAT on the emulated station's volumes: the system's own tools work
// on a scratch file holding the volume's bytes, which then go back into the
// bridge's disk image (ImageRange.h), so the result is what the tools write on a
// real partition.
#include "log/DebugLog.h"
#include "platform/SystemFormat.h"
#include "platform/ToolProcess.h"
#include "platform/emu/EmuStation.h"
#include "platform/emu/ImageRange.h"

namespace platform {

namespace {

constexpr uint32_t kImageSectorSize = 512;
constexpr uint32_t kSectorsPerTrack = 63;
constexpr uint32_t kHeads = 255;

// Runs a tool; its output goes to the trace when it fails.
bool RunLogged(const std::vector<std::string>& command)
{
    const ToolRun run = RunTool(command);
    if (run.Succeeded()) return true;
    DBG_ERR("%s:%d: %s failed (exit %d): %s", command[0].c_str(), run.exitCode, run.output.c_str());
    if (!run.started) SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

// Runs `command`, which works on `scratch`, on the volume's bytes of `image`.
bool RunOnVolume(const std::filesystem::path& image, const EmuStation::EmuVolume& volume,
                 const std::filesystem::path& scratch, const std::optional<std::vector<std::string>>& command)
{
    if (!command) return SetLastError(ERROR_INVALID_PARAMETER), false;
    SetLastError(ERROR_IO_DEVICE);
    return RunOnImageRange(image, volume.offset, volume.length, scratch,
                           [&](const std::string&) { return RunLogged(*command); });
}

std::filesystem::path ScratchFile(const std::filesystem::path& image) { return image.parent_path() / "volume.scratch"; }

}  // namespace

bool EmuStation::FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem)
{
    return WithVolumeImage(disk, partition, [&](const std::filesystem::path& image, const EmuVolume& volume) {
        const FormatTarget target{ScratchFile(image).string(), true, volume.offset / kImageSectorSize,
                                  kImageSectorSize, kSectorsPerTrack, kHeads};
        return RunOnVolume(image, volume, ScratchFile(image), QuickFormatCommand(fileSystem, target));
    });
}

bool EmuStation::SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label)
{
    ProbedVolume probed;
    if (!ProbeVolume(disk, partition, probed)) return false;
    return WithVolumeImage(disk, partition, [&](const std::filesystem::path& image, const EmuVolume& volume) {
        return RunOnVolume(image, volume, ScratchFile(image),
                           LabelCommand(probed.fileSystem, ScratchFile(image).string(), label));
    });
}

}  // namespace platform
