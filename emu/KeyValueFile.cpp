#include "emu/KeyValueFile.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace emu {

namespace fs = std::filesystem;

namespace {
std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}
}  // namespace

bool KeyValueFile::Load(const fs::path& path)
{
    m_Values.clear();
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        m_Values[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
    }
    return true;
}

bool KeyValueFile::Save(const fs::path& path) const
{
    std::ostringstream text;
    for (const auto& [key, value] : m_Values) text << key << " = " << value << '\n';
    return WriteBlob(path, text.str());
}

std::string KeyValueFile::Get(const std::string& key, const std::string& fallback) const
{
    const auto it = m_Values.find(key);
    return it == m_Values.end() ? fallback : it->second;
}

int64_t KeyValueFile::GetInt(const std::string& key, int64_t fallback) const
{
    const auto it = m_Values.find(key);
    if (it == m_Values.end()) return fallback;
    try {
        return std::stoll(it->second, nullptr, 0);
    } catch (...) {
        return fallback;
    }
}

std::string ReadBlob(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool WriteBlob(const fs::path& path, const std::string& bytes)
{
    fs::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return false;
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    return !ec;
}

void ReadBlobRange(const fs::path& path, uint64_t offset, uint8_t* out, size_t size)
{
    std::memset(out, 0, size);
    std::ifstream in(path, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(offset))) return;
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
}

bool WriteBlobRange(const fs::path& path, uint64_t offset, const uint8_t* data, size_t size)
{
    if (!fs::exists(path)) std::ofstream(path, std::ios::binary).flush();
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!io.seekp(static_cast<std::streamoff>(offset))) return false;
    return static_cast<bool>(io.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)));
}

}  // namespace emu
