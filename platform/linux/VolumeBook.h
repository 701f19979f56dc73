#pragma once
// What the Linux station knows about its volumes beyond the tree: which handle
// locked or dismounted a volume, which of the station's operations works on one,
// and the mounts made for views of a volume's files. Tools never run under the
// book's lock; an operation claims its volume first and releases it afterwards.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "log/DebugLog.h"
#include "platform/Station.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/MountedVolumeFiles.h"
#include "util/Clock.h"
#include "util/ThreadAnnotations.h"

namespace platform::linuxst {

// How long a volume request waits for another operation of the station on the
// same volume (a mount, an unmount, a label) to end.
constexpr int64_t kVolumeBusyWaitMs = 60'000;

// A partition of a disk as the book knows it: the whole disk's block name and
// the partition number (0 stands for the whole disk).
using VolumeKey = std::pair<std::string, uint32_t>;

struct VolumeBook {
    explicit VolumeBook(SysfsTree tree) : volumes(std::move(tree)) {}

    // Only read once the station is in use: its tools run without any lock.
    LinuxVolumes volumes;

    // A mount made for views of a volume's files.
    struct Mount {
        std::string name;  // its folder in the run folder
        uint64_t generation = 0;
        int views = 0;
    };
    util::Mutex lock;
    std::condition_variable released;  // an operation let go of a volume
    std::map<VolumeKey, uintptr_t> locks GUARDED_BY(lock);                // volume -> the handle that locked it
    std::map<VolumeKey, std::set<uintptr_t>> dismounts GUARDED_BY(lock);  // volume -> handles that dismounted it
    std::set<VolumeKey> busy GUARDED_BY(lock);                            // a station tool works on it (or its disk)
    std::map<VolumeKey, Mount> mounts GUARDED_BY(lock);
    uint64_t nextGeneration GUARDED_BY(lock) = 1;

    // Whether an operation of the station works on the volume, on its disk as a
    // whole, or (for the whole disk, partition 0) on any volume of it.
    bool Busy(const VolumeKey& key) REQUIRES(lock)
    {
        if (busy.count(key) || busy.count({key.first, 0})) return true;
        return key.second == 0 && std::any_of(busy.begin(), busy.end(),
                                              [&](const VolumeKey& other) { return other.first == key.first; });
    }
    // Why nothing but the holder may work on the volume now; empty when free
    // (or held only by the handle `except`).
    std::string HeldBy(const VolumeKey& key, uintptr_t except = 0) REQUIRES(lock)
    {
        for (const auto& [other, handle] : locks)
            if (handle != except && (other == key || (key.second == 0 && other.first == key.first)))
                return key.second == 0 && other != key ? "holding a volume locked by a handle" : "locked by a handle";
        for (const auto& [other, handles] : dismounts)
            for (uintptr_t handle : handles)
                if (handle != except && (other == key || (key.second == 0 && other.first == key.first)))
                    return key.second == 0 && other != key ? "holding a volume dismounted by a handle"
                                                           : "dismounted by a handle";
        if (Busy(key)) return "busy with another operation";
        return {};
    }
    // Claims the volume (partition 0: the whole disk) for an operation that runs
    // tools on it, waiting a while for another operation of the station to end;
    // false (ERROR_ACCESS_DENIED, traced, `why` set) when it stays held. The wait
    // holds the native mutex through the clock's wait, which the analysis cannot follow.
    bool Claim(const VolumeKey& key, const char* change, bool trace = true, std::string* why = nullptr)
        NO_THREAD_SAFETY_ANALYSIS
    {
        std::unique_lock<std::mutex> hold(lock.native());
        util::GetClock()->WaitMs(released, hold, kVolumeBusyWaitMs,
                                 [&]() NO_THREAD_SAFETY_ANALYSIS { return !Busy(key); });
        if (const std::string held = HeldBy(key); !held.empty()) {
            if (trace)
                DBG_ERR("%s:%d: %s partition %u not %s: %s", key.first.c_str(), key.second, change, held.c_str());
            if (why) *why = held;
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        busy.insert(key);
        return true;
    }
    enum class Hold { kLock, kDismount };
    // Notes that `handle` locks or dismounts the volume, waiting a while for
    // another operation of the station on it to end; false (ERROR_ACCESS_DENIED,
    // traced) when another handle holds it, an operation still works on it, or
    // (a lock) its files are in use.
    bool Take(const VolumeKey& key, uintptr_t handle, Hold what, uint32_t disk) NO_THREAD_SAFETY_ANALYSIS
    {
        std::unique_lock<std::mutex> hold(lock.native());
        util::GetClock()->WaitMs(released, hold, kVolumeBusyWaitMs,
                                 [&]() NO_THREAD_SAFETY_ANALYSIS { return !Busy(key); });
        std::string held = HeldBy(key, handle);
        if (held.empty() && what == Hold::kLock && mounts.count(key)) held = "its files are in use";
        if (!held.empty()) {
            DBG_ERR("%s:%d: disk %u partition %u not %s: %s", disk, key.second,
                    what == Hold::kLock ? "locked" : "dismounted", held.c_str());
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (what == Hold::kLock) locks[key] = handle;
        else dismounts[key].insert(handle);
        return true;
    }
    // Undoes Take: the volume could not be unmounted.
    void Drop(const VolumeKey& key, uintptr_t handle, Hold what) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        if (what == Hold::kLock) {
            if (const auto locked = locks.find(key); locked != locks.end() && locked->second == handle)
                locks.erase(locked);
        } else {
            DropDismount(key, handle);
        }
    }
    // Ends the lock `handle` holds on the volume, and its dismount with it: file
    // systems may work on the volume again. False when the handle holds no lock.
    bool Unlock(const VolumeKey& key, uintptr_t handle) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        const auto locked = locks.find(key);
        if (locked == locks.end() || locked->second != handle) return false;
        locks.erase(locked);
        DropDismount(key, handle);
        return true;
    }
    void DropDismount(const VolumeKey& key, uintptr_t handle) REQUIRES(lock)
    {
        if (const auto found = dismounts.find(key); found != dismounts.end()) {
            found->second.erase(handle);
            if (found->second.empty()) dismounts.erase(found);
        }
    }
    void Release(const VolumeKey& key) EXCLUDES(lock)
    {
        {
            util::MutexLock hold(lock);
            busy.erase(key);
        }
        released.notify_all();
    }
    // Forgets the mount of the volume for views: the station unmounts it.
    void ForgetMount(const VolumeKey& key) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        mounts.erase(key);
    }
    // Forgets the locks and dismounts of a closed handle.
    void ForgetHandle(uintptr_t handle) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        std::erase_if(locks, [&](const auto& held) { return held.second == handle; });
        for (auto& [key, handles] : dismounts) handles.erase(handle);
        std::erase_if(dismounts, [](const auto& held) { return held.second.empty(); });
    }
    // Whether `handle` locked or dismounted the volume.
    bool HeldByHandle(const VolumeKey& key, uintptr_t handle) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        const auto locked = locks.find(key);
        const auto dismounted = dismounts.find(key);
        return (locked != locks.end() && locked->second == handle) ||
               (dismounted != dismounts.end() && dismounted->second.count(handle));
    }
    // One more view of the volume's mount; 0 when it has none.
    uint64_t AddView(const VolumeKey& key, std::string& name) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        const auto found = mounts.find(key);
        if (found == mounts.end()) return 0;
        ++found->second.views;
        name = found->second.name;
        return found->second.generation;
    }
    // The volume was mounted at the folder `name` for a first view.
    uint64_t FirstView(const VolumeKey& key, const std::string& name) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        const uint64_t generation = nextGeneration++;
        mounts[key] = {name, generation, 1};
        return generation;
    }
    // Whether the mount a view was handed out on is still the volume's.
    bool Current(const VolumeKey& key, uint64_t generation) EXCLUDES(lock)
    {
        util::MutexLock hold(lock);
        const auto found = mounts.find(key);
        return found != mounts.end() && found->second.generation == generation;
    }
    // A view of the files of a mount is gone: the last one unmounts it.
    void ViewDone(const VolumeKey& key, uint64_t generation) EXCLUDES(lock)
    {
        std::string name;
        {
            util::MutexLock hold(lock);
            const auto found = mounts.find(key);
            if (found == mounts.end() || found->second.generation != generation || --found->second.views > 0) return;
            name = found->second.name;
            mounts.erase(found);
            busy.insert(key);
        }
        if (!volumes.Unmount(name))
            DBG_ERR("%s:%d: %s partition %u stays mounted at %s", key.first.c_str(), key.second,
                    volumes.MountFolder(name).c_str());
        Release(key);
    }
};

