#include "util/USBUtility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace fs = std::filesystem;

const char* ProgramMessageCaption(int kind)
{
    switch (kind) {
    case kMsgError: return "Error";
    case kMsgTimeOut: return "TimeOut";
    case kMsgWarning: return "Warning";
    case kMsgInformation: return "Information";
    case kMsgQuestion: return "Question";
    default: return "";
    }
}

CUSBUtility& CUSBUtility::Instance()
{
    static CUSBUtility utility;
    return utility;
}

CUSBUtility::CUSBUtility()
{
    if (const char* home = std::getenv("DEVEDA_HOME"); home && *home) {
        m_strProgramFolder = home;
        return;
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    m_strProgramFolder = ec ? fs::current_path().string() : exe.parent_path().string();
}

std::string CUSBUtility::GetProgramFolder() const
{
    util::MutexLock lock(m_FolderLock);
    return m_strProgramFolder;
}

void CUSBUtility::SetProgramFolder(const std::string& folder)
{
    util::MutexLock lock(m_FolderLock);
    m_strProgramFolder = folder;
}

void CUSBUtility::SetMessageSink(IProgramMessageSink* sink)
{
    util::MutexLock lock(m_FolderLock);
    m_pMessageSink = sink;
}

int CUSBUtility::ShowProgramMessage(const std::string& text, int kind, unsigned flags, bool toFile)
{
    if (toFile) {
        if (!AppendRecord("ProgramMSG.txt", text + "\r\n"))
            DBG_ERR("%s:%d: ProgramMSG.txt: append Fail , dwErrorCode %d", errno);
        util::SleepMs(1000);
        return 0;
    }
    IProgramMessageSink* sink;
    {
        util::MutexLock lock(m_FolderLock);
        sink = m_pMessageSink;
    }
    if (sink) return sink->ShowMessageBox(text, ProgramMessageCaption(kind), kind, flags);
    std::fprintf(stderr, "%s: %s\n", ProgramMessageCaption(kind), text.c_str());
    return 0;
}

bool CUSBUtility::vReadFile(const std::string& path, uint8_t* buffer, uint32_t size)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] open Fail , dwErrorCode %d", path.c_str(), errno);
        return false;
    }
    std::error_code ec;
    const auto fileSize = fs::file_size(path, ec);
    bool ok = false;
    if (!ec && fileSize > size) {
        DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] , dwFileSize[%d] > dwReadBufferSize[%d]", path.c_str(),
                static_cast<int>(fileSize), static_cast<int>(size));
    } else {
        const size_t got = std::fread(buffer, 1, size, file);
        ok = got == size;
        if (!ok)
            DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] , dwRpt[%d] != dwReadBufferSize[%d]", path.c_str(),
                    static_cast<int>(got), static_cast<int>(size));
    }
    std::fclose(file);
    return ok;
}

bool CUSBUtility::vWriteFile(const std::string& path, const uint8_t* buffer, uint32_t size)
{
    const std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) {
        DBG_ERR("%s:%d: vWriteFile: strWriteLogicalAddress[%s] open Fail , dwErrorCode %d", path.c_str(), errno);
        return false;
    }
    const size_t put = std::fwrite(buffer, 1, size, file);
    const bool flushed = std::fclose(file) == 0;
    if (put != size || !flushed) {
        DBG_ERR("%s:%d: vWriteFile: strWriteLogicalAddress[%s] , dwRpt[%d] != dwWriteBufferSize[%d]", path.c_str(),
                static_cast<int>(put), static_cast<int>(size));
        std::remove(temp.c_str());
        return false;
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (!ec && fs::file_size(path, ec) == size && !ec) return true;
    DBG_ERR("%s:%d: vWriteFile: strWriteLogicalAddress[%s] size check Fail , dwErrorCode %d", path.c_str(), ec.value());
    std::remove(temp.c_str());
    return false;
}

bool AppendRecord(const std::string& path, const std::string& record)
{
    // O_APPEND positions the one write at the end, so concurrent appenders never
    // interleave. A write cut short (a full disk) is taken back: the file keeps
    // whole records only, and a file this call created is removed again.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat before {};
    const bool known = ::fstat(fd, &before) == 0;
    size_t put = 0;
    while (put < record.size()) {
        const ssize_t n = ::write(fd, record.data() + put, record.size() - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        put += static_cast<size_t>(n);
    }
    const bool whole = put == record.size() && ::fsync(fd) == 0;
    const int error = errno;
    if (!whole && known && ::ftruncate(fd, before.st_size) == 0 && before.st_size == 0) ::unlink(path.c_str());
    const bool closed = ::close(fd) == 0;
    errno = whole ? errno : error;
    return whole && closed;
}
