// The pass-through request as the emulated device receives it: block layout,
// lengths, time-outs, the success rule and the register-read retry.
#include <gtest/gtest.h>

#include "StationFixture.h"
#include "log/DebugLog.h"

#include <algorithm>
#include <thread>

namespace {

using Transport = testsupport::EmulatedStationTest;
using Bytes = std::vector<uint8_t>;

TEST_F(Transport, RegisterReadBlockBankAndLengths)
{
    const HANDLE h = OpenDisk(1);
    uint8_t value = 0xEE;
    ASSERT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x20000, &value, 1), 0);
    auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xE4, 0x01, 0x51, 0x00, 0x00, 0x00}));
    EXPECT_EQ(r.ioControlCode, platform::IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(r.inBufferSize, 65616u);
    EXPECT_EQ(r.outBufferSize, 81u);
    EXPECT_EQ(r.dataIn, 1);
    EXPECT_EQ(r.dataTransferLength, 1u);
    EXPECT_EQ(r.timeOutValue, 3u);
    EXPECT_EQ(r.senseInfoLength, 24);

    ASSERT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0xC8FF, &value, 1), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE4, 0x01, 0x50, 0xC8, 0xFF, 0x00}));
    EXPECT_EQ(value, 0x30);

    Bytes page(256);
    ASSERT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x0700, page.data(), 256), 0);
    EXPECT_EQ(LastRequest().cdb[1], 0x00);  // 256 travels as N = 00
    EXPECT_EQ(LastRequest().outBufferSize, 80u + 256u);
    EXPECT_EQ(page[0xF0], 0x24);
    m_Station.CloseHandle(h);
}

TEST_F(Transport, RegisterWriteSendsOnlyTheFirstByteWithoutDataPhase)
{
    const HANDLE h = OpenDisk(2);
    uint8_t values[4] = {0x5C, 0x11, 0x22, 0x33};
    ASSERT_EQ(m_Dev.SCSI7951_AccessRegister(h, kWriteToDevice, 0x2601A, values, 4), 0);
    const auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xE5, 0x5C, 0x51, 0x60, 0x1A, 0x00}));
    EXPECT_EQ(r.dataIn, 0);
    EXPECT_EQ(r.dataTransferLength, 0u);
    EXPECT_EQ(r.timeOutValue, 60u);
    EXPECT_EQ(r.outBufferSize, 80u);
    EXPECT_EQ(Bridge(2).ReadRegister(0x2601A), 0x5C);
    EXPECT_EQ(Bridge(2).ReadRegister(0x2601B), 0x00);
    // The 8306 form sends bank byte 00.
    ASSERT_EQ(m_Dev.SCSI8306_AccessRegister(h, kReadFromDevice, 0xC8D1, values, 1), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE4, 0x01, 0x00, 0xC8, 0xD1, 0x00}));
    m_Station.CloseHandle(h);
}

TEST_F(Transport, InvalidHandlesAndLengthsIssueNothing)
{
    uint8_t buffer[257] = {};
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(bad, kReadFromDevice, 0, buffer, 1), -10);
        EXPECT_EQ(m_Dev.SCSI8306_AccessConfigEEPROM(bad, kReadFromDevice, buffer, 128, 0, 0), -10);
        EXPECT_EQ(m_Dev.SCSI7951_AccessFirmwareEEPROM_Direct(bad, kReadFromDevice, buffer, 16, 0, 0), -10);
        EXPECT_EQ(m_Dev.SCSI_CMD(bad, kWriteToDevice, buffer, 8, nullptr, 0), -10);
        EXPECT_EQ(m_Dev.SCSI8306_Inquiry(bad, buffer, 38), -10);
    }
    const HANDLE h = OpenDisk(1);
    EXPECT_EQ(m_Dev.SCSI8306_AccessConfigEEPROM(h, kReadFromDevice, buffer, 127, 0, 0), -10);
    EXPECT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kWriteToDevice, buffer, 129, 0, 0), -10);
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0, buffer, 257), -10);
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0, buffer, 0), -10);
    EXPECT_EQ(m_Dev.SCSI_CMD(h, kWriteToDevice, buffer, 17, nullptr, 0), -10);
    EXPECT_EQ(IoControls(), 0);
    // The reset-type commands log the bad handle and still issue the request.
    EXPECT_EQ(m_Dev.SCSI7951_CPURST(nullptr, 0x50), -1);
    EXPECT_EQ(m_Dev.SCSI8306_DisConnect(INVALID_HANDLE_VALUE), -1);
    EXPECT_EQ(IoControls(), 2);
    m_Station.CloseHandle(h);
}

