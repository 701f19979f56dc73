// devedactl list: one discovery of the 795x bridges, one block per record.
#include <cstdio>

#include "cli/CliCommand.h"
#include "device/BrvtUSBDev.h"
#include "device/DiskInfoArea.h"
#include "device/pcie/Brv795xPcieCtrl.h"

#include <algorithm>

namespace {

std::string ChipTypeOf(CBrvtUSBDev& dev, const DeviceInfo& record)
{
    platform::IStation& station = dev.Station();
    const HANDLE h = station.CreateFile(RecordDevicePath(record), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (!IsValidHandle(h)) return "0";
    std::string chipType = dev.strGet7951ChipType(h);
    station.CloseHandle(h);
    return chipType;
}

void PrintRecord(CBrvtUSBDev& dev, const DeviceInfo& r)
{
    const bool u4 = r.m_ucU4Mode != 0 && r.m_ucU4Mode != 255;
    std::printf("[%d]%s\n", r.m_ucDevIdx, r.IsPcie ? " PCIe" : "");
    if (r.IsPcie) {
        std::printf("  firmware:        %s\n  serial:          %s\n  VID:             %s\n  PID:             %s\n",
                    r.m_strFWVersion.c_str(), r.m_strSerialNumber.c_str(), r.m_strVID.c_str(), r.m_strPID.c_str());
        std::printf("  U4 mode:         %s\n  link speed:      %d %s\n", U4ModeText(r.m_ucU4Mode), r.m_ucLinkSpeed,
                    U4SpeedText(r.m_ucLinkSpeed));
        return;
    }
    if (r.m_bCDROM) std::printf("  CD-ROM number:   %d\n", r.m_ucCDROMAddress);
    else std::printf("  disk number:     %d\n", r.m_ucPhysicalAddress);
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
    std::printf("  USB mode:        %s\n", r.m_ucUSBMode == 1 ? "UAS" : r.m_ucUSBMode == 0 ? "BOT" : "UNKNOW");
    std::printf("  U4 mode:         %s\n", U4ModeText(r.m_ucU4Mode));
    std::printf("  link speed:      %d %s\n", r.m_ucLinkSpeed,
                u4 ? U4SpeedText(r.m_ucLinkSpeed) : r.m_strUsbConnectionStatus.c_str());
    std::printf("  CC orientation:  %d\n", r.m_ucCCOrientation);
    const int64_t size = RecordDiskSize(r);
    if (size >= 0) std::printf("  capacity:        %lld MB\n", static_cast<long long>(size / 1048576));
    else std::printf("  capacity:        none\n");
    std::printf("  drive letter:    %s\n", r.m_cDriveLetter == kNoDriveLetter ? "none" : std::string(1, r.m_cDriveLetter).c_str());
    std::printf("  disk serial:     %s\n", r.m_strDiskSerialNumber.c_str());
    std::printf("  disk firmware:   %s\n", r.m_strDiskFWVersion.c_str());
}

// The disks as the station sees them, before any command: which ones the tool may touch.
void PrintDisks(platform::IStation& station)
{
    for (const platform::DiskDevice& d : station.Disks()) {
        std::printf("disk %u: %s %s, serial %s", d.diskNumber, d.vendor.c_str(), d.product.c_str(), d.serial.c_str());
        if (d.sizeBytes != 0) std::printf(", %llu MB", static_cast<unsigned long long>(d.sizeBytes / 1048576));
        if (!d.usbPath.empty())
            std::printf(", USB %s %04X:%04X %s", d.usbPath.c_str(), d.usbVendor, d.usbProduct, d.usbDriver.c_str());
        std::printf("%s%s\n", d.refusal.empty() ? "" : "; refused: ", d.refusal.c_str());
    }
}

int RunList(const cli::Args& args)
{
    if (!args.empty()) return cli::UsageError("list takes no arguments");
    CBrvtUSBDev dev;
    // The first line names the station, so an emulated list is never taken for real drives.
    std::printf("%s\n", dev.Station().Describe().c_str());
    PrintDisks(dev.Station());
    DeviceList list;
    const CommandResult result = dev.Open(list, "0", 2);
    for (uint32_t i = 0; i < list.DevNums; ++i) dev.nObtainDiSKInfo(RecordDevicePath(list.Devs[i]), list.Devs[i]);
    std::printf("%u bridge(s) found\n", list.DevNums);
    for (uint32_t i = 0; i < list.DevNums; ++i) PrintRecord(dev, list.Devs[i]);
    // PCIe bridges follow the USB ones in the same list.
    CBrv795xPcieCtrl pcie(dev.Station());
    int pcieCount = 0;
    if (pcie.InitPcie()) pcieCount = pcie.ScanPcie(kDefaultPcieVendorId, kDefaultPcieDeviceId, list, list.DevNums);
    const int shown = std::min<int>(pcieCount, MAX_DEVICES - static_cast<int>(list.DevNums));
    std::printf("%d PCIe bridge(s) found\n", pcieCount);
    for (int n = 0; n < shown; ++n) PrintRecord(dev, list.Devs[list.DevNums + n]);
    return result == kCommandSuccess || pcieCount > 0 ? 0 : 1;
}

}  // namespace

DEVEDA_CLI_COMMAND("list", RunList, "  list                          discover the bridges and print one block per record");
