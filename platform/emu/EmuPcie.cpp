// The emulated station's PCIe configuration space, physical-memory driver and
// MCFG table (layout in EmuPcie.h).
#include "platform/emu/EmuPcie.h"

#include <algorithm>
#include <cstring>

#include "platform/emu/EmuStation.h"
#include "util/Clock.h"

namespace platform {

namespace {
constexpr uint16_t kMakerVendor = 0x2C7A;
constexpr uint16_t kOtherVendor = 0x1ABC;
constexpr uint32_t kClassHostBridge = 0x060000;
constexpr uint32_t kClassPciBridge = 0x060400;
constexpr uint32_t kClassNvme = 0x010802;
constexpr uint8_t kPortEndpoint = 0, kPortRoot = 4, kPortUpstream = 5, kPortDownstream = 6;
constexpr uint8_t kCapabilityOffset = 0x40;
constexpr uint8_t kCapabilityPcie = 0x10;
constexpr size_t kRingJournalLimit = 4096;
constexpr uint32_t kMcfgEntryOffset = 44;

uint16_t ChipIdValue(const std::string& chipId)
{
    try {
        return static_cast<uint16_t>(std::stoul(chipId, nullptr, 16));
    } catch (...) {
        return 0;
    }
}
}  // namespace

EmuPcie::EmuPcie(EmuStation& station) : m_Station(station) {}

int EmuPcie::BridgeBus(int bridgeId)
{
    if (bridgeId < 1 || bridgeId > kMaxPcieBridgeId) return -1;
    return kFirstBridgeBus + 4 * (bridgeId - 1);
}

bool EmuPcie::LoadDriver()
{
    std::lock_guard lock(m_Lock);
    m_DriverLoaded = m_DriverAvailable;
    return m_DriverLoaded;
}

void EmuPcie::UnloadDriver()
{
    std::lock_guard lock(m_Lock);
    m_DriverLoaded = false;
    m_Windows.clear();  // unloading the driver drops every mapping
}

void EmuPcie::SetDriverAvailable(bool available)
{
    std::lock_guard lock(m_Lock);
    m_DriverAvailable = available;
}

void EmuPcie::SetMcfgAvailable(bool available)
{
    std::lock_guard lock(m_Lock);
    m_McfgAvailable = available;
}

bool EmuPcie::DriverLoaded() const
{
    std::lock_guard lock(m_Lock);
    return m_DriverLoaded;
}

size_t EmuPcie::MappedWindows() const
{
    std::lock_guard lock(m_Lock);
    return m_Windows.size();
}

std::vector<EmuMailboxRing> EmuPcie::Rings() const
{
    std::lock_guard lock(m_Lock);
    return m_Rings;
}

void EmuPcie::ClearRings()
{
    std::lock_guard lock(m_Lock);
    m_Rings.clear();
}

bool EmuPcie::AcpiTable(const std::string& signature, std::vector<uint8_t>& table) const
{
    {
        std::lock_guard lock(m_Lock);
        if (signature != "MCFG" || !m_McfgAvailable) return false;
    }
    table.assign(kMcfgEntryOffset + 16, 0);
    std::memcpy(table.data(), "MCFG", 4);
    const uint32_t length = static_cast<uint32_t>(table.size());
    std::memcpy(table.data() + 4, &length, 4);
    table[8] = 1;  // revision
    std::memcpy(table.data() + 10, "DEVEDA", 6);
    std::memcpy(table.data() + 16, "EMUSTATN", 8);
    const uint64_t base = kEcamBase;
    std::memcpy(table.data() + kMcfgEntryOffset, &base, 8);
    table[kMcfgEntryOffset + 10] = 0;             // start bus
    table[kMcfgEntryOffset + 11] = kEcamLastBus;  // end bus
    uint8_t sum = 0;
    for (uint8_t byte : table) sum = static_cast<uint8_t>(sum + byte);
    table[9] = static_cast<uint8_t>(-sum);  // the bytes of the table add up to 0
    return true;
}

EmuPcie::Function EmuPcie::Resolve(int bus, int device, int function) const
{
    Function f;
    auto fixed = [&](uint16_t vendor, uint16_t deviceId, uint32_t classCode, uint8_t headerType, bool caps,
                     uint8_t portType, uint16_t chipId) {
        f.present = true;
        f.vendor = vendor, f.device = deviceId, f.classCode = classCode, f.headerType = headerType;
        f.capabilities = caps, f.portType = portType, f.chipId = chipId;
    };
    if (device == 0 && function == 0) {
        switch (bus) {
        case 0: fixed(kOtherVendor, 0x0100, kClassHostBridge, 0x00, false, 0, 0); return f;
        case 1: fixed(kOtherVendor, 0x7953, kClassPciBridge, 0x01, true, kPortUpstream, 0x7956); return f;
        case 2: fixed(kMakerVendor, 0x7951, kClassPciBridge, 0x01, true, kPortUpstream, 0x7957); return f;
        case 3: fixed(kMakerVendor, 0x7952, kClassNvme, 0x00, true, kPortEndpoint, 0x7956); return f;
        case 4: fixed(kMakerVendor, 0x7953, kClassPciBridge, 0x01, false, kPortUpstream, 0x7956); return f;
        case 5: fixed(kOtherVendor, 0x5000, kClassNvme, 0x00, true, kPortEndpoint, 0); return f;
        case 6: fixed(kMakerVendor, 0x7900, kClassPciBridge, 0x01, true, kPortUpstream, 0x7956); return f;
        default: break;
        }
    }
    if (bus == 0 && device == 1 && function <= 1) {
        fixed(kOtherVendor, static_cast<uint16_t>(0x0101 + function), kClassPciBridge,
              function == 0 ? 0x81 : 0x01, true, kPortRoot, 0);
        return f;
    }
    if (bus < kFirstBridgeBus || bus > kEcamLastBus || device != 0 || function != 0) return f;
    const int bridgeId = (bus - kFirstBridgeBus) / 4 + 1;
    const int role = (bus - kFirstBridgeBus) % 4;
    const auto ids = m_Station.World().BridgeIds();
    if (role == 3 || std::find(ids.begin(), ids.end(), bridgeId) == ids.end()) return f;
    const emu::Bridge bridge(m_Station.World().BridgeFolder(bridgeId));
    if (!emu::PcieFunctionPresent(bridge, util::NowMs())) return f;
    if (role == 0) {
        const uint8_t variant = (bridge.ReadRegister(emu::reg::kVariantRevision) >> 4) & 0x07;
        fixed(kMakerVendor, static_cast<uint16_t>(0x7951 + variant % 5), kClassPciBridge, 0x01, true, kPortUpstream,
              ChipIdValue(bridge.ChipId()));
        f.bridgeId = bridgeId;
    } else if (role == 1) {
        fixed(kMakerVendor, 0x7950, kClassPciBridge, 0x01, true, kPortDownstream, 0);
    } else {
        fixed(kOtherVendor, 0x5001, kClassNvme, 0x00, true, kPortEndpoint, 0);
    }
    return f;
}

uintptr_t EmuPcie::Map(uint64_t physicalAddress, uint32_t size)
{
    {
        std::lock_guard lock(m_Lock);
        if (!m_DriverLoaded || size == 0 || size > kWindowSize || (physicalAddress & (kWindowSize - 1)) != 0)
            return 0;
    }
    Window window;
    window.physical = physicalAddress;
    const uint64_t ecamEnd = kEcamBase + (uint64_t{kEcamLastBus} + 1) * 256 * kWindowSize;
    if (physicalAddress >= kEcamBase && physicalAddress < ecamEnd) {
        const uint64_t index = (physicalAddress - kEcamBase) / kWindowSize;  // bus * 256 + device * 8 + function
        window.ecam = true;
        window.function = Resolve(static_cast<int>(index >> 8), static_cast<int>((index >> 3) & 0x1F),
                                  static_cast<int>(index & 7));
    }
    std::lock_guard lock(m_Lock);
    if (!m_DriverLoaded) return 0;
    const uintptr_t linear = m_NextLinear;
    m_NextLinear += kWindowSize;
    m_Windows[linear] = window;
    return linear;
}

void EmuPcie::Unmap(uintptr_t linearAddress, uint32_t)
{
    std::lock_guard lock(m_Lock);
    m_Windows.erase(linearAddress);
}

bool EmuPcie::FindWindow(uintptr_t linear, uint32_t size, Window& window, uint32_t& offset) const
{
    if (size != 1 && size != 2 && size != 4) return false;
    std::lock_guard lock(m_Lock);
    auto it = m_Windows.upper_bound(linear);
    if (it == m_Windows.begin()) return false;
    --it;
    offset = static_cast<uint32_t>(linear - it->first);
    if (uint64_t{offset} + size > kWindowSize) return false;
    window = it->second;
    return true;
}

bool EmuPcie::BridgeOnline(int bridgeId) const
{
    std::lock_guard lock(m_Lock);
    const auto it = m_OfflineUntil.find(bridgeId);
    return it == m_OfflineUntil.end() || util::NowMs() >= it->second;
}

EmuPcie::Slot& EmuPcie::MailboxSlot(int bridgeId, uint16_t chipId)
{
    std::lock_guard lock(m_Lock);
    auto& slot = m_Slots[bridgeId];
    if (!slot) {
        slot = std::make_unique<Slot>();
        slot->mailbox = emu::PcieMailbox(chipId);
    }
    return *slot;
}

uint8_t EmuPcie::ReadByte(const Window& window, uint32_t offset)
{
    const Function& f = window.function;
    if (!window.ecam || !f.present) return 0xFF;
    if (f.bridgeId && !BridgeOnline(f.bridgeId)) return 0xFF;
    if (offset >= emu::kMailboxBase && offset < emu::kMailboxEnd) {
        if (f.bridgeId) {
            Slot& slot = MailboxSlot(f.bridgeId, f.chipId);
            std::lock_guard lock(slot.lock);
            return slot.mailbox.Read(offset);
        }
        if (f.chipId && offset == emu::kMailboxChipId) return static_cast<uint8_t>(f.chipId);
        if (f.chipId && offset == emu::kMailboxChipId + 1) return static_cast<uint8_t>(f.chipId >> 8);
        return 0;
    }
    auto word = [&](uint32_t at, uint16_t value) -> int {
        if (offset == at) return value & 0xFF;
        if (offset == at + 1) return value >> 8;
        return -1;
    };
    int byte;
    if ((byte = word(0x00, f.vendor)) >= 0) return static_cast<uint8_t>(byte);
    if ((byte = word(0x02, f.device)) >= 0) return static_cast<uint8_t>(byte);
    if ((byte = word(0x04, 0x0006)) >= 0) return static_cast<uint8_t>(byte);  // memory and bus master on
    if ((byte = word(0x06, f.capabilities ? 0x0010 : 0x0000)) >= 0) return static_cast<uint8_t>(byte);
    switch (offset) {
    case 0x08: return 0x01;  // revision
    case 0x09: return static_cast<uint8_t>(f.classCode);
    case 0x0A: return static_cast<uint8_t>(f.classCode >> 8);
    case 0x0B: return static_cast<uint8_t>(f.classCode >> 16);
    case 0x0E: return f.headerType;
    case 0x34: return f.capabilities ? kCapabilityOffset : 0x00;
    default: break;
    }
    if (f.capabilities) {
        if (offset == kCapabilityOffset) return kCapabilityPcie;
        if (offset == kCapabilityOffset + 1) return 0x00;  // end of the list
        if (offset == kCapabilityOffset + 2) return static_cast<uint8_t>(0x02 | (f.portType << 4));  // version 2
        if (offset == kCapabilityOffset + 3) return 0x00;
    }
    return 0x00;
}

void EmuPcie::WriteByte(const Window& window, uint32_t offset, uint8_t value)
{
    const Function& f = window.function;
    if (!window.ecam || !f.present || !f.bridgeId) return;  // headers of the model are read-only
    if (offset < emu::kMailboxBase || offset >= emu::kMailboxEnd || !BridgeOnline(f.bridgeId)) return;
    Slot& slot = MailboxSlot(f.bridgeId, f.chipId);
    // One ring at a time per bridge: the slot's lock is held while the bridge
    // carries out the command.
    std::lock_guard lock(slot.lock);
    if (!slot.mailbox.Write(offset, value)) return;
    {
        std::lock_guard journal(m_Lock);
        m_Rings.push_back({f.bridgeId, slot.mailbox.Command()});
        if (m_Rings.size() > kRingJournalLimit) m_Rings.erase(m_Rings.begin());
    }
    const int64_t now = util::NowMs();
    emu::PcieMailbox::Outcome outcome = emu::PcieMailbox::Outcome::kNoAnswer;
    int64_t relinkMs = 0;
    const bool reached = m_Station.ModifyBridge(f.bridgeId, [&](emu::Bridge& bridge) {
        if (!emu::PcieFunctionPresent(bridge, now)) return;  // left the bus since the window was mapped
        outcome = slot.mailbox.Ring(bridge, now);
        relinkMs = emu::PcieRelinkDelayMs(bridge);
    });
    if (reached && outcome == emu::PcieMailbox::Outcome::kReset) {
        std::lock_guard offline(m_Lock);
        m_OfflineUntil[f.bridgeId] = now + relinkMs;
    }
}

int EmuPcie::Read(uintptr_t linearAddress, uint32_t size, uint32_t* value)
{
    Window window;
    uint32_t offset = 0;
    if (!value || !FindWindow(linearAddress, size, window, offset)) return 1;
    uint32_t result = 0;
    for (uint32_t i = 0; i < size; ++i) result |= uint32_t{ReadByte(window, offset + i)} << (8 * i);
    *value = result;
    return 0;
}

int EmuPcie::Write(uintptr_t linearAddress, uint32_t size, uint32_t value)
{
    Window window;
    uint32_t offset = 0;
    if (!FindWindow(linearAddress, size, window, offset)) return 1;
    for (uint32_t i = 0; i < size; ++i) WriteByte(window, offset + i, static_cast<uint8_t>(value >> (8 * i)));
    return 0;
}

}  // namespace platform
