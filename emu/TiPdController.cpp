#include "emu/TiPdController.h"

#include <cstring>

namespace emu {

namespace {
std::filesystem::path StateFile(const std::filesystem::path& folder) { return folder / "ti.ini"; }
}  // namespace

TiPdController::TiPdController(std::filesystem::path bridgeFolder) : m_Folder(std::move(bridgeFolder))
{
    m_State.Load(StateFile(m_Folder));
}

std::filesystem::path TiPdController::RegionFile(int region) const
{
    return m_Folder / ("ti_region" + std::to_string(region) + ".bin");
}

std::string TiPdController::Region(int region, uint32_t size) const
{
    std::string bytes(size, '\0');
    ReadBlobRange(RegionFile(region), 0, reinterpret_cast<uint8_t*>(bytes.data()), size);
    return bytes;
}

void TiPdController::Answer(ScsiExchange& exchange, const uint8_t* bytes)
{
    if (!exchange.dataIn || exchange.dataLength != kTiAnswerSize)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    std::memcpy(exchange.data, bytes, kTiAnswerSize);
    exchange.transferred = kTiAnswerSize;
}

void TiPdController::Execute(ScsiExchange& exchange)
{
    exchange.transferred = 0;
    const auto refuse = [&] { exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb); };
    const uint8_t function = exchange.cdb[1];
    const int region = static_cast<int>(m_State.GetInt("region", 0));
    const int64_t erased = m_State.GetInt("erased_sectors", 0);
    uint8_t answer[kTiAnswerSize] = {};
    const bool noData = exchange.dataLength == 0;
    if (exchange.cdbLength != 8) return refuse();
    switch (function) {
    case 1: {  // firmware version
        const uint32_t version = static_cast<uint32_t>(m_State.GetInt("version", 0x01000000));
        for (int i = 0; i < 4; ++i) answer[i] = static_cast<uint8_t>(version >> (8 * (3 - i)));
        return Answer(exchange, answer);
    }
    case 2:  // boot flags: the region the controller boots
        answer[0] = 1;
        return Answer(exchange, answer);
    case 3:
        if (!noData || (exchange.cdb[2] != 1 && exchange.cdb[2] != 2)) return refuse();
        m_State.SetInt("region", exchange.cdb[2]);
        m_State.SetInt("erased_sectors", 0);
        break;
    case 4: {
        if (!noData || exchange.cdb[2] != region || exchange.cdb[3] == 0) return refuse();
        WriteBlob(RegionFile(region), std::string(exchange.cdb[3] * kTiSectorSize, '\xFF'));
        m_State.SetInt("erased_sectors", exchange.cdb[3]);
        break;
    }
    case 5:
        if (!noData || erased == 0) return refuse();
        m_State.SetInt("next_row", 0);
        m_State.SetInt("rows", 0);
        break;
    case 6: {
        const uint32_t row = exchange.cdb[2] | exchange.cdb[3] << 8;
        const uint32_t rows = exchange.cdb[4] | exchange.cdb[5] << 8;
        if (exchange.dataIn || exchange.dataLength != kTiRowSize || erased == 0 ||
            row != static_cast<uint32_t>(m_State.GetInt("next_row", -1)) || (row + 1) * kTiRowSize > erased * kTiSectorSize)
            return refuse();
        WriteBlobRange(RegionFile(region), row * kTiRowSize, exchange.data, kTiRowSize);
        m_State.SetInt("next_row", row + 1);
        m_State.SetInt("rows", rows);
        break;
    }
    case 7:
        if (exchange.cdb[2] != region) return refuse();
        answer[0] = m_State.GetInt("rows", -1) == m_State.GetInt("next_row", -2) ? 0 : 1;
        return Answer(exchange, answer);
    case 8: {
        if (!noData) return refuse();
        const std::string head = Region(1, 4);
        uint32_t version = 0;
        for (char c : head) version = version << 8 | static_cast<uint8_t>(c);
        m_State.SetInt("version", version);
        break;
    }
    default: return refuse();
    }
    m_State.Save(StateFile(m_Folder));
}

}  // namespace emu
