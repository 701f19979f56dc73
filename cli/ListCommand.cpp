// devedactl list: one discovery of the 795x bridges, one block per record, or
// one JSON document with --json.
#include <cstdio>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "device/BrvtUSBDev.h"
#include "device/DiskInfoArea.h"
#include "device/host/DiskHost.h"
#include "device/pcie/Brv795xPcieCtrl.h"

#include <algorithm>

namespace {

std::string ChipTypeOf(CBrvtUSBDev& dev, const DeviceInfo& record)
{
    platform::IStation& station = dev.Station();
    const HANDLE h =
        device::host::CreateFile(station, RecordDevicePath(record), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (!IsValidHandle(h)) return "0";
    std::string chipType = dev.strGet7951ChipType(h);
    station.CloseHandle(h);
    return chipType;
}

const char* UsbModeText(const DeviceInfo& r)
{
    return r.m_ucUSBMode == 1 ? "UAS" : r.m_ucUSBMode == 0 ? "BOT" : "UNKNOW";
}

// The link speed's meaning: the USB4 speed name in a USB4 mode, else the USB
// connection status.
std::string LinkSpeedText(const DeviceInfo& r)
{
    const bool u4 = r.m_ucU4Mode != 0 && r.m_ucU4Mode != 255;
    return r.IsPcie || u4 ? U4SpeedText(r.m_ucLinkSpeed) : r.m_strUsbConnectionStatus;
}

void PrintRecord(CBrvtUSBDev& dev, const DeviceInfo& r)
{
    std::printf("[%d]%s\n", r.m_ucDevIdx, r.IsPcie ? " PCIe" : "");
    if (r.IsPcie) {
        std::printf("  firmware:        %s\n  serial:          %s\n  VID:             %s\n  PID:             %s\n",
                    r.m_strFWVersion.c_str(), r.m_strSerialNumber.c_str(), r.m_strVID.c_str(), r.m_strPID.c_str());
        std::printf("  U4 mode:         %s\n  link speed:      %d %s\n", U4ModeText(r.m_ucU4Mode), r.m_ucLinkSpeed,
                    LinkSpeedText(r).c_str());
        return;
    }
    if (r.m_bCDROM) std::printf("  CD-ROM number:   %d\n", r.m_ucCDROMAddress);
    else std::printf("  disk number:     %d\n", r.m_ucPhysicalAddress);
    // A bridge that was found but not identified says why.
    if (!r.m_strIdentifyFailure.empty()) std::printf("  not identified:  %s\n", r.m_strIdentifyFailure.c_str());
    std::printf("  location:        %d\n", r.m_iPortLocation);
    std::printf("  hub port:        %d of %d on %s\n", r.m_ulPortIndex, r.m_ulPortCount, r.m_strHubName.c_str());
    std::printf("  VID:             %s\n", r.m_strVID.c_str());
    std::printf("  PID:             %s\n", r.m_strPID.c_str());
    std::printf("  serial:          %s\n", r.m_strSerialNumber.c_str());
    std::printf("  manufacturer:    %s\n", r.m_strManufacturer.c_str());
    std::printf("  product:         %s\n", r.m_strProduct.c_str());
    std::printf("  revision:        %s\n", r.m_strDeviceRev.c_str());
    std::printf("  firmware:        %s\n", r.m_strFWVersion.c_str());
    std::printf("  device type:     %s\n", r.m_strDevTypeName.c_str());
    std::printf("  chip revision:   %s\n", r.m_strChipRevision.c_str());
    std::printf("  chip type:       %s\n", ChipTypeOf(dev, r).c_str());
    std::printf("  chip variant:    %d\n", r.m_ucChipVariant);
    std::printf("  USB mode:        %s\n", UsbModeText(r));
    std::printf("  U4 mode:         %s\n", U4ModeText(r.m_ucU4Mode));
    std::printf("  link speed:      %d %s\n", r.m_ucLinkSpeed, LinkSpeedText(r).c_str());
    std::printf("  CC orientation:  %d\n", r.m_ucCCOrientation);
    const int64_t size = RecordDiskSize(r);
    if (size >= 0) std::printf("  capacity:        %lld MB\n", static_cast<long long>(size / 1048576));
    else std::printf("  capacity:        none\n");
    std::printf("  drive letter:    %s\n", r.m_cDriveLetter == kNoDriveLetter ? "none" : std::string(1, r.m_cDriveLetter).c_str());
    std::printf("  disk serial:     %s\n", r.m_strDiskSerialNumber.c_str());
    std::printf("  disk firmware:   %s\n", r.m_strDiskFWVersion.c_str());
}

// The same record as one JSON object (docs/json.md, "devedactl list --json").
std::string RecordJson(CBrvtUSBDev& dev, const DeviceInfo& r)
{
    cli::JsonObject o;
    o.Number("index", r.m_ucDevIdx).Bool("pcie", r.IsPcie);
    o.Text("firmware", r.m_strFWVersion).Text("serial", r.m_strSerialNumber).Text("vid", r.m_strVID).Text("pid", r.m_strPID);
    o.Text("u4Mode", U4ModeText(r.m_ucU4Mode)).Number("linkSpeed", r.m_ucLinkSpeed).Text("linkSpeedText", LinkSpeedText(r));
    if (r.IsPcie) return o.Json();
    if (r.m_bCDROM) o.Null("diskNumber").Number("cdromNumber", r.m_ucCDROMAddress);
    else o.Number("diskNumber", r.m_ucPhysicalAddress).Null("cdromNumber");
    o.Number("location", r.m_iPortLocation).Number("hubPort", r.m_ulPortIndex).Number("hubPortCount", r.m_ulPortCount);
    o.Text("hub", r.m_strHubName).Text("manufacturer", r.m_strManufacturer).Text("product", r.m_strProduct);
    o.Text("revision", r.m_strDeviceRev).Text("deviceType", r.m_strDevTypeName).Text("chipRevision", r.m_strChipRevision);
    o.Text("chipType", ChipTypeOf(dev, r)).Number("chipVariant", r.m_ucChipVariant).Text("usbMode", UsbModeText(r));
    o.Number("ccOrientation", r.m_ucCCOrientation);
    const int64_t size = RecordDiskSize(r);
    if (size >= 0) o.Number("capacityMB", size / 1048576);
    else o.Null("capacityMB");
    if (r.m_cDriveLetter == kNoDriveLetter) o.Null("driveLetter");
    else o.Text("driveLetter", std::string(1, r.m_cDriveLetter));
    o.Text("diskSerial", r.m_strDiskSerialNumber).Text("diskFirmware", r.m_strDiskFWVersion);
    if (r.m_strIdentifyFailure.empty()) o.Null("identifyFailure");
    else o.Text("identifyFailure", r.m_strIdentifyFailure);
    return o.Json();
}

// The disks as the station sees them, before any command: which ones the tool may touch.
void PrintDisks(platform::IStation& station)
{
    for (const platform::DiskDevice& d : station.Disks()) {
        std::printf("%s %u: %s %s, serial %s", d.cdrom ? "CD-ROM" : "disk", d.diskNumber, d.vendor.c_str(),
                    d.product.c_str(), d.serial.c_str());
        if (d.sizeBytes != 0) std::printf(", %llu MB", static_cast<unsigned long long>(d.sizeBytes / 1048576));
        if (!d.usbPath.empty())
            std::printf(", USB %s %04X:%04X %s", d.usbPath.c_str(), d.usbVendor, d.usbProduct, d.usbDriver.c_str());
        std::printf("%s%s\n", d.refusal.empty() ? "" : "; refused: ", d.refusal.c_str());
    }
}

int RunList(const cli::Args& args)
{
    const bool json = args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !json) return cli::UsageError("list takes no arguments but --json");
    CBrvtUSBDev dev;
    // The first line names the station, so an emulated list is never taken for real
    // drives (in JSON: the "station" and "emulated" members).
    if (!json) {
        std::printf("%s\n", dev.Station().Describe().c_str());
        PrintDisks(dev.Station());
    }
    DeviceList list;
    const CommandResult result = dev.Open(list, "0", 2);
    for (uint32_t i = 0; i < list.DevNums; ++i) dev.nObtainDiSKInfo(RecordDevicePath(list.Devs[i]), list.Devs[i]);
    const uint32_t usbCount = list.DevNums;
    // PCIe bridges follow the USB ones in the same list.
    CBrv795xPcieCtrl pcie(dev.Station());
    int pcieCount = 0;
    if (pcie.InitPcie()) pcieCount = pcie.ScanPcie(kDefaultPcieVendorId, kDefaultPcieDeviceId, list, list.DevNums);
    const int shown = std::min<int>(pcieCount, MAX_DEVICES - static_cast<int>(usbCount));
    const int exitCode = result == kCommandSuccess || pcieCount > 0 ? 0 : 1;
    if (json) {
        std::vector<std::string> bridges;
        for (uint32_t i = 0; i < usbCount + static_cast<uint32_t>(shown); ++i) bridges.push_back(RecordJson(dev, list.Devs[i]));
        cli::JsonObject o;
        o.Text("station", dev.Station().Describe()).Bool("emulated", dev.Station().IsEmulated());
        o.Number("usbCount", usbCount).Number("pcieCount", pcieCount).Raw("bridges", cli::JsonArray(bridges));
        std::printf("%s\n", o.Json().c_str());
        return exitCode;
    }
    std::printf("%u bridge(s) found\n", usbCount);
    for (uint32_t i = 0; i < usbCount; ++i) PrintRecord(dev, list.Devs[i]);
    std::printf("%d PCIe bridge(s) found\n", pcieCount);
    for (int n = 0; n < shown; ++n) PrintRecord(dev, list.Devs[usbCount + n]);
    return exitCode;
}

}  // namespace

DEVEDA_CLI_COMMAND("list", RunList,
                   "  list [--json]                 discover the bridges and print one block per record "
                   "(one JSON document with --json)");
