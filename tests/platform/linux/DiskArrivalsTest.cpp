// Disk arrivals for the relink search, from recorded udev events replayed into
// the arrival log and into the Linux station on the fixture tree (sdd is the
// bridge disk 3, sda the system disk 0).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "../RecordedFixture.h"
#include "../../common/TestSupport.h"
#include "platform/linux/DiskArrivals.h"
#include "platform/linux/LinuxStation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::linuxst;

UdevEvent DiskAdded(const std::string& name)
{
    return {"add", "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host2/target2:0:0/2:0:0:0/block/" + name,
            "block", "disk"};
}

TEST(DiskArrivals, OnlyWholeDisksAddedAreArrivals)
{
    const auto events = ParseUdevMonitorText(Recorded("udev-plug-and-pull.txt"));
    std::vector<std::string> arrived;
    for (const auto& event : events)
        if (auto name = ArrivedDisk(event)) arrived.push_back(*name);
    EXPECT_EQ(arrived, std::vector<std::string>{"sdd"});  // not the USB device, sg3, sdd1, the change or removal
}

TEST(DiskArrivals, MarksNumberTheArrivalsInTheirOrder)
{
    DiskArrivalLog log;
    EXPECT_EQ(log.Mark(), 0u);
    for (const auto& event : ParseUdevMonitorText(Recorded("udev-plug-and-pull.txt"))) log.Note(event);
    EXPECT_EQ(log.Mark(), 1u);
    EXPECT_EQ(log.Since(0), std::vector<std::string>{"sdd"});
    const uint64_t mark = log.Mark();
    EXPECT_TRUE(log.Since(mark).empty());
    log.Note(DiskAdded("sde"));
    log.Note(DiskAdded("sdb"));
    EXPECT_EQ(log.Since(mark), (std::vector<std::string>{"sde", "sdb"}));
    // Only the newest arrivals are kept when very many come.
    for (int i = 0; i < 1000; ++i) log.Note(DiskAdded("sdz"));
    EXPECT_EQ(log.Mark(), 1003u);
    EXPECT_EQ(log.Since(0).size(), 256u);
}

TEST(DiskArrivals, AWaiterWakesAtTheNextArrivalAndOnlyThen)
{
    DiskArrivalLog log;
    EXPECT_FALSE(log.WaitSince(0, 20));
    log.Note(DiskAdded("sdd"));
    EXPECT_TRUE(log.WaitSince(0, 0));
    const uint64_t mark = log.Mark();
    std::jthread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log.Note({"add", "/devices/x/block/sdd/sdd1", "block", "partition"});  // no arrival
        log.Note(DiskAdded("sde"));
    });
    EXPECT_TRUE(log.WaitSince(mark, 60000));
    EXPECT_EQ(log.Since(mark), std::vector<std::string>{"sde"});
}

class StationArrivals : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(fs::path(PLATFORM_FIXTURES) / "station-tree", Root(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    fs::path Root() const { return m_Folder.Path() / "root"; }
    testsupport::TempFolder m_Folder;
};

TEST_F(StationArrivals, ArrivedDisksAreGivenByTheirDiskNumbers)
{
    LinuxStation station(Root().string(), [](int, unsigned long, void*) { return 0; });
    const uint64_t mark = station.DiskArrivalMark();
    for (const auto& event : ParseUdevMonitorText(Recorded("udev-plug-and-pull.txt"))) station.NoteUdevEvent(event);
    EXPECT_EQ(station.DisksArrivedSince(mark), std::vector<uint32_t>{3});
    // The system disk and a disk that is gone again are not searched; a disk comes once.
    station.NoteUdevEvent(DiskAdded("sda"));
    station.NoteUdevEvent(DiskAdded("sdq"));
    station.NoteUdevEvent(DiskAdded("sdb"));
    station.NoteUdevEvent(DiskAdded("sdd"));
    EXPECT_EQ(station.DisksArrivedSince(mark), (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(station.DisksArrivedSince(station.DiskArrivalMark()), std::vector<uint32_t>{});
}

TEST_F(StationArrivals, WithoutTheMonitorArrivalsAreNotFollowed)
{
    LinuxStation station(Root().string(), [](int, unsigned long, void*) { return 0; });
    EXPECT_FALSE(station.TracksDiskArrivals());
    testsupport::FakeClockScope clock;  // the wait is a plain pause of station time
    EXPECT_FALSE(station.WaitForDiskArrival(station.DiskArrivalMark(), 5000));
}

}  // namespace
