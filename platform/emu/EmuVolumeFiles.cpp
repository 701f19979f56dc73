#include "platform/emu/EmuVolumeFiles.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <optional>

#include "emu/Bridge.h"
#include "emu/DiskThroughput.h"
#include "emu/NvmeDisk.h"
#include "platform/FileLock.h"
#include "platform/Process.h"
#include "platform/emu/EmuStation.h"
#include "platform/emu/VolumeProbe.h"

namespace platform {

namespace fs = std::filesystem;

namespace {
std::atomic<unsigned> g_NextStage{0};

// Free bytes from mdir's closing line "   103 225 856 bytes free".
bool ParseBytesFree(const std::string& listing, uint64_t& bytes)
{
    const size_t at = listing.rfind(" bytes free");
    if (at == std::string::npos) return false;
    size_t begin = listing.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    std::string digits;
    for (size_t i = begin; i < at; ++i)
        if (std::isdigit(static_cast<unsigned char>(listing[i]))) digits += listing[i];
    if (digits.empty() || digits.size() > 19) return false;
    bytes = std::stoull(digits);
    return true;
}

// The cluster runs of mshowfat's "::/PATH <3-393><400-410>" line.
std::vector<std::pair<uint64_t, uint64_t>> ClusterRuns(const std::string& listing)
{
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    for (size_t open = listing.find('<'); open != std::string::npos; open = listing.find('<', open + 1)) {
        unsigned long long first = 0, last = 0;
        const int n = std::sscanf(listing.c_str() + open, "<%llu-%llu>", &first, &last);
        if (n == 1) last = first;
        if (n >= 1 && last >= first) runs.emplace_back(first, last);
    }
    return runs;
}
}  // namespace

std::string VolumePathArgument(const std::string& path)
{
    return IsVolumePath(path) ? "::/" + path : std::string();
}

EmuVolumeFiles::EmuVolumeFiles(fs::path bridgeFolder, int disk, uint64_t volumeOffset)
    : m_Folder(std::move(bridgeFolder)), m_iDisk(disk), m_ullOffset(volumeOffset)
{
    const std::string stage = "files-" + std::to_string(::getpid()) + "-" + std::to_string(g_NextStage++);
    m_StageRoot = m_Folder / (stage + ".stage");
    m_ReadCache = m_Folder / (stage + ".read");
}

EmuVolumeFiles::~EmuVolumeFiles()
{
    Commit();
    std::error_code ec;
    fs::remove_all(m_StageRoot, ec);
    fs::remove(m_ReadCache, ec);
}

bool EmuVolumeFiles::Failed(const std::string& what, uint32_t error)
{
    m_strError = what;
    SetLastError(error);
    return false;
}

bool EmuVolumeFiles::Tool(const std::string& tool, std::vector<std::string> args, std::string* output)
{
    std::string holder;
    const auto lock = FileLock::Acquire((m_Folder / "lock").string(), true, holder);
    const emu::Bridge bridge(m_Folder);
    if (!bridge.Present() || bridge.DiskNumber() != m_iDisk || bridge.CdromNumber() >= 0)
        return Failed("the bridge's disk is gone", ERROR_DEVICE_NOT_CONNECTED);
    std::vector<std::string> argv{tool, "-i", (m_Folder / "disk.img").string() + "@@" + std::to_string(m_ullOffset)};
    argv.insert(argv.end(), args.begin(), args.end());
    // The image's geometry is the partition's, not a floppy's: skip mtools' check.
    const ProcessResult result = RunProcess(argv, {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null"});
    if (output) *output = result.output;
    if (result.exitCode != 0) {
        std::string text = result.output;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return Failed(tool + " failed" + (text.empty() ? "" : ": " + text), ERROR_IO_DEVICE);
    }
    return true;
}

bool EmuVolumeFiles::SectorsHold(const std::string& path, bool write)
{
    const auto throughput = emu::DiskThroughput::Of(emu::Bridge(m_Folder));
    if (!throughput.HasFailingRanges()) return true;
    const emu::NvmeDisk disk(m_Folder);
    uint8_t boot[512];
    const auto map = disk.Read(m_ullOffset, boot, sizeof boot)
                         ? Fat32GeometryOf(boot, m_ullOffset, disk.SizeBytes() - std::min(disk.SizeBytes(), m_ullOffset))
                         : std::nullopt;
    if (!map) return true;  // no FAT32 boot sector: nothing says where the file lies
    std::string listing;
    if (!Tool("mshowfat", {VolumePathArgument(path)}, &listing)) return false;
    for (const auto& [first, last] : ClusterRuns(listing))
        if (first >= 2 && throughput.Fails(map->ClusterOffset(first), (last - first + 1) * map->ClusterBytes()))
            return Failed(std::string(write ? "writing " : "reading ") + path + " touched failing sectors of the disk",
                          ERROR_IO_DEVICE);
    return true;
}

bool EmuVolumeFiles::Commit()
{
    if (m_Staged.empty()) return true;
    DropReadCache();
    bool stored = true;
    // One tool run per folder: every staged file of the folder goes in at once.
    for (const auto& [parent, stage] : m_StageFolders) {
        std::vector<std::string> args{"-o", "-m"};
        std::error_code ec;
        for (fs::directory_iterator it(stage, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            args.push_back(it->path().string());
        args.push_back(parent.empty() ? "::/" : VolumePathArgument(parent) + "/");
        if (stored && args.size() > 3) stored = Tool("mcopy", args);
    }
    // The files landed where mtools put them: a failing range there fails the write.
    for (const auto& path : m_Staged)
        if (stored) stored = SectorsHold(path, true);
    m_Staged.clear();
    m_StageFolders.clear();
    m_strPending.clear();
    m_ullStagedBytes = 0;
    std::error_code ec;
    fs::remove_all(m_StageRoot, ec);
    return stored;
}

void EmuVolumeFiles::DropReadCache()
{
    m_strCached.clear();
    std::error_code ec;
    fs::remove(m_ReadCache, ec);
}

bool EmuVolumeFiles::MakeDirectory(const std::string& path)
{
    const std::string arg = VolumePathArgument(path);
    if (arg.empty()) return Failed("bad folder name '" + path + "'", ERROR_INVALID_NAME);
    // Staged files go into folders made before them: only a file of that very
    // name must be stored first.
    if (m_Staged.count(path) && !Commit()) return false;
    if (Tool("mmd", {arg})) return true;
    const std::string failure = m_strError;
    // An existing folder is fine; anything else is the mmd failure.
    std::string listing;
    if (Tool("mdir", {"-b", arg + "/."}, &listing)) return true;
    return Failed(failure, ERROR_PATH_NOT_FOUND);
}

bool EmuVolumeFiles::WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length)
{
    if (VolumePathArgument(path).empty()) return Failed("bad file name '" + path + "'", ERROR_INVALID_NAME);
    if (offset == 0) {
        if ((m_Staged.count(path) || m_Staged.size() >= kMaxStagedFiles || m_ullStagedBytes >= kMaxStagedBytes) &&
            !Commit())
            return false;
        const size_t slash = path.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
        auto folder = m_StageFolders.find(parent);
        if (folder == m_StageFolders.end())
            folder = m_StageFolders.emplace(parent, m_StageRoot / std::to_string(m_StageFolders.size())).first;
        std::error_code ec;
        fs::create_directories(folder->second, ec);
        m_PendingStage = folder->second / path.substr(slash == std::string::npos ? 0 : slash + 1);
        m_strPending = path;
        m_ullPendingSize = 0;
        m_Staged.insert(path);
    } else if (path != m_strPending || offset != m_ullPendingSize) {
        return Failed("write to " + path + " at an offset that does not follow the data written", ERROR_INVALID_PARAMETER);
    }
    std::ofstream stage(m_PendingStage, offset == 0 ? std::ios::binary | std::ios::trunc : std::ios::binary | std::ios::app);
    std::vector<uint8_t> chunk(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    const emu::Bridge bridge(m_Folder);
    const auto throughput = emu::DiskThroughput::Of(bridge);
    throughput.Damage(chunk.data(), chunk.size());
    stage.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    stage.close();
    if (!stage) return Failed("the staging file of " + path + " cannot be written", ERROR_DISK_FULL);
    m_ullPendingSize += length;
    m_ullStagedBytes += length;
    throughput.Delay(true, m_ullOffset, length);
    return true;
}

bool EmuVolumeFiles::Fetch(const std::string& path)
{
    const std::string arg = VolumePathArgument(path);
    if (arg.empty()) return Failed("bad file name '" + path + "'", ERROR_INVALID_NAME);
    if (!Commit()) return false;
    if (m_strCached == path) return true;
    DropReadCache();
    if (!Tool("mcopy", {"-o", "-n", arg, m_ReadCache.string()})) return Failed(m_strError, ERROR_FILE_NOT_FOUND);
    if (!SectorsHold(path, false)) return false;
    m_strCached = path;
    return true;
}

bool EmuVolumeFiles::ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read)
{
    read = 0;
    if (!Fetch(path)) return false;
    std::ifstream file(m_ReadCache, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(data), static_cast<std::streamsize>(length));
    read = static_cast<uint64_t>(file.gcount());
    if (file.bad()) return Failed("the read cache of " + path + " cannot be read", ERROR_IO_DEVICE);
    emu::DiskThroughput::Of(emu::Bridge(m_Folder)).Delay(false, m_ullOffset, read);
    return true;
}

bool EmuVolumeFiles::FileSize(const std::string& path, uint64_t& size)
{
    if (!Fetch(path)) return false;
    std::error_code ec;
    size = fs::file_size(m_ReadCache, ec);
    return !ec || Failed("the read cache of " + path + " is gone", ERROR_IO_DEVICE);
}

bool EmuVolumeFiles::DeleteFile(const std::string& path)
{
    const std::string arg = VolumePathArgument(path);
    if (arg.empty()) return Failed("bad file name '" + path + "'", ERROR_INVALID_NAME);
    if (!Commit()) return false;
    if (m_strCached == path) DropReadCache();
    std::string output;
    if (Tool("mdel", {arg}, &output)) return true;
    // A file that is not there is as deleted as it gets.
    return output.find("not found") != std::string::npos;
}

bool EmuVolumeFiles::Flush()
{
    return Commit();
}

bool EmuVolumeFiles::FreeSpace(uint64_t& bytes)
{
    if (!Commit()) return false;
    std::string listing;
    if (!Tool("mdir", {"::/"}, &listing)) return false;
    return ParseBytesFree(listing, bytes) || Failed("mdir told no free space", ERROR_IO_DEVICE);
}

std::unique_ptr<IVolumeFiles> EmuStation::OpenVolumeFiles(uint32_t disk, uint32_t partition, std::string& error)
{
    const std::string name = "partition " + std::to_string(partition) + " of disk " + std::to_string(disk);
    const auto volume = FindVolume(disk, partition);
    if (!volume) {
        error = "no volume on " + name;
        return nullptr;
    }
    if (!volume->bridgeId) {
        error = name + " is the system volume";
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ProbedVolume probed;
    if (!ProbeVolume(disk, partition, probed)) {
        error = name + " has no file system the emulated station knows";
        return nullptr;
    }
    if (probed.fileSystem != "FAT32") {
        error = probed.fileSystem + " files on " + name + " are not supported on the emulated station";
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return std::make_unique<EmuVolumeFiles>(m_World.BridgeFolder(*volume->bridgeId), volume->disk, volume->offset);
}

}  // namespace platform
