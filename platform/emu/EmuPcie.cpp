// The emulated station's PCIe functions, their configuration space and the
// NVMe controllers' BARs (layout in EmuPcie.h).
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
constexpr int kBridgeRoles = 3;  // upstream port, downstream port, NVMe drive

// NVMe controller registers of the BARs: capabilities (up to 1024 entries per
// queue, contiguous queues, 10 s ready time-out, NVM command set) and version 1.4.
constexpr uint64_t kNvmeCapabilities = 0x00000020'140103FFull;
constexpr uint32_t kNvmeVersion = 0x00010400;

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

void EmuPcie::SetReachable(bool reachable)
{
    std::lock_guard lock(m_Lock);
    m_Reachable = reachable;
}

bool EmuPcie::Reachable() const
{
    std::lock_guard lock(m_Lock);
    return m_Reachable;
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

EmuPcie::Function EmuPcie::FixedFunction(const PcieLocation& location)
{
    Function f;
    auto fixed = [&](uint16_t vendor, uint16_t deviceId, uint32_t classCode, uint8_t headerType, bool caps,
                     uint8_t portType, uint16_t chipId) {
        f.present = true;
        f.vendor = vendor, f.device = deviceId, f.classCode = classCode, f.headerType = headerType;
        f.capabilities = caps, f.portType = portType, f.chipId = chipId;
    };
    if (location.segment != 0) return f;
    const int bus = location.bus, device = location.device, function = location.function;
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
    if (bus == 0 && device == 1 && function <= 1)
        fixed(kOtherVendor, static_cast<uint16_t>(0x0101 + function), kClassPciBridge,
              function == 0 ? 0x81 : 0x01, true, kPortRoot, 0);
    return f;
}

EmuPcie::Function EmuPcie::BridgeFunction(const emu::Bridge& bridge, int bridgeId, int role)
{
    Function f;
    f.present = true;
    f.capabilities = true;
    if (role == 0) {
        const uint8_t variant = (bridge.ReadRegister(emu::reg::kVariantRevision) >> 4) & 0x07;
        f.vendor = kMakerVendor, f.device = static_cast<uint16_t>(0x7951 + variant % 5);
        f.classCode = kClassPciBridge, f.headerType = 0x01, f.portType = kPortUpstream;
        f.chipId = ChipIdValue(bridge.ChipId());
        f.bridgeId = bridgeId;
    } else if (role == 1) {
        f.vendor = kMakerVendor, f.device = 0x7950;
        f.classCode = kClassPciBridge, f.headerType = 0x01, f.portType = kPortDownstream;
    } else {
        f.vendor = kOtherVendor, f.device = 0x5001;
        f.classCode = kClassNvme, f.headerType = 0x00, f.portType = kPortEndpoint;
    }
    return f;
}

EmuPcie::Function EmuPcie::Resolve(const PcieLocation& location) const
{
    const int bus = location.bus;
    if (location.segment != 0 || bus < kFirstBridgeBus || location.device != 0 || location.function != 0)
        return FixedFunction(location);
    const int bridgeId = (bus - kFirstBridgeBus) / 4 + 1;
    const int role = (bus - kFirstBridgeBus) % 4;
    const auto ids = m_Station.World().BridgeIds();
    if (role >= kBridgeRoles || bridgeId > kMaxPcieBridgeId ||
        std::find(ids.begin(), ids.end(), bridgeId) == ids.end())
        return {};
    const emu::Bridge bridge(m_Station.World().BridgeFolder(bridgeId));
    if (!emu::PcieFunctionPresent(bridge, util::NowMs())) return {};
    return BridgeFunction(bridge, bridgeId, role);
}

std::vector<PcieFunction> EmuPcie::Functions() const
{
    if (!Reachable()) return {};
    std::vector<PcieFunction> functions;
    auto add = [&](const PcieLocation& location, const Function& f) {
        if (f.present) functions.push_back({location, f.vendor, f.device, f.classCode});
    };
    for (int bus = 0; bus < kFirstBridgeBus; ++bus)
        for (int device = 0; device < 2; ++device)
            for (int function = 0; function < 2; ++function) {
                const PcieLocation location{0, static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
                                            static_cast<uint8_t>(function)};
                add(location, FixedFunction(location));
            }
    const int64_t now = util::NowMs();
    for (int bridgeId : m_Station.World().BridgeIds()) {
        if (BridgeBus(bridgeId) < 0) continue;
        const emu::Bridge bridge(m_Station.World().BridgeFolder(bridgeId));
        if (!emu::PcieFunctionPresent(bridge, now)) continue;
        for (int role = 0; role < kBridgeRoles; ++role)
            add({0, static_cast<uint8_t>(BridgeBus(bridgeId) + role), 0, 0}, BridgeFunction(bridge, bridgeId, role));
    }
    std::sort(functions.begin(), functions.end(),
              [](const PcieFunction& a, const PcieFunction& b) { return a.location < b.location; });
    return functions;
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

uint8_t EmuPcie::ReadByte(const Function& f, uint32_t offset)
{
    if (!f.present) return 0xFF;
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

void EmuPcie::WriteByte(const Function& f, uint32_t offset, uint8_t value)
{
    if (!f.present || !f.bridgeId) return;  // headers of the model are read-only
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
        if (!emu::PcieFunctionPresent(bridge, now)) return;  // left the bus since its space was opened
        outcome = slot.mailbox.Ring(bridge, now);
        relinkMs = emu::PcieRelinkDelayMs(bridge);
    });
    if (reached && outcome == emu::PcieMailbox::Outcome::kReset) {
        std::lock_guard offline(m_Lock);
        m_OfflineUntil[f.bridgeId] = now + relinkMs;
    }
}

// The configuration space of one function as it was when opened, a byte at a time.
class EmuPcie::ConfigRegion final : public IPcieRegion {
public:
    ConfigRegion(EmuPcie& pcie, const Function& function) : m_Pcie(pcie), m_Function(function) {}
    uint64_t Size() const override { return kPcieConfigSpaceSize; }
    bool Read(uint64_t offset, uint32_t size, uint32_t& value) override
    {
        if (!PcieAccessFits(offset, size, kPcieConfigSpaceSize)) return false;
        value = 0;
        for (uint32_t i = 0; i < size; ++i)
            value |= uint32_t{m_Pcie.ReadByte(m_Function, static_cast<uint32_t>(offset) + i)} << (8 * i);
        return true;
    }
    bool Write(uint64_t offset, uint32_t size, uint32_t value) override
    {
        if (!PcieAccessFits(offset, size, kPcieConfigSpaceSize)) return false;
        for (uint32_t i = 0; i < size; ++i)
            m_Pcie.WriteByte(m_Function, static_cast<uint32_t>(offset) + i, static_cast<uint8_t>(value >> (8 * i)));
        return true;
    }

private:
    EmuPcie& m_Pcie;
    const Function m_Function;
};

namespace {
// BAR 0 of an NVMe controller: its capabilities and version, read-only.
class NvmeBarRegion final : public IPcieRegion {
public:
    uint64_t Size() const override { return EmuPcie::kNvmeBarSize; }
    bool Read(uint64_t offset, uint32_t size, uint32_t& value) override
    {
        if (!PcieAccessFits(offset, size, Size()) || offset % size != 0) return false;
        value = 0;
        for (uint32_t i = 0; i < size; ++i) value |= uint32_t{RegisterByte(offset + i)} << (8 * i);
        return true;
    }
    bool Write(uint64_t offset, uint32_t size, uint32_t) override
    {
        return PcieAccessFits(offset, size, Size()) && offset % size == 0;
    }

private:
    static uint8_t RegisterByte(uint64_t offset)
    {
        if (offset < 8) return static_cast<uint8_t>(kNvmeCapabilities >> (8 * offset));
        if (offset < 12) return static_cast<uint8_t>(kNvmeVersion >> (8 * (offset - 8)));
        return 0;
    }
};
}  // namespace

std::unique_ptr<IPcieRegion> EmuPcie::OpenConfig(const PcieLocation& location)
{
    if (!Reachable()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return std::make_unique<ConfigRegion>(*this, Resolve(location));
}

std::unique_ptr<IPcieRegion> EmuPcie::MapBar(const PcieLocation& location, int bar)
{
    const Function f = Reachable() ? Resolve(location) : Function{};
    if (!f.present || f.classCode != kClassNvme || f.headerType != 0x00 || bar != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return std::make_unique<NvmeBarRegion>();
}

}  // namespace platform
