#include "disk/WriteReadTest.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace disk {

bool FreeSpaceHoldsTestFile(int64_t freeMiB, uint32_t fileSize)
{
    return freeMiB == -1 || freeMiB >= static_cast<int64_t>((uint64_t{fileSize} * 10) >> 20);
}

std::string RunWrRdCycles(platform::IVolumeFiles& volume, const WrRdTestPlan& plan, const ByteProgress& progress)
{
    if (plan.count == 0) return {};
    const uint32_t size = plan.fileSize;
    std::vector<uint8_t> m_ucpReadBuffer, m_ucpWriteBuffer;
    try {
        m_ucpReadBuffer.resize(std::max<uint32_t>(size, 1));
        m_ucpWriteBuffer.resize(std::max<uint32_t>(size, 1));
    } catch (const std::bad_alloc&) {
        DBG_ERR("%s:%d: File  memory allocated Fail!!!: File1:%s , dwSizeFile1 = %lld, dwErrorCode %d",
                plan.sourcePath.c_str(), static_cast<long long>(size), 0);
        return "no memory for the test file's buffers";
    }
    const std::string target = std::string(1, plan.driveLetter) + ":\\" + plan.fileName;
    for (uint32_t cycle = 0; cycle < plan.count; ++cycle) {
        m_ucpReadBuffer[0] = 0;
        std::memset(m_ucpWriteBuffer.data(), 0, std::min<size_t>(4, m_ucpWriteBuffer.size()));
        if (!CUSBUtility::Instance().vReadFile(plan.sourcePath, m_ucpReadBuffer.data(), size)) {
            DBG_ERR("%s:%d: ChildThreadFun: [%d] TestCount[%d] vReadFile[%s] Len[%d] Fail", plan.port, cycle,
                    plan.sourcePath.c_str(), static_cast<int>(size));
            return "the test file " + plan.sourcePath + " cannot be read";
        }
        std::memcpy(m_ucpWriteBuffer.data(), m_ucpReadBuffer.data(), size);
        volume.DeleteFile(plan.fileName);
        if (!VolumeWriteFile(volume, plan.fileName, target, m_ucpWriteBuffer.data(), size, progress)) {
            DBG_ERR("%s:%d: ChildThreadFun: [%d] TestCount[%d] vWriteFile[%s] Len[%d] Fail", plan.port, cycle,
                    target.c_str(), static_cast<int>(size));
            return "the test file cannot be written to " + target;
        }
        m_ucpReadBuffer[0] = 0;
        if (!VolumeReadFile(volume, plan.fileName, target, m_ucpReadBuffer.data(), size, progress)) {
            DBG_ERR("%s:%d: ChildThreadFun: [%d] TestCount[%d] vReadFile[%s] Len[%d] Fail", plan.port, cycle,
                    target.c_str(), static_cast<int>(size));
            return "the test file cannot be read back from " + target;
        }
        const auto mismatch = std::mismatch(m_ucpWriteBuffer.begin(), m_ucpWriteBuffer.begin() + size,
                                            m_ucpReadBuffer.begin());
        if (mismatch.first != m_ucpWriteBuffer.begin() + size) {
            // The first differing byte and its offset.
            DBG_ERR("%s:%d: ChildThreadFun: [%d] TestCount[%d] Cmp m_ucpWriteBuffer[%x] and m_ucpReadBuffer[%x] "
                    "Size[%d] Invalid [%d]",
                    plan.port, cycle, *mismatch.first, *mismatch.second, static_cast<int>(size),
                    static_cast<int>(mismatch.first - m_ucpWriteBuffer.begin()));
            volume.DeleteFile(plan.fileName);
            return "the test file did not read back as written on " + target;
        }
        volume.DeleteFile(plan.fileName);
    }
    return {};
}

}  // namespace disk
