#include "emu/Bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "emu/GenerationStamp.h"
#include "emu/NvmeDisk.h"
#include "emu/PdTunnel.h"
#include "emu/TiPdController.h"
#include "emu/Sha256.h"
#include "util/Clock.h"

namespace emu {

namespace fs = std::filesystem;

namespace {
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpConfigRead = 0xE0;
constexpr uint8_t kOpConfigWrite = 0xE1;
constexpr uint8_t kOpFirmwareRead = 0xE2;
constexpr uint8_t kOpFirmwareWrite = 0xE3;
constexpr uint8_t kOpRegisterRead = 0xE4;
constexpr uint8_t kOpRegisterWrite = 0xE5;
constexpr uint8_t kOpReset = 0xE8;
constexpr uint8_t kOpKey = 0xE9;
constexpr uint8_t kOpPowerConfig = 0xC3;
constexpr uint8_t kOpAtaPassThrough12 = 0xA1;
constexpr uint8_t kOpNvmePassThrough = 0xE6;

constexpr uint8_t kAtaStandbyImmediate = 0xE0;
constexpr uint8_t kAtaFlushCache = 0xE7;
constexpr uint8_t kAtaIdentifyDevice = 0xEC;

constexpr uint8_t kBankLower = 0x50;
constexpr uint8_t kBankUpper = 0x51;
constexpr uint8_t kBankLegacy = 0x00;  // the 8306 form of the command: lower bank

std::string FaultKey(uint8_t opcode)
{
    char key[16];
    std::snprintf(key, sizeof key, "fault.%02X", opcode);
    return key;
}

// Image number from a selector byte 0x50 + image (0x00 is the 8306 form, image 0).
bool ImageFromSelector(uint8_t selector, int& image)
{
    if (selector == 0x50 || selector == 0x00) image = 0;
    else if (selector == 0x51) image = 1;
    else return false;
    return true;
}

const char* ImageFile(int image) { return image == 0 ? "spi0.bin" : "spi1.bin"; }
}  // namespace

uint32_t RegisterFileOffset(uint32_t address)
{
    return (address > 0xFFFF ? 0x10000u : 0u) | (address & 0xFFFFu);
}

const char* U4ModeName(U4Mode mode)
{
    switch (mode) {
    case U4Mode::Legacy: return "legacy";
    case U4Mode::Tbt3: return "tbt3";
    case U4Mode::PcieTunnel: return "pcie";
    case U4Mode::Usb3Tunnel: return "usb3";
    }
    return "legacy";
}

bool ParseU4Mode(const std::string& text, U4Mode& mode)
{
    for (U4Mode m : {U4Mode::Legacy, U4Mode::Tbt3, U4Mode::PcieTunnel, U4Mode::Usb3Tunnel})
        if (text == U4ModeName(m)) {
            mode = m;
            return true;
        }
    return false;
}

std::array<uint8_t, kKeySize> StandardKey()
{
    // The initial hash words are what a fresh digest holds before any input;
    // they are the first eight words of the state, read back big-endian.
    static constexpr uint32_t kWords[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<uint8_t, kKeySize> key{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) key[4 * i + j] = static_cast<uint8_t>(kWords[i] >> (24 - 8 * j));
    return key;
}

static std::array<uint8_t, 32> ImageDigest(const std::array<uint8_t, kKeySize>& key, const uint8_t* image,
                                           size_t covered)
{
    Sha256 sha;
    sha.Update(key.data(), key.size());
    sha.Update(image, covered);
    return sha.Final();
}

std::vector<uint8_t> MakeFirmwareImage(const std::array<uint8_t, 6>& version, uint32_t size, uint8_t signature,
                                       const std::array<uint8_t, kKeySize>& key, uint32_t seed)
{
    size = std::max<uint32_t>(size, 0x300);
    std::vector<uint8_t> image(size);
    std::mt19937 random(seed);
    for (auto& byte : image) byte = static_cast<uint8_t>(random());
    std::copy(version.begin(), version.end(), image.begin() + kImageVersionOffset);
    image[size - 6] = signature;
    const size_t covered = size - kImageDigestOffsetFromEnd;
    const auto digest = ImageDigest(key, image.data(), covered);
    std::copy(digest.begin(), digest.end(), image.begin() + static_cast<long>(covered));
    return image;
}

std::array<uint8_t, kConfigTableSize> MakeConfigTable(const UsbIdentity& identity)
{
    std::array<uint8_t, kConfigTableSize> table;
    table.fill(0xFF);
    auto text = [&](size_t at, size_t width, const std::string& value) {
        std::copy_n(value.begin(), std::min(width, value.size()), table.begin() + static_cast<long>(at));
    };
    auto word = [&](size_t at, uint16_t value) {
        table[at] = static_cast<uint8_t>(value);
        table[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    text(4, 20, identity.serial);
    text(24, 36, identity.manufacturer);
    text(68, 32, identity.product);
    word(116, identity.idVendor);
    word(118, identity.idProduct);
    word(120, identity.bcdDevice);
    table[124] = 0x02;
    table[126] = 0x5A;
    uint8_t sum = 0;
    for (size_t i = 4; i <= 126; ++i) sum = static_cast<uint8_t>(sum + table[i]);
    table[127] = sum;
    return table;
}

// --- creation and state ---------------------------------------------------------

Bridge::Bridge(fs::path folder) : m_Folder(std::move(folder))
{
    m_State.Load(File("bridge.ini"));
}

bool Bridge::Create(const fs::path& folder, const BridgeSetup& setup)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return false;
    bool ok = WriteBlob(folder / "registers.bin", std::string(kRegisterFileSize, '\0')) &&
              WriteBlob(folder / "config.bin", std::string(4 * kConfigTableSize, '\0'));
    // Both images carry the same factory firmware; the digest is made for the
    // standard key so that a provisioned bridge verifies its images.
    const uint8_t signature = 0x5A;
    const auto image = MakeFirmwareImage(setup.firmwareVersion, setup.imageSize, signature, StandardKey(),
                                         static_cast<uint32_t>(setup.diskNumber));
    const std::string imageBytes(image.begin(), image.end());
    ok = ok && WriteBlob(folder / "spi0.bin", imageBytes) && WriteBlob(folder / "spi1.bin", imageBytes);
    std::string factory(kFactoryDataSize, '\0');
    std::snprintf(factory.data(), factory.size(), "FACTORY-%04d", setup.diskNumber);
    ok = ok && WriteBlob(folder / "factory.bin", factory);
    if (!ok) return false;

    UsbIdentity identity;
    identity.idVendor = 0x2B9D;
    identity.idProduct = 0x7951;
    identity.bcdDevice = 0x0100;
    char serial[32];
    std::snprintf(serial, sizeof serial, "DV2406%014d", setup.diskNumber);
    identity.serial = setup.serial.empty() ? serial : setup.serial;
    identity.manufacturer = "USB4 Storage";
    identity.product = "NVMe Bridge";
    const auto table = MakeConfigTable(identity);
    if (!WriteBlobRange(folder / "config.bin", 0, table.data(), table.size())) return false;

    Bridge bridge(folder);
    bridge.SetLocation(setup.location);
    bridge.m_State.SetInt("present", 1);
    bridge.m_State.SetInt("disk_number", setup.diskNumber);
    bridge.m_State.SetInt("running_image", 0);
    bridge.WriteRegister(reg::kVariantRevision, setup.variantRevision);
    bridge.WriteRegister(reg::kUsbMode, 0x80);        // UAS
    bridge.SetUsb3Link("plusx2");
    bridge.WriteRegister(reg::kCcOrientation, 0x00);
    bridge.WriteRegister(reg::kSha256Option, 0x00);  // key check supported
    bridge.WriteRegister(reg::kU4SpeedA, 0x10);
    bridge.WriteRegister(reg::kU4SpeedC, 0x01);
    bridge.WriteRegister(reg::kU4SpeedD, 0x02);
    bridge.WriteRegister(reg::kU4SpeedE, 0x02);
    bridge.WriteRegister(reg::kU4ErrorRecovery, 0x00);
    bridge.SetMode(setup.mode);
    bridge.Boot();
    return bridge.Save();
}

bool Bridge::Save() const
{
    const bool saved = m_State.Save(File("bridge.ini"));
    GenerationStamp::For(m_Folder.parent_path())->StateChanged();
    return saved;
}

NvmeDisk Bridge::Disk() const
{
    return NvmeDisk(m_Folder, m_State);
}

U4Mode Bridge::Mode() const
{
    U4Mode mode = U4Mode::Legacy;
    ParseU4Mode(m_State.Get("mode", "legacy"), mode);
    return mode;
}

void Bridge::SetMode(U4Mode mode)
{
    m_State.Set("mode", U4ModeName(mode));
    // Link register: bit 1 = USB4 link, bit 2 = USB3 tunnel.
    // Tunnel register: bit 7 clear = Thunderbolt 3 compatibility mode.
    uint8_t link = 0x00, tunnel = 0x00;
    switch (mode) {
    case U4Mode::Legacy: break;
    case U4Mode::Tbt3: link = 0x02; break;
    case U4Mode::PcieTunnel: link = 0x02, tunnel = 0x80; break;
    case U4Mode::Usb3Tunnel: link = 0x06, tunnel = 0x80; break;
    }
    WriteRegister(reg::kU4Link, link);
    WriteRegister(reg::kU4Tunnel, tunnel);
}

UsbLocation Bridge::Location() const
{
    UsbLocation location;
    location.controller = static_cast<int>(m_State.GetInt("usb_controller", 0));
    location.hub = static_cast<int>(m_State.GetInt("usb_hub", 0));
    location.port = static_cast<int>(m_State.GetInt("usb_port", 1));
    return location;
}

void Bridge::SetLocation(const UsbLocation& location)
{
    m_State.SetInt("usb_controller", location.controller);
    m_State.SetInt("usb_hub", location.hub);
    m_State.SetInt("usb_port", location.port);
}

UsbIdentity Bridge::TableIdentity() const
{
    const auto table = ConfigTable(0, 0);
    uint8_t sum = 0;
    for (size_t i = 4; i <= 126; ++i) sum = static_cast<uint8_t>(sum + table[i]);
    UsbIdentity identity;
    if (table[126] != 0x5A || table[127] != sum) {
        // A bridge without a valid table enumerates with its ROM identity.
        identity.idVendor = 0x2B9D;
        identity.idProduct = 0x7951;
        identity.bcdDevice = 0x0001;
        identity.product = "USB4 Bridge";
        return identity;
    }
    auto text = [&](size_t at, size_t width) {
        std::string value;
        for (size_t i = at; i < at + width && table[i] != 0xFF && table[i] != 0x00; ++i)
            value += static_cast<char>(table[i]);
        return value;
    };
    identity.serial = text(4, 20);
    identity.manufacturer = text(24, 36);
    identity.product = text(68, 32);
    identity.idVendor = static_cast<uint16_t>(table[116] | table[117] << 8);
    identity.idProduct = static_cast<uint16_t>(table[118] | table[119] << 8);
    identity.bcdDevice = static_cast<uint16_t>(table[120] | table[121] << 8);
    return identity;
}

UsbIdentity Bridge::Identity() const
{
    UsbIdentity identity;
    identity.idVendor = static_cast<uint16_t>(m_State.GetInt("usb_vid", 0));
    identity.idProduct = static_cast<uint16_t>(m_State.GetInt("usb_pid", 0));
    identity.bcdDevice = static_cast<uint16_t>(m_State.GetInt("usb_bcd", 0));
    identity.serial = SerialStringOff() ? "" : m_State.Get("usb_serial");
    identity.manufacturer = m_State.Get("usb_manufacturer");
    identity.product = m_State.Get("usb_product");
    return identity;
}

void Bridge::SetCdrom(int number)
{
    m_State.SetInt("cdrom", number >= 0 ? 1 : 0);
    m_State.SetInt("cdrom_number", number);
}

bool Bridge::SetUsb3Link(const std::string& link)
{
    // Connection register: 0 full, 1 high, 2 SuperSpeed; lane register: bit 2
    // SuperSpeed Plus, bit 4 two lanes.
    static const std::map<std::string, std::pair<uint8_t, uint8_t>> kLinks = {
        {"full", {0, 0x00}},     {"high", {1, 0x00}}, {"super", {2, 0x00}},
        {"superx2", {2, 0x10}}, {"plus", {2, 0x04}}, {"plusx2", {2, 0x14}}};
    const auto it = kLinks.find(link);
    if (it == kLinks.end()) return false;
    WriteRegister(reg::kUsbConnection, it->second.first);
    WriteRegister(reg::kUsb3Lanes, it->second.second);
    m_State.Set("usb3_link", link);
    return true;
}

std::string Bridge::ChipId() const
{
    return Mode() == U4Mode::Legacy ? "7951" : "7956";
}

const char* FaultModeWord(FaultMode mode)
{
    switch (mode) {
    case FaultMode::CallFails: return "call";
    case FaultMode::CheckCondition: return "check";
    case FaultMode::NoAnswer: return "hang";
    case FaultMode::Unplug: return "unplug";
    }
    return "";
}

std::optional<FaultMode> FaultModeFromWord(std::string_view word)
{
    for (auto mode : {FaultMode::CallFails, FaultMode::CheckCondition, FaultMode::NoAnswer, FaultMode::Unplug})
        if (word == FaultModeWord(mode)) return mode;
    return std::nullopt;
}

void Bridge::SetFault(uint8_t opcode, FaultMode mode, int count)
{
    if (count <= 0) {
        m_State.Erase(FaultKey(opcode));
        return;
    }
    m_State.Set(FaultKey(opcode), std::string(FaultModeWord(mode)) + " " + std::to_string(count));
}

void Bridge::ClearFaults()
{
    for (const auto& [opcode, fault] : Faults()) m_State.Erase(FaultKey(opcode));
}

std::map<uint8_t, Fault> Bridge::Faults() const
{
    std::map<uint8_t, Fault> faults;
    for (const auto& [key, value] : m_State.Values()) {
        if (key.rfind("fault.", 0) != 0) continue;
        Fault fault;
        char mode[8] = {};
        if (std::sscanf(value.c_str(), "%7s %d", mode, &fault.remaining) != 2) continue;
        const auto known = FaultModeFromWord(mode);
        if (!known) continue;
        fault.mode = *known;
        faults[static_cast<uint8_t>(std::stoul(key.substr(6), nullptr, 16))] = fault;
    }
    return faults;
}

uint8_t Bridge::ReadRegister(uint32_t address) const
{
    uint8_t value = 0;
    ReadBlobRange(File("registers.bin"), RegisterFileOffset(address), &value, 1);
    return value;
}

void Bridge::WriteRegister(uint32_t address, uint8_t value)
{
    WriteBlobRange(File("registers.bin"), RegisterFileOffset(address), &value, 1);
}

std::vector<uint8_t> Bridge::FirmwareImage(int image) const
{
    const std::string bytes = ReadBlob(File(ImageFile(image)));
    return {bytes.begin(), bytes.end()};
}

std::array<uint8_t, kConfigTableSize> Bridge::ConfigTable(int image, int type) const
{
    std::array<uint8_t, kConfigTableSize> table{};
    ReadBlobRange(File("config.bin"), (image * 2 + type) * kConfigTableSize, table.data(), table.size());
    return table;
}

std::string Bridge::ImageVersion(int image) const
{
    const auto bytes = FirmwareImage(image);
    if (bytes.size() < kImageVersionOffset + 6) return "";
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0x204], bytes[0x205], bytes[0x206], bytes[0x207],
                  bytes[0x208], bytes[0x209]);
    return text;
}

void Bridge::Boot()
{
    // The USB identity is taken from the table when the firmware starts; a table
    // rewritten later shows only after the next reset.
    const UsbIdentity identity = TableIdentity();
    m_State.SetInt("usb_vid", identity.idVendor);
    m_State.SetInt("usb_pid", identity.idProduct);
    m_State.SetInt("usb_bcd", identity.bcdDevice);
    m_State.Set("usb_serial", identity.serial);
    m_State.Set("usb_manufacturer", identity.manufacturer);
    m_State.Set("usb_product", identity.product);
    // Boot rule: the ROM starts image 0 when it is valid, else image 1, else it
    // stays in ROM code (running image -1, version register all zero).
    int running = -1;
    for (int image = 0; image < 2 && running < 0; ++image)
        if (ImageValid(image)) running = image;
    m_State.SetInt("running_image", running);
    uint8_t version[7] = {};
    if (running >= 0) {
        const auto bytes = FirmwareImage(running);
        std::copy_n(bytes.begin() + kImageVersionOffset, 6, version);
    }
    for (uint32_t i = 0; i < 7; ++i) WriteRegister(reg::kFirmwareVersion + i, version[i]);
}

bool Bridge::ImageValid(int image) const
{
    // An image is bootable when it is long enough to hold its header and carries
    // one of the sixteen signature bytes at length - 6.
    static constexpr uint8_t kSignatures[16] = {0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F, 0x69, 0x78,
                                                0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0, 0x96, 0x87};
    const auto bytes = FirmwareImage(image);
    if (bytes.size() < 0x300) return false;
    return std::find(std::begin(kSignatures), std::end(kSignatures), bytes[bytes.size() - 6]) != std::end(kSignatures);
}

void Bridge::ReturnToBus(int diskNumber, int cdromNumber)
{
    const std::string fault = ResetFault();
    if (fault == "corrupt") {
        // The flash lost part of image 0: its tail, signature included, reads 0xFF.
        std::string bytes = ReadBlob(File("spi0.bin"));
        if (bytes.size() >= 64) std::fill(bytes.end() - 64, bytes.end(), '\xFF');
        WriteBlob(File("spi0.bin"), bytes);
    }
    SetCdrom(fault == "cdrom" ? cdromNumber : -1);
    SetDiskNumber(diskNumber);
    m_State.Erase("off_bus_reason");
    m_State.Erase("reset_at_ms");
    SetPresent(true);
    Boot();
}

int64_t Bridge::ReturnDueMs() const
{
    if (Present() || m_State.Get("off_bus_reason") != "reset") return -1;
    const std::string fault = ResetFault();
    if (fault == "never") return -1;
    const int64_t delay = fault == "late" ? kLateReturnMs : m_State.GetInt("return_delay_ms", kDefaultReturnDelayMs);
    return m_State.GetInt("reset_at_ms", 0) + delay;
}

// --- command handling -------------------------------------------------------------

bool Bridge::TakeOpcodeFault(uint8_t opcode)
{
    const auto faults = Faults();
    const auto it = faults.find(opcode);
    if (it == faults.end()) return false;
    SetFault(opcode, it->second.mode, it->second.remaining - 1);
    Save();
    return true;
}

bool Bridge::TakeFault(ScsiExchange& exchange)
{
    const auto faults = Faults();
    const auto it = faults.find(exchange.cdb[0]);
    if (it == faults.end()) return false;
    SetFault(exchange.cdb[0], it->second.mode, it->second.remaining - 1);
    if (it->second.mode == FaultMode::NoAnswer) {
        exchange.noAnswer = true;
    } else if (it->second.mode == FaultMode::Unplug) {
        SetPresent(false);
        m_State.Set("off_bus_reason", "unplugged");
        exchange.callFailed = true;
        exchange.callError = 1167;  // the device is not connected
    } else if (it->second.mode == FaultMode::CallFails) {
        exchange.callFailed = true;
        exchange.callError = 1117;  // I/O device error
    } else {
        exchange.CheckCondition(kSenseHardwareError, 0x44);  // internal target failure
    }
    return true;
}

void Bridge::Execute(ScsiExchange& exchange)
{
    exchange.transferred = 0;
    if (TakeFault(exchange)) {
        Save();
        return;
    }
    const uint8_t opcode = exchange.cdb[0];
    const bool vendorSix = opcode >= kOpConfigRead && opcode <= kOpKey && opcode != kOpReset &&
                           opcode != kOpNvmePassThrough;
    if (vendorSix && exchange.cdbLength != 6) {
        exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
        return;
    }
    switch (opcode) {
    case kOpInquiry: Inquiry(exchange); break;
    case kOpRegisterRead: RegisterRead(exchange); break;
    case kOpRegisterWrite: RegisterWrite(exchange); break;
    case kOpConfigRead: ConfigAccess(exchange, false); break;
    case kOpConfigWrite: ConfigAccess(exchange, true); break;
    case kOpFirmwareRead: FirmwareAccess(exchange, false); break;
    case kOpFirmwareWrite: FirmwareAccess(exchange, true); break;
    case kOpReset: ResetOrDisconnect(exchange); break;
    case kOpPowerConfig: PowerConfigWrite(exchange); break;
    case kOpKey: KeyCommand(exchange); break;
    case kOpAtaPassThrough12: AtaPassThrough(exchange); break;
    case kOpNvmePassThrough: Disk().NvmePassThrough(exchange); break;
    case kOpPdTunnel: PdTunnel(m_Folder).Execute(exchange); break;
    case kOpTiPd: TiPdController(m_Folder).Execute(exchange); break;
    default: exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode); break;
    }
}

