#include "disk/Preload.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include "log/DebugLog.h"
#include "platform/Station.h"

namespace disk {

namespace fs = std::filesystem;

namespace {
// The entries of a folder by name, so every copy of a tree runs the same way.
bool SortedEntries(const fs::path& folder, std::vector<fs::directory_entry>& entries, std::string& error)
{
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) entries.push_back(*it);
    if (ec) {
        error = "the folder " + folder.string() + " cannot be read: " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    return true;
}

std::string Join(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

// A link to a folder is never followed.
bool IsLinkedFolder(const fs::directory_entry& entry)
{
    std::error_code ec;
    return entry.is_symlink(ec) && entry.is_directory(ec);
}
}  // namespace

std::optional<uint64_t> FolderSize(const fs::path& folder, std::string& error)
{
    std::vector<fs::directory_entry> entries;
    if (!SortedEntries(folder, entries, error)) return std::nullopt;
    uint64_t total = 0;
    for (const auto& entry : entries) {
        std::error_code ec;
        if (IsLinkedFolder(entry)) {
            error = "the link to a folder " + entry.path().string() + " is not copied";
            return std::nullopt;
        }
        if (entry.is_directory(ec)) {
            const auto below = FolderSize(entry.path(), error);
            if (!below) return std::nullopt;
            total += *below;
        } else {
            const auto size = fs::file_size(entry.path(), ec);
            if (ec) {
                error = "the file " + entry.path().string() + " cannot be read: " + ec.message();
                return std::nullopt;
            }
            total += size;
        }
    }
    return total;
}

CPreloadCopy::CPreloadCopy(platform::IVolumeFiles& volume, std::string shownTarget, ByteProgress progress)
    : m_Volume(volume), m_strShownTarget(std::move(shownTarget)), m_Progress(std::move(progress))
{
}

std::string CPreloadCopy::Shown(const std::string& target) const
{
    std::string shown = m_strShownTarget + "\\" + target;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

bool CPreloadCopy::CopyFileMem(const fs::path& source, const std::string& target)
{
    const std::string file1 = source.string(), file2 = Shown(target);
    std::error_code ec;
    const uint64_t dwSizeFile1 = fs::file_size(source, ec);
    if (ec) {
        m_strError = file1 + ": " + ec.message();
        return false;
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        DBG_ERR("%s:%d:  INVALID_HANDLE_VALUE Fail ,  file1[%s] , dwErrorCode %d", file1.c_str(), errno);
        m_strError = file1 + " cannot be opened";
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer;
    try {
        buffer.reset(new uint8_t[std::max<uint64_t>(std::min(dwSizeFile1, kCopyChunkBytes), 1)]);
    } catch (const std::bad_alloc&) {
        DBG_ERR("%s:%d: File  memory allocated Fail!!!: File1:%s , dwSizeFile1 = %lld, dwErrorCode %d", file1.c_str(),
                static_cast<long long>(dwSizeFile1), 0);
        m_strError = "no memory to copy " + file1;
        return false;
    }
    // An empty file is still created.
    if (dwSizeFile1 == 0 && !m_Volume.WriteFile(target, 0, buffer.get(), 0)) {
        DBG_ERR("%s:%d: CopyFileMem: vWriteFile[%s] Len[%d] Fail, dwError=%d", file2.c_str(), 0,
                platform::GetLastError());
        m_strError = file2 + ": " + m_Volume.Error();
        return false;
    }
    int ucReadCount = 0;
    for (uint64_t offset = 0; offset < dwSizeFile1; offset += kCopyChunkBytes) {
        const uint64_t length = std::min(kCopyChunkBytes, dwSizeFile1 - offset);
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(reinterpret_cast<char*>(buffer.get()), static_cast<std::streamsize>(length));
        if (static_cast<uint64_t>(in.gcount()) != length) {
            DBG_ERR("%s:%d: CompareFiles: vReadFile[%s] Len[%d] Fail, dwError=%d ", file1.c_str(),
                    static_cast<int>(length), errno);
            m_strError = file1 + " could not be read whole";
            return false;
        }
        if (!m_Volume.WriteFile(target, offset, buffer.get(), length)) {
            DBG_ERR("%s:%d: CopyFileMem: vWriteFile[%s] Len[%d] Fail, dwError=%d", file2.c_str(),
                    static_cast<int>(length), platform::GetLastError());
            m_strError = file2 + ": " + m_Volume.Error();
            return false;
        }
        ++ucReadCount;
        DBG_MSG("%s:%d: ucReadCount=%d, file2=[%s], buf[%lld]=%x ", ucReadCount, file2.c_str(),
                static_cast<long long>(offset + length - 1), buffer[length - 1]);
        if (m_Progress) m_Progress(length);
    }
    return true;
}

bool CPreloadCopy::Flush()
{
    if (m_Volume.Flush()) return true;
    DBG_ERR("%s:%d: vWriteFile: Flush Buffer Failed... , dwErrorCode %d", platform::GetLastError());
    m_strError = m_strShownTarget + ": " + m_Volume.Error();
    return false;
}

bool CPreloadCopy::Dir_Copy(const fs::path& source, const std::string& target, uint8_t port)
{
    std::vector<fs::directory_entry> entries;
    std::string error;
    // A folder that cannot be read is a failed copy, never an empty one.
    if (!SortedEntries(source, entries, error)) {
        DBG_ERR("%s:%d: Dir_Copy: [%s]->[%s] , dwErrorCode %d", source.string().c_str(), Shown(target).c_str(), 0);
        m_strError = error;
        return false;
    }
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        const std::string to = Join(target, name);
        std::error_code ec;
        if (IsLinkedFolder(entry)) {
            m_strError = "the link to a folder " + entry.path().string() + " is not copied";
            return false;
        }
        if (entry.is_directory(ec)) {
            if (!m_Volume.MakeDirectory(to)) {
                m_strError = Shown(to) + ": " + m_Volume.Error();
                return false;
            }
            if (!Dir_Copy(entry.path(), to, port)) return false;
        } else if (!CopyFileMem(entry.path(), to)) {
            DBG_ERR("%s:%d: CopyDirectory(): Copy [%s] to [%s] failed err = %d\n", entry.path().string().c_str(),
                    Shown(to).c_str(), platform::GetLastError());
            return false;
        }
    }
    return true;
}

}  // namespace disk
