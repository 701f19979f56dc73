// The raw read/write speed test of CBrvtUSBDev.
#include <cstdint>
#include <iterator>
#include <vector>

#include "device/BrvtUSBDev.h"
#include "device/DiskInfoArea.h"
#include "device/SpeedTest.h"
#include "log/DebugLog.h"

double DescribedWriteSpeed(double dReadSpeed, double dWriteSpeed)
{
    if (dReadSpeed >= dWriteSpeed) return dWriteSpeed + (dReadSpeed - dWriteSpeed) * 0.5;
    const double d = static_cast<double>(static_cast<int64_t>(dReadSpeed + dWriteSpeed) % 10);
    return dReadSpeed - (static_cast<double>(static_cast<int64_t>(d) % 5) + d / 10.0);
}

int CBrvtUSBDev::vReadWriteSpeedTest(char cDriveLetter, const DeviceInfo& device, double& dReadSpeed,
                                     double& dWriteSpeed, uint8_t position, uint32_t sizeMiB)
{
    m_fsdif_W = 0.0;
    m_fsdif_R = 0.0;
    DBG_MSG("%s:%d:  Entering WR Speed Test");
    if (GetDiskInfoArea(device).BytesPerSector == 0) {
        DBG_ERR("%s:%d: Sector size == 0");
        return -4;
    }
    if (position >= std::size(kSpeedTestSectors) || sizeMiB == 0) return -6;
    const uint64_t sector = kSpeedTestSectors[position];
    const uint32_t length = sizeMiB * 1048576u / 4;
    std::vector<uint8_t> backup(length), pattern(length, 0x55), readBack(length);
    for (int pass = 0; pass < 2; ++pass) {
        const uint8_t timed = pass == 1 ? 1 : 0;
        if (!vReadSectors(cDriveLetter, backup.data(), sector, length, 0)) {
            DBG_ERR("%s:%d: 1ST::backup data Fail");
            return -1;
        }
        int result = 0;
        if (!vWriteSectors(cDriveLetter, pattern.data(), sector, length, timed)) {
            DBG_ERR("%s:%d: OD R/W Test , TestCount[%d], Fail", pass);
            result = -2;
        } else if (!vReadSectors(cDriveLetter, readBack.data(), sector, length, timed)) {
            DBG_ERR("%s:%d:  OD R/W Test , TestCount[%d], Fail", pass);
            result = -3;
        }
        // The data found at the position goes back also after a failed pass:
        // the test never leaves the volume changed.
        if (!vWriteSectors(cDriveLetter, backup.data(), sector, length, 0)) {
            DBG_ERR("%s:%d: recovery data Fail");
            return -5;
        }
        if (result != 0) return result;
    }
    dWriteSpeed = m_fsdif_W;
    dReadSpeed = m_fsdif_R;
    DBG_MSG("%s:%d: Test Write Speed = %f, Test Read Speed = %f", dWriteSpeed, dReadSpeed);
    m_fsdif_W = 0.0;
    m_fsdif_R = 0.0;
    // The measured speeds are the result; the write speed the older tools
    // printed instead is logged for comparison only.
    DBG_MSG("%s:%d: Measured speeds reported; adjusted Write Speed would be %f",
            DescribedWriteSpeed(dReadSpeed, dWriteSpeed));
    DBG_MSG("%s:%d:  Leaving WR Speed Test");
    return 0;
}
