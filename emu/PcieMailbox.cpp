#include "emu/PcieMailbox.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace emu {

namespace {
constexpr uint8_t kOpConfigRead = 0xE0;
constexpr uint8_t kOpConfigWrite = 0xE1;
constexpr uint8_t kOpFirmwareRead = 0xE2;
constexpr uint8_t kOpFirmwareWrite = 0xE3;
constexpr uint8_t kOpRegisterRead = 0xE4;
constexpr uint8_t kOpRegisterWrite = 0xE5;
constexpr uint8_t kOpReset = 0xE8;

int64_t ParseInt(const std::string& text, int64_t fallback)
{
    try {
        return text.empty() ? fallback : std::stoll(text);
    } catch (...) {
        return fallback;
    }
}
}  // namespace

int64_t PcieRelinkDelayMs(const Bridge& bridge)
{
    return std::max<int64_t>(0, ParseInt(bridge.Get(kKeyPcieRelinkMs), kDefaultPcieRelinkMs));
}

bool PcieFunctionPresent(const Bridge& bridge, int64_t nowMs)
{
    if (!bridge.Present() || bridge.Mode() != U4Mode::PcieTunnel) return false;
    const int64_t until = ParseInt(bridge.Get(kKeyPcieOfflineUntil), 0);
    return !(nowMs < until && until - nowMs <= PcieRelinkDelayMs(bridge));
}

PcieMailbox::PcieMailbox(uint16_t chipId) : m_ChipId(chipId) {}

void PcieMailbox::Clear()
{
    m_Space.fill(0);
    m_Progress = 0;
    m_Ran = false;
    m_Data.clear();
}

uint8_t PcieMailbox::Read(uint32_t offset) const
{
    if (offset == kMailboxChipId) return static_cast<uint8_t>(m_ChipId);
    if (offset == kMailboxChipId + 1) return static_cast<uint8_t>(m_ChipId >> 8);
    if (offset < kMailboxBase || offset >= kMailboxEnd) return 0;
    return m_Space[offset - kMailboxBase];
}

bool PcieMailbox::Write(uint32_t offset, uint8_t value)
{
    if (offset < kMailboxBase || offset >= kMailboxEnd) return false;
    if (offset == kMailboxChipId || offset == kMailboxChipId + 1) return false;  // read-only
    m_Space[offset - kMailboxBase] = value;
    if (offset >= kMailboxCommand && offset < kMailboxCommand + kMailboxCommandSize) {
        // A new command block: its data starts from the beginning.
        m_Progress = 0;
        m_Ran = false;
        m_Data.clear();
    }
    return offset == kMailboxDoorbell && value == kDoorbellRing;
}

std::array<uint8_t, kMailboxCommandSize> PcieMailbox::Command() const
{
    std::array<uint8_t, kMailboxCommandSize> command{};
    std::copy_n(m_Space.begin() + (kMailboxCommand - kMailboxBase), kMailboxCommandSize, command.begin());
    return command;
}

bool PcieMailbox::CommandLength(uint32_t& length) const
{
    const auto c = Command();
    switch (c[0]) {
    case kOpConfigRead:
    case kOpConfigWrite: length = kConfigTableSize; return true;
    case kOpFirmwareRead:
    case kOpFirmwareWrite:
        length = uint32_t{c[2]} << 24 | uint32_t{c[3]} << 16 | uint32_t{c[4]} << 8 | c[5];
        return length > 0 && length <= kFirmwareImageMax;
    case kOpRegisterRead: length = c[1] == 0 ? 256u : c[1]; return true;
    case kOpRegisterWrite: length = 0; return true;
    default: return false;
    }
}

bool PcieMailbox::RunCommand(Bridge& bridge, bool dataIn)
{
    const auto c = Command();
    ScsiExchange exchange;
    std::copy_n(c.begin(), 6, exchange.cdb.begin());
    exchange.cdbLength = 6;
    exchange.dataIn = dataIn;
    exchange.data = m_Data.empty() ? nullptr : m_Data.data();
    exchange.dataLength = static_cast<uint32_t>(m_Data.size());
    exchange.timeoutSeconds = 60;
    bridge.Execute(exchange);
    return !exchange.callFailed && exchange.status == kStatusGood;
}

PcieMailbox::Outcome PcieMailbox::Answer(Outcome outcome)
{
    uint8_t& doorbell = m_Space[kMailboxDoorbell - kMailboxBase];
    if (outcome == Outcome::kDone || outcome == Outcome::kReset) doorbell = kDoorbellDone;
    else if (outcome == Outcome::kRefused) doorbell = kDoorbellRefused;
    return outcome;
}

PcieMailbox::Outcome PcieMailbox::Ring(Bridge& bridge, int64_t nowMs)
{
    if (ParseInt(bridge.Get(kKeyMailboxStuck), 0) != 0) return Outcome::kNoAnswer;
    const auto c = Command();
    if (c[0] == kOpReset) {
        bridge.Set(kKeyPcieOfflineUntil, std::to_string(nowMs + PcieRelinkDelayMs(bridge)));
        bridge.Boot();
        Clear();
        return Answer(Outcome::kReset);
    }
    uint32_t length = 0;
    if (!CommandLength(length)) return Answer(Outcome::kRefused);
    if (c[0] == kOpRegisterWrite) return Answer(RunCommand(bridge, false) ? Outcome::kDone : Outcome::kRefused);

    const bool dataIn = c[0] == kOpConfigRead || c[0] == kOpFirmwareRead || c[0] == kOpRegisterRead;
    if (m_Progress >= length) return Answer(Outcome::kRefused);  // rung past the end of the data
    const uint32_t piece = std::min(kMailboxDataSize, length - m_Progress);
    uint8_t* window = m_Space.data() + (kMailboxData - kMailboxBase);
    if (dataIn) {
        if (!m_Ran) {
            m_Data.assign(length, 0);
            m_Ran = true;
            if (!RunCommand(bridge, true)) {
                m_Progress = length;  // nothing more to hand out
                return Answer(Outcome::kRefused);
            }
        }
        std::memcpy(window, m_Data.data() + m_Progress, piece);
        m_Progress += piece;
        return Answer(Outcome::kDone);
    }
    if (m_Progress == 0) m_Data.assign(length, 0);
    std::memcpy(m_Data.data() + m_Progress, window, piece);
    m_Progress += piece;
    if (m_Progress < length) return Answer(Outcome::kDone);
    return Answer(RunCommand(bridge, false) ? Outcome::kDone : Outcome::kRefused);
}

}  // namespace emu