void FillInquiry(ScsiExchange& exchange, uint8_t peripheralType, const char* vendor, const char* product,
                 const char* revision, const std::string& chipId)
{
    uint8_t data[38] = {};
    data[0] = peripheralType;
    data[1] = peripheralType == 0x05 ? 0x80 : 0x00;  // optical media is removable
    data[2] = 0x06;                                  // SPC-4
    data[3] = 0x02;
    data[4] = 31 + 2;
    auto put = [&](size_t at, const char* text, size_t width) {
        const size_t n = std::strlen(text);
        for (size_t i = 0; i < width; ++i) data[at + i] = i < n ? static_cast<uint8_t>(text[i]) : ' ';
    };
    put(8, vendor, 8);
    put(16, product, 16);
    put(32, revision, 4);
    if (chipId.size() == 4) {  // "7951": byte 37 = 0x79, byte 36 = 0x51
        const unsigned value = static_cast<unsigned>(std::stoul(chipId, nullptr, 16));
        data[36] = static_cast<uint8_t>(value & 0xFF);
        data[37] = static_cast<uint8_t>(value >> 8);
    }
    const uint32_t allocation = exchange.cdb[4];
    const uint32_t n = std::min<uint32_t>({exchange.dataLength, allocation, sizeof data});
    if (exchange.data) std::memcpy(exchange.data, data, n);
    exchange.transferred = n;
}

