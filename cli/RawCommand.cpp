// devedactl raw: one command block to a physical drive through the host-side
// transport.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "device/PassThrough.h"
#include "device/host/DiskHost.h"

namespace {

int RunRaw(const cli::Args& args)
{
    const char* usage = "usage: raw DISK CDB-HEX [--in LEN | --out FILE]";
    if (args.size() != 2 && args.size() != 4) return cli::UsageError(usage);
    const auto disk = cli::ParseInteger(args[0], 0, 255);
    if (!disk) return cli::UsageError("raw: DISK must be a number from 0 to 255, not '" + args[0] + "'");
    const auto cdb = cli::ParseHexBytes(args[1]);
    if (!cdb || cdb->size() > 16) return cli::UsageError("raw: CDB-HEX must be 1 to 16 hex bytes");

    std::vector<uint8_t> data;
    uint8_t direction = platform::SCSI_IOCTL_DATA_OUT;
    if (args.size() == 4 && args[2] == "--in") {
        const auto length = cli::ParseInteger(args[3], 1, kMaxPassThroughData);
        if (!length) return cli::UsageError("raw: --in takes a length from 1 to 65536");
        data.resize(static_cast<size_t>(*length));
        direction = platform::SCSI_IOCTL_DATA_IN;
    } else if (args.size() == 4 && args[2] == "--out") {
        std::ifstream in(args[3], std::ios::binary);
        if (!in) return cli::UsageError("raw: cannot read " + args[3]);
        data.assign(std::istreambuf_iterator<char>(in), {});
        if (data.size() > kMaxPassThroughData) return cli::UsageError("raw: " + args[3] + " is larger than 64 KiB");
    } else if (args.size() == 4) {
        return cli::UsageError(usage);
    }

    platform::IStation& station = platform::Station();
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%ld", *disk);
    const HANDLE handle =
        device::host::CreateFile(station, path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (!IsValidHandle(handle)) {
        std::printf("CreateFile %s failed, error %u\n", path, platform::GetLastError());
        return 1;
    }
    const bool read = direction == platform::SCSI_IOCTL_DATA_IN;
    const CPassThrough transport(station);
    const PassThroughOutcome outcome =
        transport.Send(handle, {cdb->data(), static_cast<uint8_t>(cdb->size()), direction, data.data(),
                                static_cast<uint32_t>(data.size()), read ? kTimeOutVendorRead : kTimeOutVendorWrite});
    station.CloseHandle(handle);

    const CommandResult result = outcome.Success() ? kCommandSuccess : kCommandFailed;
    std::printf("CommandResult: %d\n", result);
    if (!outcome.callSucceeded) {
        std::printf("call failed, error %u\n", outcome.lastError);
        return 1;
    }
    std::printf("ScsiStatus: 0x%02X\n", outcome.scsiStatus);
    if (outcome.senseLength > 0 && outcome.scsiStatus != 0)
        std::printf("Sense: %s\n", cli::HexBytes(outcome.sense.data(), outcome.senseLength).c_str());
    if (read && outcome.Success()) std::printf("Data (%zu bytes):\n%s", data.size(), cli::HexDump(data.data(), data.size(), true).c_str());
    return result == kCommandSuccess ? 0 : 1;
}

}  // namespace

DEVEDA_CLI_COMMAND("raw", RunRaw,
                   "  raw DISK CDB-HEX [--in LEN | --out FILE]   send one command block to physical drive DISK");
