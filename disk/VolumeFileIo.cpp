#include "disk/VolumeFileIo.h"

#include <algorithm>

#include "log/DebugLog.h"
#include "platform/Station.h"

namespace disk {

bool VolumeReadFile(platform::IVolumeFiles& volume, const std::string& path, const std::string& shownPath,
                    uint8_t* buffer, uint32_t size, const ByteProgress& progress)
{
    uint64_t fileSize = 0;
    if (!volume.FileSize(path, fileSize)) {
        DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] open Fail , dwErrorCode %d", shownPath.c_str(),
                platform::GetLastError());
        return false;
    }
    if (fileSize > size) {
        DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] , dwFileSize[%d] > dwReadBufferSize[%d]",
                shownPath.c_str(), static_cast<int>(fileSize), static_cast<int>(size));
        return false;
    }
    uint64_t done = 0;
    while (done < size) {
        uint64_t got = 0;
        const uint64_t piece = std::min<uint64_t>(kFilePieceBytes, size - done);
        if (!volume.ReadFile(path, done, buffer + done, piece, got) || got == 0) break;
        done += got;
        if (progress) progress(got);
    }
    if (done != size) {
        DBG_ERR("%s:%d: vReadFile: strReadLogicalAddress[%s] , dwRpt[%d] != dwReadBufferSize[%d]", shownPath.c_str(),
                static_cast<int>(done), static_cast<int>(size));
        return false;
    }
    return true;
}

bool VolumeWriteFile(platform::IVolumeFiles& volume, const std::string& path, const std::string& shownPath,
                     const uint8_t* buffer, uint32_t size, const ByteProgress& progress)
{
    uint64_t done = 0;
    do {
        const uint64_t piece = std::min<uint64_t>(kFilePieceBytes, size - done);
        if (!volume.WriteFile(path, done, buffer + done, piece)) break;
        done += piece;
        if (progress && piece) progress(piece);
    } while (done < size);
    uint64_t written = 0;
    if (done != size || !volume.Flush()) {
        DBG_ERR("%s:%d: vWriteFile: strWriteLogicalAddress[%s] , dwRpt[%d] != dwWriteBufferSize[%d]",
                shownPath.c_str(), static_cast<int>(done), static_cast<int>(size));
        return false;
    }
    if (!volume.FileSize(path, written) || written != size) {
        DBG_ERR("%s:%d: vWriteFile: strWriteLogicalAddress[%s] size check Fail , dwErrorCode %d", shownPath.c_str(),
                platform::GetLastError());
        return false;
    }
    return true;
}

}  // namespace disk
