#pragma once
// "key = value" text files holding the emulated world's state. Saving writes a
// temporary file and renames it, so a reader in another process never sees half a
// file.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace emu {

class KeyValueFile {
public:
    // Missing file: empty map, false.
    bool Load(const std::filesystem::path& path);
    bool Save(const std::filesystem::path& path) const;

    std::string Get(const std::string& key, const std::string& fallback = "") const;
    int64_t GetInt(const std::string& key, int64_t fallback) const;
    void Set(const std::string& key, const std::string& value) { m_Values[key] = value; }
    void SetInt(const std::string& key, int64_t value) { m_Values[key] = std::to_string(value); }
    void Erase(const std::string& key) { m_Values.erase(key); }
    const std::map<std::string, std::string>& Values() const { return m_Values; }

private:
    std::map<std::string, std::string> m_Values;
};

// Whole binary files and byte ranges inside them.
std::string ReadBlob(const std::filesystem::path& path);
bool WriteBlob(const std::filesystem::path& path, const std::string& bytes);
// Reads `size` bytes at `offset`; bytes beyond the end of the file read as 0.
void ReadBlobRange(const std::filesystem::path& path, uint64_t offset, uint8_t* out, size_t size);
// Writes in place, growing the file when needed.
bool WriteBlobRange(const std::filesystem::path& path, uint64_t offset, const uint8_t* data, size_t size);

}  // namespace emu
