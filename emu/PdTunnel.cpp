#include "emu/PdTunnel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace emu {

namespace {

constexpr uint16_t kRichtekOpenArea = 0x3FFF;
constexpr uint16_t kVersionRegion = 0x1000;
constexpr uint16_t kCcg3ModeRegion = 0x100;
constexpr uint32_t kRichtekReadSize = 32;
constexpr uint32_t kMcuChunkMax = 12;
constexpr uint32_t kIdentifySize = 16;
constexpr uint32_t kVersionBlockSize = 16;
constexpr uint32_t kVersionByteInRow = 96;
constexpr int64_t kDefaultVersionRow = 0x101;

std::filesystem::path StateFile(const std::filesystem::path& folder) { return folder / "pd.ini"; }

uint16_t Big16(const ScsiExchange& e, int at) { return static_cast<uint16_t>(e.cdb[at] << 8 | e.cdb[at + 1]); }

bool ParseNumber(const std::string& text, int base, int64_t& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, base);
    return end && *end == '\0';
}

}  // namespace

PdTunnel::PdTunnel(std::filesystem::path bridgeFolder) : m_Folder(std::move(bridgeFolder))
{
    m_State.Load(StateFile(m_Folder));
}

uint8_t PdTunnel::Vendor() const
{
    const std::string vendor = m_State.Get("vendor", "none");
    if (vendor == "richtek") return kPdVendorRichtek;
    if (vendor == "cypress") return kPdVendorCypress;
    if (vendor == "ccg3") return kPdVendorCCG3;
    return 0;
}

std::string PdTunnel::PdMemory(uint32_t offset, uint32_t size) const
{
    std::string bytes(size, '\0');
    ReadBlobRange(m_Folder / "pd_flash.bin", offset, reinterpret_cast<uint8_t*>(bytes.data()), size);
    return bytes;
}

std::string PdTunnel::McuFlash(uint32_t offset, uint32_t size) const
{
    std::string bytes(size, '\0');
    ReadBlobRange(m_Folder / "mcu_flash.bin", offset, reinterpret_cast<uint8_t*>(bytes.data()), size);
    return bytes;
}

std::string PdTunnel::StateText() const
{
    std::string text;
    for (const auto& [key, value] : m_State.Values()) text += (text.empty() ? "" : " ") + key + "=" + value;
    return text;
}

bool PdTunnel::ApplySetting(const std::filesystem::path& bridgeFolder, const std::string& key,
                            const std::string& value, std::string& error)
{
    KeyValueFile state;
    state.Load(StateFile(bridgeFolder));
    int64_t number = 0;
    const auto oneOf = [&](std::initializer_list<const char*> values) {
        return std::any_of(values.begin(), values.end(), [&](const char* v) { return value == v; });
    };
    bool ok = true;
    if (key == "vendor") ok = oneOf({"none", "richtek", "cypress", "ccg3"});
    else if (key == "mcu") ok = oneOf({"none", "stm"});
    else if (key == "mode") ok = oneOf({"1", "2"});
    else if (key == "fail") ok = ParseNumber(value, 16, number) && number >= 0 && number <= 0xFF;
    else if (key == "no_answer") ok = oneOf({"0", "1"});
    else if (key == "replug") ok = oneOf({"yes", "never"});
    else if (key == "version_row" || key == "corrupt_row" || key == "fail_count" || key == "replug_ms")
        ok = ParseNumber(value, 0, number) && number >= -1;
    else return error = "unknown PD key 'pd." + key + "'", false;
    if (!ok) return error = "bad value '" + value + "' for pd." + key, false;
    state.Set(key, value);
    if (!state.Save(StateFile(bridgeFolder))) return error = "cannot write pd.ini", false;
    return true;
}

void PdTunnel::PowerCycle(const std::filesystem::path& bridgeFolder)
{
    KeyValueFile state;
    state.Load(StateFile(bridgeFolder));
    for (const char* key : {"bus", "flash", "boot", "mcu_flash"}) state.Erase(key);
    // A CCG3 whose flash was written starts the bank it just received.
    if (state.GetInt("written", 0) && state.Get("vendor") == "ccg3")
        state.SetInt("mode", state.GetInt("mode", 1) == 1 ? 2 : 1);
    state.Erase("written");
    state.Save(StateFile(bridgeFolder));
}

