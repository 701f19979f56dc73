#pragma once
// The disks udev announced, numbered in the order they came, for the search
// for a disk that is about to come back: a mark is the number of the last
// arrival, the disks after a mark are asked for by their block names, and a
// waiter wakes at the next arrival.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/UdevEvents.h"

namespace platform::linuxst {

// The block name of the whole disk an event adds ("sdd"); nullopt for every
// other event (partitions, USB devices, removals, changes).
std::optional<std::string> ArrivedDisk(const UdevEvent& event);

class DiskArrivalLog {
public:
    // Notes the disk an event adds, if it adds one, and wakes the waiters.
    void Note(const UdevEvent& event);
    uint64_t Mark() const;
    // Block names of the disks that arrived after `mark`, oldest first (the
    // newest arrivals only, when more came than are kept).
    std::vector<std::string> Since(uint64_t mark) const;
    // Waits up to `ms` of the process clock for an arrival after `mark`; true
    // as soon as there is one.
    bool WaitSince(uint64_t mark, int64_t ms) const;

    // Whether arrivals are being followed (udev's monitor is running).
    void SetFollowing(bool following) { m_Following = following; }
    bool Following() const { return m_Following; }

private:
    static constexpr size_t kKept = 256;

    // The count and the arrivals are guarded by m_Lock.
    mutable std::mutex m_Lock;
    mutable std::condition_variable m_Wake;
    uint64_t m_Count = 0;
    std::deque<std::pair<uint64_t, std::string>> m_Arrivals;  // number, block name
    std::atomic<bool> m_Following{false};
};

}  // namespace platform::linuxst