// The files of a volume mounted for them; the last view of a mount unmounts it,
// so that no file system stays mounted when no one works on it.
class VolumeView final : public IVolumeFiles {
public:
    VolumeView(std::shared_ptr<VolumeBook> book, VolumeKey key, uint64_t generation, std::filesystem::path folder)
        : m_Book(std::move(book)), m_Key(std::move(key)), m_Generation(generation), m_Files(std::move(folder))
    {
    }
    ~VolumeView() override { m_Book->ViewDone(m_Key, m_Generation); }
    VolumeView(const VolumeView&) = delete;
    VolumeView& operator=(const VolumeView&) = delete;

    bool MakeDirectory(const std::string& path) override { return Live() && m_Files.MakeDirectory(path); }
    bool WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length) override
    {
        return Live() && m_Files.WriteFile(path, offset, data, length);
    }
    bool ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read) override
    {
        read = 0;
        return Live() && m_Files.ReadFile(path, offset, data, length, read);
    }
    bool FileSize(const std::string& path, uint64_t& size) override { return Live() && m_Files.FileSize(path, size); }
    bool DeleteFile(const std::string& path) override { return Live() && m_Files.DeleteFile(path); }
    bool Flush() override { return Live() && m_Files.Flush(); }
    bool FreeSpace(uint64_t& bytes) override { return Live() && m_Files.FreeSpace(bytes); }
    std::string Error() const override { return m_Unmounted ? m_strError : m_Files.Error(); }

private:
    // False (ERROR_DEVICE_NOT_CONNECTED) once the station unmounted the volume
    // under the view (a format, a lock, a dismount, partitioning): its folder
    // may hold another mount by then.
    bool Live()
    {
        m_Unmounted = !m_Book->Current(m_Key, m_Generation);
        if (!m_Unmounted) return true;
        m_strError = m_Key.first + " partition " + std::to_string(m_Key.second) + " was unmounted under its files";
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }

    std::shared_ptr<VolumeBook> m_Book;
    VolumeKey m_Key;
    uint64_t m_Generation;
    MountedVolumeFiles m_Files;
    bool m_Unmounted = false;
    std::string m_strError;
};

}  // namespace platform::linuxst