TEST_F(Transport, CheckConditionFailsEvenThoughTheCallSucceeded)
{
    Fault(1, 0xE0, emu::FaultMode::CheckCondition, 1);
    const HANDLE h = OpenDisk(1);
    uint8_t table[128];
    EXPECT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kReadFromDevice, table, 128, 0, 0), -1);
    EXPECT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kReadFromDevice, table, 128, 0, 0), 0);
    m_Station.CloseHandle(h);
}

TEST_F(Transport, RegisterReadRetriesAFailedCallAfter20msPauses)
{
    Fault(1, 0xE4, emu::FaultMode::CallFails, 3);  // first call and two repetitions fail
    const HANDLE h = OpenDisk(1);
    uint8_t version[6] = {};
    const int64_t start = m_Clock.Now();
    ASSERT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x07F0, version, 6), 0);
    EXPECT_EQ(m_Clock.Now() - start, 60);
    EXPECT_EQ(version[0], 0x24);
    EXPECT_EQ(IoControls(), 4);
    m_Station.CloseHandle(h);
}

TEST_F(Transport, RegisterReadThatNeverSucceedsLeavesZeros)
{
    Fault(1, 0xE4, emu::FaultMode::CallFails, 100);
    const HANDLE h = OpenDisk(1);
    uint8_t version[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x07F0, version, 6), -1);
    EXPECT_EQ(IoControls(), 31);
    EXPECT_EQ(m_Clock.Now(), 30 * 20);
    for (uint8_t b : version) EXPECT_EQ(b, 0);
    // A register read answered with CHECK CONDITION is not repeated, and zeroes too.
    Fault(1, 0xE4, emu::FaultMode::CheckCondition, 1);
    version[0] = 9;
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x07F0, version, 6), -1);
    EXPECT_EQ(version[0], 0);
    // Writes are never repeated.
    Fault(1, 0xE5, emu::FaultMode::CallFails, 1);
    const int before = IoControls();
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kWriteToDevice, 0x07F0, version, 1), -1);
    EXPECT_EQ(IoControls(), before + 1);
    m_Station.CloseHandle(h);
}

TEST_F(Transport, HandleOfABridgeThatLeftTheBusFails)
{
    const HANDLE h = OpenDisk(3);
    ASSERT_EQ(m_Dev.SCSI7951_CPURST(h, 0x50), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE8, 0x50, 0, 0, 0, 0}));
    EXPECT_EQ(LastRequest().timeOutValue, 6u);
    EXPECT_EQ(LastRequest().dataIn, 1);
    uint8_t value;
    EXPECT_EQ(m_Dev.SCSI7951_AccessRegister(h, kReadFromDevice, 0x07F0, &value, 1), -1);
    EXPECT_FALSE(IsValidHandle(OpenDisk(3)));
    m_Station.CloseHandle(h);
}

TEST_F(Transport, SystemDiskKnowsNoVendorCommand)
{
    const HANDLE h = OpenDisk(0);
    ASSERT_TRUE(IsValidHandle(h));
    uint8_t inquiry[38];
    ASSERT_EQ(m_Dev.SCSI8306_Inquiry(h, inquiry, 38), 0);
    EXPECT_EQ(inquiry[36], 0);
    uint8_t table[128] = {};
    EXPECT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kWriteToDevice, table, 128, 0, 0), -1);
    m_Station.CloseHandle(h);
}

}  // namespace

namespace {

// Workers drive their own bridges at the same time, as an MP run does; two of
// them share one bridge, whose lock must keep every table whole.
TEST_F(Transport, ParallelWorkersKeepTheirBridgesApart)
{
    std::vector<std::jthread> workers;
    for (int worker = 0; worker < 6; ++worker)
        workers.emplace_back([this, worker] {
            const int disk = worker < 4 ? worker + 1 : 4;
            const HANDLE h = OpenDisk(disk);
            uint8_t table[128];
            for (int round = 0; round < 20; ++round) {
                std::fill(std::begin(table), std::end(table), static_cast<uint8_t>(worker * 32 + round));
                ASSERT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kWriteToDevice, table, 128, 0, 0), 0);
                uint8_t back[128];
                ASSERT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kReadFromDevice, back, 128, 0, 0), 0);
                // Whatever writer came last, the table is one writer's table.
                EXPECT_TRUE(std::all_of(back, back + 128, [&](uint8_t b) { return b == back[0]; }));
                if (disk != 4) {
                    EXPECT_EQ(back[0], table[0]);
                }
            }
            m_Station.CloseHandle(h);
        });
    workers.clear();
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
    EXPECT_EQ(Bridge(2).ConfigTable(0, 0)[0], 32 + 19);
}

}  // namespace