void Bridge::Inquiry(ScsiExchange& exchange)
{
    if (!exchange.dataIn) return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    if (exchange.cdb[1] & 0x01) {  // vital product data
        if (exchange.cdb[2] != 0xC8) return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
        const uint32_t n = std::min(exchange.dataLength, kFactoryDataSize);
        ReadBlobRange(File("factory.bin"), 0, exchange.data, n);
        exchange.transferred = n;
        return;
    }
    const bool cdrom = m_State.GetInt("cdrom", 0) != 0;
    FillInquiry(exchange, cdrom ? 0x05 : 0x00, "USB4", "NVMe Bridge", "0001", ChipId());
}

void Bridge::RegisterRead(ScsiExchange& exchange)
{
    const uint8_t bank = exchange.cdb[2];
    const uint32_t length = exchange.cdb[1] == 0 ? 256u : exchange.cdb[1];
    if (!exchange.dataIn || exchange.dataLength != length ||
        (bank != kBankLower && bank != kBankUpper && bank != kBankLegacy))
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const uint32_t base = (bank == kBankUpper ? 0x10000u : 0u) | (uint32_t{exchange.cdb[3]} << 8 | exchange.cdb[4]);
    // A read past the end of a bank runs on into the next one; the file wraps.
    const uint32_t first = std::min(length, kRegisterFileSize - base);
    ReadBlobRange(File("registers.bin"), base, exchange.data, first);
    if (first < length) ReadBlobRange(File("registers.bin"), 0, exchange.data + first, length - first);
    exchange.transferred = length;
}

