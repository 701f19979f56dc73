#include "emu/DiskThroughput.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "emu/Bridge.h"
#include "emu/NvmeDisk.h"
#include "util/Clock.h"

namespace emu {

namespace {
constexpr double kMiB = 1048576.0;

double Rate(const Bridge& bridge, const char* key)
{
    const auto value = bridge.Get(key, "0");
    char* end = nullptr;
    const double rate = std::strtod(value.c_str(), &end);
    return end != value.c_str() && rate > 0 ? rate : 0;
}

bool Touches(const SectorRange& range, uint64_t offset, uint64_t bytes)
{
    if (bytes == 0) return false;
    const uint64_t first = offset / kDiskSectorSize, last = (offset + bytes - 1) / kDiskSectorSize;
    return first <= range.last && range.first <= last;
}
}  // namespace

std::optional<SectorRange> ParseSectorRange(const std::string& text)
{
    SectorRange range;
    unsigned long long first = 0, last = 0;
    char kind[8] = {};
    double rate = 0;
    int used = 0;
    const int fields = std::sscanf(text.c_str(), " %llu-%llu %7s %n", &first, &last, kind, &used);
    if (fields != 3 || first > last) return std::nullopt;
    range.first = first;
    range.last = last;
    const std::string rest = text.substr(static_cast<size_t>(used));
    if (std::string(kind) == "fail" && rest.empty()) {
        range.fails = true;
        return range;
    }
    int tail = 0;
    if (std::string(kind) == "slow" && std::sscanf(rest.c_str(), "%lf %n", &rate, &tail) == 1 && rate > 0 &&
        static_cast<size_t>(tail) == rest.size()) {
        range.mibps = rate;
        return range;
    }
    return std::nullopt;
}

std::string SectorRangeText(const SectorRange& range)
{
    std::ostringstream text;
    text << range.first << '-' << range.last << (range.fails ? " fail" : " slow ");
    if (!range.fails) text << range.mibps;
    return text.str();
}

DiskThroughput DiskThroughput::Of(const Bridge& bridge)
{
    DiskThroughput throughput;
    throughput.m_dReadMibps = Rate(bridge, "disk_read_mibps");
    throughput.m_dWriteMibps = Rate(bridge, "disk_write_mibps");
    throughput.m_bCorruptWrites = bridge.Get("disk_corrupt_writes", "0") == "1";
    std::istringstream ranges(bridge.Get(kDiskSectorFaultsKey));
    for (std::string item; std::getline(ranges, item, ';');)
        if (auto range = ParseSectorRange(item)) throughput.m_Ranges.push_back(*range);
    return throughput;
}

bool DiskThroughput::Fails(uint64_t offset, uint64_t bytes) const
{
    for (const auto& range : m_Ranges)
        if (range.fails && Touches(range, offset, bytes)) return true;
    return false;
}

bool DiskThroughput::HasFailingRanges() const
{
    for (const auto& range : m_Ranges)
        if (range.fails) return true;
    return false;
}

int64_t DiskThroughput::DurationUs(bool write, uint64_t offset, uint64_t bytes) const
{
    double rate = write ? m_dWriteMibps : m_dReadMibps;
    for (const auto& range : m_Ranges)
        if (!range.fails && Touches(range, offset, bytes) && (rate == 0 || range.mibps < rate)) rate = range.mibps;
    if (rate <= 0) return 0;
    return static_cast<int64_t>(static_cast<double>(bytes) / (rate * kMiB) * 1e6);
}

void DiskThroughput::Delay(bool write, uint64_t offset, uint64_t bytes) const
{
    util::SleepUs(DurationUs(write, offset, bytes));
}

void DiskThroughput::Damage(uint8_t* data, uint64_t bytes) const
{
    if (m_bCorruptWrites && bytes > 0) data[0] = static_cast<uint8_t>(~data[0]);
}

}  // namespace emu
