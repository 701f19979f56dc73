// Hot-plug events replayed from a recorded "udevadm monitor --udev --property".
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../RecordedFixture.h"
#include "platform/linux/UdevEvents.h"

namespace {

using platform::DeviceChange;
using platform::linuxst::ChangeOf;
using platform::linuxst::ParseUdevMonitorText;

TEST(UdevEvents, RecordedPlugAndPullGiveOneArrivalAndOneRemovalPerDevice)
{
    const auto events = ParseUdevMonitorText(Recorded("udev-plug-and-pull.txt"));
    ASSERT_EQ(events.size(), 9u);
    EXPECT_EQ(events[0].action, "add");
    EXPECT_EQ(events[0].devpath, "/devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2.3");
    EXPECT_EQ(events[0].subsystem, "usb");
    EXPECT_EQ(events[0].devtype, "usb_device");
    EXPECT_EQ(events[3].subsystem, "scsi_generic");
    EXPECT_EQ(events[3].devtype, "");

    std::vector<DeviceChange> changes;
    for (const auto& event : events)
        if (auto change = ChangeOf(event)) changes.push_back(*change);
    EXPECT_EQ(changes, (std::vector<DeviceChange>{DeviceChange::kArrival, DeviceChange::kArrival,
                                                  DeviceChange::kRemoveComplete, DeviceChange::kRemoveComplete}));
}

TEST(UdevEvents, IncompleteBlocksAndCarriageReturnsAreHandled)
{
    const auto events = ParseUdevMonitorText("ACTION=add\r\nSUBSYSTEM=usb\r\n\r\nACTION=remove\r\nDEVPATH=/devices/x\r\n"
                                             "SUBSYSTEM=block\r\nDEVTYPE=disk\r\nID_FS_LABEL=A=B");
    ASSERT_EQ(events.size(), 1u);  // the first block has no DEVPATH
    EXPECT_EQ(events[0].devpath, "/devices/x");
    EXPECT_EQ(events[0].devtype, "disk");
    EXPECT_EQ(ChangeOf(events[0]), DeviceChange::kRemoveComplete);
    EXPECT_EQ(ChangeOf({"change", "/devices/x", "block", "disk"}), std::nullopt);
    EXPECT_EQ(ChangeOf({"add", "/devices/x/sdb1", "block", "partition"}), std::nullopt);
}

}  // namespace