void Bridge::RegisterWrite(ScsiExchange& exchange)
{
    const uint8_t bank = exchange.cdb[2];
    if (exchange.dataLength != 0 || (bank != kBankLower && bank != kBankUpper && bank != kBankLegacy))
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const uint32_t offset = (bank == kBankUpper ? 0x10000u : 0u) | (uint32_t{exchange.cdb[3]} << 8 | exchange.cdb[4]);
    WriteBlobRange(File("registers.bin"), offset, &exchange.cdb[1], 1);
}

void Bridge::ConfigAccess(ScsiExchange& exchange, bool write)
{
    int image = 0;
    const uint8_t type = exchange.cdb[2];
    if (!ImageFromSelector(exchange.cdb[1], image) || type > 1 || exchange.dataLength != kConfigTableSize ||
        exchange.dataIn == write)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const uint32_t offset = (image * 2 + type) * kConfigTableSize;
    if (write) WriteBlobRange(File("config.bin"), offset, exchange.data, kConfigTableSize);
    else ReadBlobRange(File("config.bin"), offset, exchange.data, kConfigTableSize);
    exchange.transferred = kConfigTableSize;
}

void Bridge::FirmwareAccess(ScsiExchange& exchange, bool write)
{
    const uint8_t selector = exchange.cdb[1];
    const uint32_t length = uint32_t{exchange.cdb[2]} << 24 | uint32_t{exchange.cdb[3]} << 16 |
                            uint32_t{exchange.cdb[4]} << 8 | exchange.cdb[5];
    // Selector 0x50 + image: whole image or its first segment; 0xD0 + image: the
    // segment that starts at 65,280.
    const bool segmentOne = (selector & 0x80) != 0;
    int image = 0;
    if (!ImageFromSelector(static_cast<uint8_t>(selector & 0x7F), image) || selector == 0x00 ||
        length != exchange.dataLength || exchange.dataIn == write)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const uint32_t start = segmentOne ? kSegmentOneOffset : 0;
    if (start + length > kFirmwareImageMax) return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const fs::path file = File(ImageFile(image));
    if (write) {
        // A write of the first segment starts a new image; the second segment
        // continues it at 65,280. The flash is written in place, as a flash
        // is: the image ends where the segment ends.
        std::error_code ec;
        if (!fs::exists(file, ec)) WriteBlob(file, "");
        fs::resize_file(file, start, ec);
        if (ec || !WriteBlobRange(file, start, exchange.data, length))
            return exchange.CheckCondition(kSenseHardwareError, 0x0C);  // write error
    } else {
        ReadBlobRange(file, start, exchange.data, length);
    }
    exchange.transferred = length;
}

