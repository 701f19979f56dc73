// The emulated station's device notifications and its in-memory state follow
// changes that another process makes to the station folder.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "../common/TestSupport.h"
#include "platform/emu/EmuStation.h"

namespace {

// Runs `change` on the station in `folder` in a child process and waits for it.
void InAnotherProcess(const std::filesystem::path& folder, bool (*change)(platform::EmuStation&))
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool done = false;
        {
            platform::EmuStation station(folder);
            done = change(station);
        }
        ::_exit(done ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
}

class SlowClockScope {
public:
    // A station clock so slow that the watcher's idle wake-up (a second of
    // station time) never comes while the test waits.
    SlowClockScope() { util::SetClock(std::make_shared<util::ScaledClock>(0.0001)); }
    ~SlowClockScope() { util::SetClock(std::make_shared<util::RealClock>()); }
};

TEST(EmuChangeWatch, UnplugInAnotherProcessReachesTheHandlerWithoutWaitingForAPoll)
{
    SlowClockScope clock;
    testsupport::TempFolder folder;
    platform::EmuStation station(folder.Path());
    std::mutex lock;
    std::condition_variable seen;
    std::vector<platform::DeviceChange> changes;
    station.RegisterDeviceNotification([&](platform::DeviceChange change) {
        std::lock_guard guard(lock);
        changes.push_back(change);
        seen.notify_all();
    });
    InAnotherProcess(folder.Path(), [](platform::EmuStation& other) { return other.SetBridgePlugged(3, false); });
    std::unique_lock guard(lock);
    ASSERT_TRUE(seen.wait_for(guard, std::chrono::seconds(20), [&] { return !changes.empty(); }));
    EXPECT_EQ(changes.front(), platform::DeviceChange::kRemoveComplete);
    guard.unlock();
    station.UnregisterDeviceNotification();
}

// The disks the station lists, the system disk included.
size_t DiskCount(platform::IStation& station)
{
    const auto disks = station.Disks();
    return static_cast<size_t>(
        std::count_if(disks.begin(), disks.end(), [](const platform::DiskDevice& disk) { return !disk.cdrom; }));
}

TEST(EmuChangeWatch, StateChangedByAnotherProcessIsReadAgain)
{
    testsupport::FakeClockScope clock;
    testsupport::TempFolder folder;
    platform::EmuStation station(folder.Path());
    ASSERT_EQ(DiskCount(station), 5u);  // the system disk and 4 bridges, now kept in memory
    const uint64_t mark = station.DiskArrivalMark();
    InAnotherProcess(folder.Path(), [](platform::EmuStation& other) { return other.SetBridgePlugged(2, false); });
    EXPECT_EQ(DiskCount(station), 4u);
    InAnotherProcess(folder.Path(), [](platform::EmuStation& other) { return other.SetBridgePlugged(2, true); });
    EXPECT_EQ(DiskCount(station), 5u);
    EXPECT_EQ(station.DisksArrivedSince(mark), std::vector<uint32_t>{5});
    EXPECT_EQ(station.World().BridgeState(2)->DiskNumber(), 5);
}

}  // namespace