bool PdTunnel::ComesBack(const std::filesystem::path& bridgeFolder)
{
    KeyValueFile state;
    state.Load(StateFile(bridgeFolder));
    return state.Get("replug", "yes") != "never";
}

int64_t PdTunnel::OperatorReplugMs(const std::filesystem::path& bridgeFolder)
{
    KeyValueFile state;
    state.Load(StateFile(bridgeFolder));
    return state.GetInt("replug_ms", -1);
}

bool PdTunnel::TakeFault(ScsiExchange& exchange, uint8_t sub)
{
    int64_t failing = -1;
    if (!ParseNumber(m_State.Get("fail"), 16, failing) || failing != sub) return false;
    const int64_t count = m_State.GetInt("fail_count", -1);
    if (count == 0) return false;
    if (count > 0) m_State.SetInt("fail_count", count - 1);
    exchange.CheckCondition(kSenseHardwareError, 0x44);
    return true;
}

void PdTunnel::Answer(ScsiExchange& exchange, const uint8_t* bytes, uint32_t size)
{
    if (!exchange.dataIn || exchange.dataLength != size) return Refuse(exchange);
    std::memcpy(exchange.data, bytes, size);
    exchange.transferred = size;
}

void PdTunnel::Execute(ScsiExchange& exchange)
{
    exchange.transferred = 0;
    const uint8_t sub = exchange.cdb[1];
    if (exchange.cdbLength != 8) return Refuse(exchange);
    if (!TakeFault(exchange, sub)) {
        if (sub == 0x04 || sub == 0x05) {
            if (exchange.dataLength != 0) Refuse(exchange);
            else SetFlag("bus", sub == 0x04);
        } else if (!Flag("bus")) {
            exchange.CheckCondition(kSenseIllegalRequest, 0x2C);  // command sequence error
        } else if (sub == 0x07) {
            Identify(exchange);
        } else if (sub >= 0x32 && sub <= 0x35) {
            McuCommand(exchange, sub, Big16(exchange, 2), Big16(exchange, 4));
        } else if (Vendor() == kPdVendorRichtek) {
            RichtekCommand(exchange, sub, Big16(exchange, 2), Big16(exchange, 4));
        } else if (Vendor() == kPdVendorCypress || Vendor() == kPdVendorCCG3) {
            CypressCommand(exchange, sub, Big16(exchange, 2));
        } else {
            Refuse(exchange);
        }
    }
    m_State.Save(StateFile(m_Folder));
}

void PdTunnel::Identify(ScsiExchange& exchange)
{
    uint8_t answer[kIdentifySize] = {};
    answer[0] = Flag("no_answer") ? 0x00 : 0x5A;
    answer[1] = Vendor();
    answer[8] = HasMcu() ? 1 : 0;
    Answer(exchange, answer, sizeof answer);
}

void PdTunnel::Store(const char* file, uint32_t offset, const uint8_t* data, uint32_t size, int64_t unit)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (unit == m_State.GetInt("corrupt_row", -1)) bytes[0] = static_cast<char>(~bytes[0]);
    WriteBlobRange(m_Folder / file, offset, reinterpret_cast<const uint8_t*>(bytes.data()), size);
    SetFlag("written", true);
}

void PdTunnel::RichtekCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a, uint16_t b)
{
    switch (sub) {
    case 0x00:  // open the MTP area
        if (exchange.dataLength != 0 || b != kRichtekOpenArea) return Refuse(exchange);
        SetFlag("flash", true);
        return;
    case 0x01: {  // one 32-bit word, its bytes in the command block
        if (exchange.dataLength != 0 || !Flag("flash") || a >= kPdMtpSize / 4) return Refuse(exchange);
        Store("pd_flash.bin", a * 4u, &exchange.cdb[4], 4, a);
        return;
    }
    case 0x03: {  // version: the bytes at 0x1000 and 0x1001
        const std::string version = PdMemory(0x1000, 2);
        return Answer(exchange, reinterpret_cast<const uint8_t*>(version.data()), 2);
    }
    case 0x06: {  // 32 bytes of the image
        if (a != kVersionRegion || exchange.cdb[7] != kRichtekReadSize || b > kPdMtpSize - kRichtekReadSize)
            return Refuse(exchange);
        const std::string bytes = PdMemory(b, kRichtekReadSize);
        return Answer(exchange, reinterpret_cast<const uint8_t*>(bytes.data()), kRichtekReadSize);
    }
    default: return Refuse(exchange);
    }
}

