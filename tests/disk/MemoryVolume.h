#pragma once
// A volume held in memory, for the host side's copy and test logic: it records
// every write and can be told to damage what it stores or to refuse writes.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/VolumeFiles.h"

namespace disktest {

class MemoryVolume final : public platform::IVolumeFiles {
public:
    bool MakeDirectory(const std::string& path) override
    {
        if (!platform::IsVolumePath(path)) return false;
        folders.insert(path);
        return true;
    }
    bool WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length) override
    {
        if (!platform::IsVolumePath(path) || refuseWrites) return false;
        writes.push_back({path, offset, length});
        auto& file = files[path];
        if (offset == 0) file.clear();
        if (offset != file.size()) return false;
        const auto* bytes = static_cast<const uint8_t*>(data);
        file.insert(file.end(), bytes, bytes + length);
        if (corrupt && length) file[offset] ^= 0xFF;
        return true;
    }
    bool ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read) override
    {
        read = 0;
        const auto it = files.find(path);
        if (it == files.end()) return false;
        if (offset < it->second.size()) read = std::min<uint64_t>(length, it->second.size() - offset);
        if (read) std::memcpy(data, it->second.data() + offset, read);
        return true;
    }
    bool FileSize(const std::string& path, uint64_t& size) override
    {
        const auto it = files.find(path);
        if (it == files.end()) return false;
        size = it->second.size();
        return true;
    }
    bool DeleteFile(const std::string& path) override
    {
        files.erase(path);
        ++deletes;
        return true;
    }
    bool Flush() override
    {
        ++flushes;
        return true;
    }
    bool FreeSpace(uint64_t& bytes) override
    {
        bytes = 1ull << 30;
        return true;
    }
    std::string Error() const override { return refuseWrites ? "writes refused" : ""; }

    struct Write {
        std::string path;
        uint64_t offset, length;
    };
    std::map<std::string, std::vector<uint8_t>> files;
    std::set<std::string> folders;
    std::vector<Write> writes;
    int deletes = 0;
    int flushes = 0;
    bool corrupt = false;
    bool refuseWrites = false;
};

}  // namespace disktest
