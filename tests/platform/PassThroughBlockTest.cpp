// The pass-through block read as a neutral request and the outcome written back,
// byte for byte at the header offsets the host side reads.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/PassThroughBlock.h"

namespace {

using namespace platform;

// A plain block as the host side lays it out: header, sense at 48, data at 80.
std::vector<uint8_t> PlainBlock(const std::vector<uint8_t>& cdb, uint8_t dataIn, uint32_t length, uint32_t timeout)
{
    std::vector<uint8_t> block(kDataOffset + length, 0);
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof(SCSI_PASS_THROUGH);
    header.CdbLength = static_cast<uint8_t>(cdb.size());
    header.SenseInfoLength = kSenseBufferSize;
    header.DataIn = dataIn;
    header.DataTransferLength = length;
    header.TimeOutValue = timeout;
    header.DataBufferOffset = kDataOffset;
    header.SenseInfoOffset = kSenseOffset;
    std::memcpy(header.Cdb, cdb.data(), cdb.size());
    std::memcpy(block.data(), &header, sizeof header);
    return block;
}

TEST(PassThroughBlock, PlainReadBecomesARequestOnTheOutputData)
{
    auto block = PlainBlock({0xE4, 0x07, 0x50, 0x07, 0xF0, 0x00}, SCSI_IOCTL_DATA_IN, 7, 15);
    PassThroughCall call;
    uint32_t error = 99;
    ASSERT_TRUE(DecodePassThrough(IOCTL_SCSI_PASS_THROUGH, block.data(), static_cast<uint32_t>(block.size()),
                                  block.data(), static_cast<uint32_t>(block.size()), call, error));
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(call.request.cdb.begin(), call.request.cdb.end()),
              (std::vector<uint8_t>{0xE4, 0x07, 0x50, 0x07, 0xF0, 0x00}));
    EXPECT_EQ(call.request.direction, ScsiDirection::kIn);
    EXPECT_EQ(call.request.data.data(), block.data() + kDataOffset);
    EXPECT_EQ(call.request.data.size(), 7u);
    EXPECT_EQ(call.request.timeoutSeconds, 15u);
    EXPECT_EQ(call.request.senseCapacity, kSenseBufferSize);

    ScsiOutcome outcome;
    outcome.transport = ScsiTransport::kDone;
    outcome.scsiStatus = 0x02;
    outcome.sense = {0x70, 0x00, 0x05};
    outcome.bytesMoved = 5;
    uint32_t returned = 0;
    ASSERT_TRUE(EncodePassThrough(call, outcome, block.data(), block.data(), static_cast<uint32_t>(block.size()),
                                  &returned, error));
    EXPECT_EQ(block[offsetof(SCSI_PASS_THROUGH, ScsiStatus)], 0x02);
    EXPECT_EQ(block[offsetof(SCSI_PASS_THROUGH, SenseInfoLength)], 3);
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + kSenseOffset, block.begin() + kSenseOffset + 3),
              (std::vector<uint8_t>{0x70, 0x00, 0x05}));
    uint32_t moved = 0;
    std::memcpy(&moved, block.data() + offsetof(SCSI_PASS_THROUGH, DataTransferLength), sizeof moved);
    EXPECT_EQ(moved, 5u);
    EXPECT_EQ(returned, kDataOffset + 5);
}

TEST(PassThroughBlock, DirectWriteUsesTheCallersBuffer)
{
    std::vector<uint8_t> data(4096, 0x11);
    std::vector<uint8_t> block(kDataOffset, 0);
    SCSI_PASS_THROUGH_DIRECT header{};
    header.Length = sizeof header;
    header.CdbLength = 12;
    header.SenseInfoLength = kSenseBufferSize;
    header.DataIn = SCSI_IOCTL_DATA_OUT;
    header.DataTransferLength = static_cast<uint32_t>(data.size());
    header.TimeOutValue = 60;
    header.DataBuffer = data.data();
    header.SenseInfoOffset = kSenseOffset;
    header.Cdb[0] = 0xE1;
    std::memcpy(block.data(), &header, sizeof header);
    PassThroughCall call;
    uint32_t error = 0;
    ASSERT_TRUE(DecodePassThrough(IOCTL_SCSI_PASS_THROUGH_DIRECT, block.data(), kDataOffset, block.data(),
                                  kDataOffset, call, error));
    EXPECT_EQ(call.request.direction, ScsiDirection::kOut);
    EXPECT_EQ(call.request.data.data(), data.data());
    EXPECT_EQ(call.request.cdb.size(), 12u);

    ScsiOutcome outcome;
    outcome.transport = ScsiTransport::kDone;
    outcome.bytesMoved = 99999;  // more than asked: never reported beyond the request
    uint32_t returned = 0;
    ASSERT_TRUE(EncodePassThrough(call, outcome, block.data(), block.data(), kDataOffset, &returned, error));
    uint32_t moved = 0;
    std::memcpy(&moved, block.data() + offsetof(SCSI_PASS_THROUGH, DataTransferLength), sizeof moved);
    EXPECT_EQ(moved, 4096u);
    EXPECT_EQ(returned, kDataOffset);
}

TEST(PassThroughBlock, MalformedBlocksAreRefused)
{
    PassThroughCall call;
    uint32_t error = 0;
    auto block = PlainBlock({0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, 36, 5);
    const auto size = static_cast<uint32_t>(block.size());
    EXPECT_FALSE(DecodePassThrough(0x12345, block.data(), size, block.data(), size, call, error));
    EXPECT_EQ(error, ERROR_INVALID_FUNCTION);

    auto shortOutput = block;
    EXPECT_FALSE(DecodePassThrough(IOCTL_SCSI_PASS_THROUGH, shortOutput.data(), size, shortOutput.data(), size - 1,
                                   call, error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

    auto badCdb = PlainBlock(std::vector<uint8_t>(6, 0), SCSI_IOCTL_DATA_IN, 36, 5);
    badCdb[offsetof(SCSI_PASS_THROUGH, CdbLength)] = 17;
    EXPECT_FALSE(DecodePassThrough(IOCTL_SCSI_PASS_THROUGH, badCdb.data(), size, badCdb.data(), size, call, error));

    auto badLength = block;
    badLength[0] = 40;
    EXPECT_FALSE(
        DecodePassThrough(IOCTL_SCSI_PASS_THROUGH, badLength.data(), size, badLength.data(), size, call, error));
}

TEST(PassThroughBlock, TransportFailuresWriteNothingAndNameTheirError)
{
    auto block = PlainBlock({0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, 36, 5);
    const auto size = static_cast<uint32_t>(block.size());
    PassThroughCall call;
    uint32_t error = 0;
    ASSERT_TRUE(DecodePassThrough(IOCTL_SCSI_PASS_THROUGH, block.data(), size, block.data(), size, call, error));
    const auto before = block;
    ScsiOutcome outcome;
    outcome.transport = ScsiTransport::kTimedOut;
    outcome.scsiStatus = 0x02;
    uint32_t returned = 7;
    EXPECT_FALSE(EncodePassThrough(call, outcome, block.data(), block.data(), size, &returned, error));
    EXPECT_EQ(error, ERROR_SEM_TIMEOUT);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(block, before);
    EXPECT_EQ(TransportError(ScsiTransport::kNoDevice), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(TransportError(ScsiTransport::kFailed), ERROR_IO_DEVICE);
}

}  // namespace
