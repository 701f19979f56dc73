#include "platform/linux/SysfsTree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace platform::linuxst {

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kEnglishUs = 0x0409;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3;

// The first line of a sysfs attribute, without surrounding blanks; nullopt when absent.
std::optional<std::string> ReadAttribute(const fs::path& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    const size_t first = line.find_first_not_of(" \t");
    const size_t last = line.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

uint64_t ReadNumber(const fs::path& path, int base, uint64_t fallback = 0)
{
    const auto text = ReadAttribute(path);
    if (!text || text->empty()) return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text->c_str(), &end, base);
    return end && *end == '\0' ? value : fallback;
}

// " 3.20" -> 0x0320.
uint16_t BcdOfVersion(const std::string& text)
{
    unsigned major = 0, minor = 0;
    if (std::sscanf(text.c_str(), "%u.%x", &major, &minor) != 2) return 0;
    return static_cast<uint16_t>((major / 10 % 10) << 12 | (major % 10) << 8 | (minor & 0xFF));
}

// "2-2.3" -> parent "2-2", port 3; "2-1" -> parent "usb2", port 1.
void ParentOf(const std::string& name, int bus, std::string& parent, int& port)
{
    const size_t cut = name.find_last_of("-.");
    port = std::atoi(name.c_str() + cut + 1);
    parent = name[cut] == '-' ? "usb" + std::to_string(bus) : name.substr(0, cut);
}

bool IsUsbDeviceName(const std::string& name)
{
    static const std::regex kDevice(R"(usb\d+|\d+-\d+(\.\d+)*)");
    return std::regex_match(name, kDevice);
}

// Undoes the octal escapes of mountinfo ("\040" is a blank).
std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::vector<UsbNode> SysfsTree::UsbNodes() const
{
    std::vector<UsbNode> nodes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Under("sys/bus/usb/devices"), ec)) {
        const std::string name = entry.path().filename().string();
        if (!IsUsbDeviceName(name)) continue;
        const fs::path d = entry.path();
        UsbNode node;
        node.name = name;
        node.bus = static_cast<int>(ReadNumber(d / "busnum", 10));
        if (name.rfind("usb", 0) != 0) ParentOf(name, node.bus, node.parent, node.port);
        node.deviceClass = static_cast<uint8_t>(ReadNumber(d / "bDeviceClass", 16));
        node.deviceSubClass = static_cast<uint8_t>(ReadNumber(d / "bDeviceSubClass", 16));
        node.deviceProtocol = static_cast<uint8_t>(ReadNumber(d / "bDeviceProtocol", 16));
        node.maxPacketSize0 = static_cast<uint8_t>(ReadNumber(d / "bMaxPacketSize0", 10));
        node.numConfigurations = static_cast<uint8_t>(ReadNumber(d / "bNumConfigurations", 10));
        node.isHub = node.deviceClass == 0x09;
        node.portCount = static_cast<int>(ReadNumber(d / "maxchild", 10));
        node.bcdUSB = BcdOfVersion(ReadAttribute(d / "version").value_or(""));
        node.idVendor = static_cast<uint16_t>(ReadNumber(d / "idVendor", 16));
        node.idProduct = static_cast<uint16_t>(ReadNumber(d / "idProduct", 16));
        node.bcdDevice = static_cast<uint16_t>(ReadNumber(d / "bcdDevice", 16));
        node.manufacturer = ReadAttribute(d / "manufacturer").value_or("");
        node.product = ReadAttribute(d / "product").value_or("");
        node.serial = ReadAttribute(d / "serial").value_or("");
        node.iManufacturer = node.manufacturer.empty() ? 0 : kManufacturerIndex;
        node.iProduct = node.product.empty() ? 0 : kProductIndex;
        node.iSerialNumber = node.serial.empty() ? 0 : kSerialIndex;
        node.languages = {kEnglishUs};
        node.speedMbps = static_cast<int>(ReadNumber(d / "speed", 10));
        node.driver = fs::read_symlink(d / (name + ":1.0") / "driver", ec).filename().string();
        if (node.parent.empty()) node.controller = fs::canonical(d, ec).parent_path().filename().string();
        nodes.push_back(std::move(node));
    }
    std::sort(nodes.begin(), nodes.end(), [](const UsbNode& a, const UsbNode& b) {
        const bool rootA = a.parent.empty(), rootB = b.parent.empty();
        if (rootA != rootB) return rootA;
        if (a.bus != b.bus) return a.bus < b.bus;
        return a.name < b.name;
    });
    return nodes;
}

