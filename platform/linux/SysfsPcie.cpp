#include "platform/linux/SysfsPcie.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform::linuxst {

namespace fs = std::filesystem;

namespace {
constexpr int kBarCount = 6;
constexpr size_t kHeaderBytes = 12;  // IDs, command, status, revision and class

// A folder of sys/bus/pci/devices named as a function, with its segment.
bool FolderLocation(const fs::path& folder, PcieLocation& location)
{
    const std::string name = folder.filename().string();
    return name.size() == 12 && ParsePcieLocation(name, location);
}

// A function's config file, read and written with positioned calls. Without a
// file (the function is not there) it reads all ones and ignores writes.
class ConfigFile final : public IPcieRegion {
public:
    explicit ConfigFile(int fd) : m_Fd(fd) {}
    ~ConfigFile() override
    {
        if (m_Fd >= 0) ::close(m_Fd);
    }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    uint64_t Size() const override { return kPcieConfigSpaceSize; }
    bool Read(uint64_t offset, uint32_t size, uint32_t& value) override
    {
        if (!PcieAccessFits(offset, size, Size())) return false;
        if (m_Fd < 0) {
            value = size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
            return true;
        }
        uint8_t bytes[4] = {};
        if (::pread(m_Fd, bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) return false;
        value = 0;
        for (uint32_t i = 0; i < size; ++i) value |= uint32_t{bytes[i]} << (8 * i);
        return true;
    }
    bool Write(uint64_t offset, uint32_t size, uint32_t value) override
    {
        if (!PcieAccessFits(offset, size, Size())) return false;
        if (m_Fd < 0) return true;
        uint8_t bytes[4];
        for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        return ::pwrite(m_Fd, bytes, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    }

private:
    const int m_Fd;
};

// A mapped resource file: device registers, reached with single aligned loads
// and stores of the access size.
class MappedBar final : public IPcieRegion {
public:
    MappedBar(void* base, uint64_t size, bool writable) : m_Base(static_cast<uint8_t*>(base)), m_Size(size), m_Writable(writable) {}
    ~MappedBar() override { ::munmap(m_Base, m_Size); }
    MappedBar(const MappedBar&) = delete;
    MappedBar& operator=(const MappedBar&) = delete;

    uint64_t Size() const override { return m_Size; }
    bool Read(uint64_t offset, uint32_t size, uint32_t& value) override
    {
        if (!Fits(offset, size)) return false;
        const volatile uint8_t* at = m_Base + offset;
        switch (size) {
        case 1: value = *at; break;
        case 2: value = *reinterpret_cast<const volatile uint16_t*>(at); break;
        default: value = *reinterpret_cast<const volatile uint32_t*>(at); break;
        }
        return true;
    }
    bool Write(uint64_t offset, uint32_t size, uint32_t value) override
    {
        if (!m_Writable || !Fits(offset, size)) return false;
        volatile uint8_t* at = m_Base + offset;
        switch (size) {
        case 1: *at = static_cast<uint8_t>(value); break;
        case 2: *reinterpret_cast<volatile uint16_t*>(at) = static_cast<uint16_t>(value); break;
        default: *reinterpret_cast<volatile uint32_t*>(at) = value; break;
        }
        return true;
    }

private:
    bool Fits(uint64_t offset, uint32_t size) const { return PcieAccessFits(offset, size, m_Size) && offset % size == 0; }

    uint8_t* const m_Base;
    const uint64_t m_Size;
    const bool m_Writable;
};
}  // namespace

bool SysfsPcie::Available() const
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_Root / "sys/bus/pci/devices", ec)) {
        PcieLocation location;
        if (FolderLocation(entry.path(), location)) return true;
    }
    return false;
}

fs::path SysfsPcie::FunctionFolder(const PcieLocation& location) const
{
    return m_Root / "sys/bus/pci/devices" / PcieLocationText(location);
}

std::vector<PcieFunction> SysfsPcie::Functions() const
{
    std::vector<PcieFunction> functions;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_Root / "sys/bus/pci/devices", ec)) {
        PcieFunction function;
        if (!FolderLocation(entry.path(), function.location)) continue;
        uint8_t header[kHeaderBytes];
        const int fd = ::open((entry.path() / "config").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const bool read = ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
        ::close(fd);
        if (!read) continue;
        function.vendorId = static_cast<uint16_t>(header[0] | header[1] << 8);
        function.deviceId = static_cast<uint16_t>(header[2] | header[3] << 8);
        function.classCode = uint32_t{header[9]} | uint32_t{header[10]} << 8 | uint32_t{header[11]} << 16;
        functions.push_back(function);
    }
    std::sort(functions.begin(), functions.end(),
              [](const PcieFunction& a, const PcieFunction& b) { return a.location < b.location; });
    return functions;
}

std::unique_ptr<IPcieRegion> SysfsPcie::OpenConfig(const PcieLocation& location) const
{
    if (!Available()) return nullptr;
    const fs::path config = FunctionFolder(location) / "config";
    int fd = ::open(config.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) fd = ::open(config.c_str(), O_RDONLY | O_CLOEXEC);
    return std::make_unique<ConfigFile>(fd);
}

std::unique_ptr<IPcieRegion> SysfsPcie::MapBar(const PcieLocation& location, int bar) const
{
    if (bar < 0 || bar >= kBarCount) return nullptr;
    const fs::path resource = FunctionFolder(location) / ("resource" + std::to_string(bar));
    bool writable = true;
    int fd = ::open(resource.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        writable = false;
        fd = ::open(resource.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) return nullptr;
    struct stat status {};
    void* base = MAP_FAILED;
    if (::fstat(fd, &status) == 0 && status.st_size > 0)
        base = ::mmap(nullptr, static_cast<size_t>(status.st_size), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                      MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the resource
    if (base == MAP_FAILED) return nullptr;
    return std::make_unique<MappedBar>(base, static_cast<uint64_t>(status.st_size), writable);
}

}  // namespace platform::linuxst
