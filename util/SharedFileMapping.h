#pragma once
// A small file mapped into memory for reading and writing, shared with every
// other process that maps the same file: what one writes, the others see at once.
#include <cstddef>
#include <filesystem>

namespace util {

class SharedFileMapping {
public:
    // Maps the first `size` bytes of `file`, creating it (and growing it to `size`;
    // new bytes read as zero) when needed. Valid() is false when the file cannot be
    // opened, grown or mapped.
    SharedFileMapping(const std::filesystem::path& file, size_t size);
    ~SharedFileMapping();
    SharedFileMapping(const SharedFileMapping&) = delete;
    SharedFileMapping& operator=(const SharedFileMapping&) = delete;

    bool Valid() const { return m_Data != nullptr; }
    void* Data() const { return m_Data; }
    size_t Size() const { return m_Size; }

private:
    void* m_Data = nullptr;
    size_t m_Size = 0;
};

}  // namespace util