void PdTunnel::VersionBlock(ScsiExchange& exchange)
{
    uint8_t block[kVersionBlockSize] = {};
    const std::string version =
        PdMemory(static_cast<uint32_t>(m_State.GetInt("version_row", kDefaultVersionRow)) * kPdRowSize +
                     kVersionByteInRow,
                 8);
    std::memcpy(block + 8, version.data(), 8);
    Answer(exchange, block, sizeof block);
}

void PdTunnel::CypressCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a)
{
    const bool ccg3 = Vendor() == kPdVendorCCG3;
    // Cypress PD rows travel as row * 256; CCG3 rows low byte first.
    const uint32_t row = ccg3 ? (exchange.cdb[2] | exchange.cdb[3] << 8) : a >> 8;
    const bool rowForm = ccg3 || (a & 0xFF) == 0;
    switch (sub) {
    case 0x22:
    case 0x2D:
        if (exchange.dataLength != 0 || (sub == 0x2D) != ccg3) return Refuse(exchange);
        SetFlag("flash", true);
        return;
    case 0x23:
    case 0x2B:
        if ((sub == 0x2B) != ccg3 || !rowForm || !Flag("flash") || exchange.dataIn || exchange.dataLength != kPdRowSize)
            return Refuse(exchange);
        Store("pd_flash.bin", row * kPdRowSize, exchange.data, kPdRowSize, row);
        // The CCG3 keeps its own bookkeeping in the last row of each bank.
        if (ccg3 && row == (Ccg3Mode() == 1 ? 1023u : 1022u)) {
            const uint8_t stamp = 0xC3;
            WriteBlobRange(m_Folder / "pd_flash.bin", row * kPdRowSize + kPdRowSize - 1, &stamp, 1);
        }
        return;
    case 0x24:
    case 0x2A: {
        if ((sub == 0x2A) != ccg3 || !rowForm) return Refuse(exchange);
        const std::string bytes = PdMemory(row * kPdRowSize, kPdRowSize);
        return Answer(exchange, reinterpret_cast<const uint8_t*>(bytes.data()), kPdRowSize);
    }
    case 0x21:
    case 0x2C:
        // A CCG3 answers the query of the bank it runs.
        if (a != kVersionRegion || (ccg3 && Ccg3Mode() != (sub == 0x21 ? 1 : 2)) || (!ccg3 && sub == 0x2C))
            return Refuse(exchange);
        return VersionBlock(exchange);
    case 0x29: {
        if (!ccg3 || a != kCcg3ModeRegion) return Refuse(exchange);
        const uint8_t mode = static_cast<uint8_t>(Ccg3Mode());
        return Answer(exchange, &mode, 1);
    }
    default: return Refuse(exchange);
    }
}

void PdTunnel::McuCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a, uint16_t b)
{
    if (!HasMcu()) return Refuse(exchange);
    switch (sub) {
    case 0x32:
        if (exchange.dataLength != 0) return Refuse(exchange);
        SetFlag("boot", true);
        return;
    case 0x33:
        // The flash step's entry only works once the bootloader runs.
        if (exchange.dataLength != 0 || !Flag("boot")) return Refuse(exchange);
        SetFlag("mcu_flash", true);
        return;
    case 0x34:
    case 0x35: {
        const uint32_t length = exchange.cdb[6];
        if (length == 0 || length > kMcuChunkMax || length != exchange.dataLength || b + length > kMcuFlashSize ||
            exchange.dataIn != (sub == 0x35))
            return Refuse(exchange);
        m_State.SetInt("upper_address", a);
        if (sub == 0x35) {
            const std::string bytes = McuFlash(b, length);
            return Answer(exchange, reinterpret_cast<const uint8_t*>(bytes.data()), length);
        }
        if (!Flag("mcu_flash")) return Refuse(exchange);
        Store("mcu_flash.bin", b, exchange.data, length, b);
        return;
    }
    default: return Refuse(exchange);
    }
}

}  // namespace emu