std::vector<BlockDisk> SysfsTree::Disks() const
{
    std::vector<BlockDisk> disks;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Under("sys/block"), ec)) {
        BlockDisk disk;
        disk.name = entry.path().filename().string();
        const fs::path block = fs::canonical(entry.path(), ec);
        // Loop, RAM and device-mapper disks are the system's own, never a drive.
        if (ec || block.string().find("/devices/virtual/") != std::string::npos) continue;
        const fs::path device = block.parent_path().parent_path();  // .../H:C:T:L
        // The USB device is the last path component named like one, before its interface.
        for (const auto& part : block) {
            const std::string text = part.string();
            if (IsUsbDeviceName(text) && text.rfind("usb", 0) != 0) disk.usbDevice = text;
        }
        const std::string path = block.string();
        disk.bus = !disk.usbDevice.empty()                    ? DiskBus::kUsb
                   : disk.name.rfind("nvme", 0) == 0          ? DiskBus::kNvme
                   : path.find("/ata") != std::string::npos ? DiskBus::kSata
                                                              : DiskBus::kScsi;
        disk.vendor = ReadAttribute(device / "vendor").value_or("");
        disk.model = ReadAttribute(device / "model").value_or("");
        disk.revision = ReadAttribute(device / "rev").value_or("");
        disk.sectorSize = static_cast<uint32_t>(ReadNumber(block / "queue/logical_block_size", 10, 512));
        disk.sizeBytes = ReadNumber(block / "size", 10) * 512;  // the block layer counts 512-byte units
        for (const auto& sg : fs::directory_iterator(device / "scsi_generic", ec)) disk.sgName = sg.path().filename().string();
        if (auto number = ReadAttribute(block / "dev")) disk.deviceNumbers.push_back(*number);
        for (const auto& part : fs::directory_iterator(block, ec))
            if (fs::exists(part.path() / "partition"))
                if (auto number = ReadAttribute(part.path() / "dev")) disk.deviceNumbers.push_back(*number);
        disks.push_back(std::move(disk));
    }
    std::sort(disks.begin(), disks.end(), [](const BlockDisk& a, const BlockDisk& b) { return a.name < b.name; });
    return disks;
}

std::vector<BlockPartition> SysfsTree::Partitions(const BlockDisk& disk) const
{
    std::vector<BlockPartition> partitions;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Under("sys/block/" + disk.name), ec)) {
        const fs::path d = entry.path();
        const uint64_t number = ReadNumber(d / "partition", 10);
        if (number == 0 || number > 0xFFFF) continue;
        BlockPartition partition;
        partition.name = d.filename().string();
        partition.path = Under("dev/" + partition.name).string();
        partition.number = static_cast<uint32_t>(number);
        partition.deviceNumber = ReadAttribute(d / "dev").value_or("");
        // The block layer counts 512-byte units whatever the sector size.
        partition.startBytes = ReadNumber(d / "start", 10) * 512;
        partition.lengthBytes = ReadNumber(d / "size", 10) * 512;
        partition.sectorSize = disk.sectorSize;
        partitions.push_back(std::move(partition));
    }
    std::sort(partitions.begin(), partitions.end(),
              [](const BlockPartition& a, const BlockPartition& b) { return a.number < b.number; });
    return partitions;
}

std::vector<MountEntry> SysfsTree::Mounts() const
{
    std::ifstream in(Under("proc/self/mountinfo"));
    std::stringstream text;
    text << in.rdbuf();
    return ParseMountInfo(text.str());
}

std::vector<MountEntry> ParseMountInfo(const std::string& text)
{
    std::vector<MountEntry> mounts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, number, root, mountPoint, options, field;
        if (!(fields >> id >> parent >> number >> root >> mountPoint >> options)) continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        if (field != "-" || !(fields >> type) || number.find(':') == std::string::npos) continue;
        fields >> source;
        mounts.push_back({number, Unescape(mountPoint), type, Unescape(source)});
    }
    return mounts;
}

bool IsSystemMountPoint(const std::string& mountPoint)
{
    static const char* const kSystemPaths[] = {"/boot", "/usr", "/var", "/etc", "/home", "/opt", "/srv", "/root",
                                               "/snap", "/nix"};
    if (mountPoint == "/") return true;
    for (const char* path : kSystemPaths) {
        const std::string prefix(path);
        if (mountPoint == prefix || mountPoint.rfind(prefix + "/", 0) == 0) return true;
    }
    return false;
}

std::string LinuxRoot()
{
    const char* root = std::getenv("DEVEDA_LINUX_ROOT");
    return root && *root ? root : "/";
}

}  // namespace platform::linuxst