void Bridge::ResetOrDisconnect(ScsiExchange& exchange)
{
    // The 12-byte form with byte 1 = 1 makes the bridge leave the bus for good;
    // the 6-byte form resets the CPU, after which the bridge re-enumerates.
    const bool disconnect = exchange.cdbLength == 12 && exchange.cdb[1] == 0x01;
    SetPresent(false);
    m_State.Set("off_bus_reason", disconnect ? "disconnect" : "reset");
    m_State.SetInt("reset_at_ms", util::NowMs());
    Save();
}

void Bridge::PowerConfigWrite(ScsiExchange& exchange)
{
    static constexpr uint8_t kExpected[11] = {0xC3, 0x30, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x30, 0x00};
    if (exchange.cdbLength != 11 || std::memcmp(exchange.cdb.data(), kExpected, 11) != 0 || exchange.dataIn ||
        exchange.dataLength != kPowerConfigSize)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    WriteBlob(File("power.bin"), std::string(reinterpret_cast<const char*>(exchange.data), kPowerConfigSize));
    exchange.transferred = kPowerConfigSize;
}

void Bridge::KeyCommand(ScsiExchange& exchange)
{
    if (exchange.cdb[1] == 0x00 && !exchange.dataIn && exchange.dataLength == kKeySize) {
        WriteBlob(File("key.bin"), std::string(reinterpret_cast<const char*>(exchange.data), kKeySize));
        exchange.transferred = kKeySize;
    } else if (exchange.cdb[1] == 0x01 && exchange.dataIn && exchange.dataLength == 1 && exchange.cdb[2] <= 1) {
        exchange.data[0] = VerifyImage(exchange.cdb[2]);
        exchange.transferred = 1;
    } else {
        exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
}

uint8_t Bridge::VerifyImage(int image) const
{
    const std::string keyBytes = ReadBlob(File("key.bin"));
    const auto bytes = FirmwareImage(image);
    if (keyBytes.size() != kKeySize || bytes.size() < kImageVersionOffset + kImageDigestOffsetFromEnd) return 0;
    std::array<uint8_t, kKeySize> key{};
    std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
    const size_t covered = bytes.size() - kImageDigestOffsetFromEnd;
    const auto digest = ImageDigest(key, bytes.data(), covered);
    return std::equal(digest.begin(), digest.end(), bytes.begin() + static_cast<long>(covered)) ? 1 : 0;
}

void Bridge::AtaPassThrough(ScsiExchange& exchange)
{
    const uint8_t command = exchange.cdb[9];
    if (command == kAtaIdentifyDevice) return Disk().AtaIdentifyDevice(exchange);
    if (exchange.cdbLength != 12 || (command != kAtaStandbyImmediate && command != kAtaFlushCache))
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
}

void PlainDisk::Execute(ScsiExchange& exchange)
{
    exchange.transferred = 0;
    if (exchange.cdb[0] == kOpInquiry && exchange.dataIn && !(exchange.cdb[1] & 0x01))
        return FillInquiry(exchange, 0x00, m_Vendor, m_Product, "1.0", "");
    exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode);
}

}  // namespace emu
