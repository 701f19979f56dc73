// SCSI commands through SG_IO: the sg header the station hands to the ioctl, and
// how the header's answer becomes the request's outcome.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/linux/SgIo.h"

namespace {

using platform::ScsiDirection;
using platform::ScsiOutcome;
using platform::ScsiRequest;
using platform::ScsiTransport;
using platform::linuxst::SendScsi;

// An ioctl that keeps a copy of the header it was given and answers through `answer`.
struct FakeSg {
    int calls = 0;
    int fd = -1;
    unsigned long request = 0;
    sg_io_hdr_t seen{};
    std::vector<uint8_t> cdb;
    std::function<int(sg_io_hdr_t&)> answer = [](sg_io_hdr_t&) { return 0; };

    platform::linuxst::IoctlFunction Function()
    {
        return [this](int f, unsigned long r, void* argument) {
            ++calls;
            fd = f;
            request = r;
            auto& header = *static_cast<sg_io_hdr_t*>(argument);
            seen = header;
            cdb.assign(header.cmdp, header.cmdp + header.cmd_len);
            return answer(header);
        };
    }
};

TEST(SgIo, InquiryGoesOutAsAReadWithItsCdbLengthAndTimeOutInMilliseconds)
{
    FakeSg sg;
    sg.answer = [](sg_io_hdr_t& h) {
        std::memset(h.dxferp, 0x5A, h.dxfer_len);
        h.resid = 6;  // the device sent 30 of the 36 bytes
        return 0;
    };
    const uint8_t cdb[] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    std::vector<uint8_t> data(36, 0);
    const ScsiOutcome outcome = SendScsi(7, {cdb, ScsiDirection::kIn, data, 10, 32}, sg.Function());

    EXPECT_EQ(sg.fd, 7);
    EXPECT_EQ(sg.request, static_cast<unsigned long>(SG_IO));
    EXPECT_EQ(sg.seen.interface_id, 'S');
    EXPECT_EQ(sg.seen.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(sg.cdb, std::vector<uint8_t>(cdb, cdb + 6));
    EXPECT_EQ(sg.seen.dxfer_len, 36u);
    EXPECT_EQ(sg.seen.dxferp, data.data());
    EXPECT_EQ(sg.seen.timeout, 10000u);
    EXPECT_GE(sg.seen.mx_sb_len, 32);
    EXPECT_EQ(sg.seen.iovec_count, 0);
    EXPECT_EQ(outcome.transport, ScsiTransport::kDone);
    EXPECT_EQ(outcome.bytesMoved, 30u);
    EXPECT_EQ(data[0], 0x5A);
}

TEST(SgIo, WriteAndNoDataDirections)
{
    FakeSg sg;
    const uint8_t write[] = {0xE1, 0x01, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> data(128, 0xA5);
    EXPECT_EQ(SendScsi(3, {write, ScsiDirection::kOut, data, 60, 18}, sg.Function()).bytesMoved, 128u);
    EXPECT_EQ(sg.seen.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(sg.seen.cmd_len, 12);
    EXPECT_EQ(sg.seen.dxferp, data.data());

    const uint8_t testUnitReady[6] = {};
    EXPECT_EQ(SendScsi(3, {testUnitReady, ScsiDirection::kNone, {}, 5, 18}, sg.Function()).transport,
              ScsiTransport::kDone);
    EXPECT_EQ(sg.seen.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(sg.seen.dxfer_len, 0u);
    EXPECT_EQ(sg.seen.dxferp, nullptr);
}

TEST(SgIo, CheckConditionKeepsStatusAndAsMuchSenseAsTheCallerTakes)
{
    FakeSg sg;
    const std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};
    sg.answer = [&](sg_io_hdr_t& h) {
        h.status = 0x02;
        h.masked_status = 0x01;
        h.driver_status = 0x08;  // sense data follows
        h.sb_len_wr = static_cast<unsigned char>(sense.size());
        std::memcpy(h.sbp, sense.data(), sense.size());
        h.resid = static_cast<int>(h.dxfer_len);
        return 0;
    };
    const uint8_t cdb[] = {0xE4, 0x01, 0x51, 0x00, 0x00, 0x00};
    std::vector<uint8_t> data(1);
    ScsiOutcome outcome = SendScsi(3, {cdb, ScsiDirection::kIn, data, 10, 32}, sg.Function());
    EXPECT_EQ(outcome.transport, ScsiTransport::kDone);
    EXPECT_EQ(outcome.scsiStatus, 0x02);
    EXPECT_EQ(outcome.sense, sense);
    EXPECT_EQ(outcome.bytesMoved, 0u);

    outcome = SendScsi(3, {cdb, ScsiDirection::kIn, data, 10, 8}, sg.Function());
    EXPECT_EQ(outcome.sense, std::vector<uint8_t>(sense.begin(), sense.begin() + 8));
}

TEST(SgIo, TransportFailuresAreToldApart)
{
    const uint8_t cdb[] = {0x12, 0, 0, 0, 0x24, 0};
    std::vector<uint8_t> data(36);
    auto run = [&](std::function<int(sg_io_hdr_t&)> answer) {
        FakeSg sg;
        sg.answer = std::move(answer);
        return SendScsi(3, {cdb, ScsiDirection::kIn, data, 1, 18}, sg.Function());
    };
    EXPECT_EQ(run([](sg_io_hdr_t& h) { return h.host_status = 0x03, 0; }).transport, ScsiTransport::kTimedOut);
    EXPECT_EQ(run([](sg_io_hdr_t& h) { return h.driver_status = 0x06, 0; }).transport, ScsiTransport::kTimedOut);
    EXPECT_EQ(run([](sg_io_hdr_t& h) { return h.host_status = 0x01, 0; }).transport, ScsiTransport::kNoDevice);
    EXPECT_EQ(run([](sg_io_hdr_t& h) { return h.host_status = 0x07, 0; }).transport, ScsiTransport::kFailed);
    const ScsiOutcome gone = run([](sg_io_hdr_t&) { return errno = ENODEV, -1; });
    EXPECT_EQ(gone.transport, ScsiTransport::kNoDevice);
    EXPECT_EQ(gone.systemError, ENODEV);
    EXPECT_EQ(run([](sg_io_hdr_t&) { return errno = EINVAL, -1; }).transport, ScsiTransport::kBadRequest);
    EXPECT_EQ(run([](sg_io_hdr_t&) { return errno = ENOTTY, -1; }).transport, ScsiTransport::kFailed);
}

TEST(SgIo, ResidualsOutsideTheTransferMoveNothingOrAll)
{
    const uint8_t cdb[] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    std::vector<uint8_t> data(512);
    FakeSg sg;
    sg.answer = [](sg_io_hdr_t& h) { return h.resid = 4096, 0; };
    EXPECT_EQ(SendScsi(3, {cdb, ScsiDirection::kIn, data, 1, 18}, sg.Function()).bytesMoved, 0u);
    sg.answer = [](sg_io_hdr_t& h) { return h.resid = -5, 0; };
    EXPECT_EQ(SendScsi(3, {cdb, ScsiDirection::kIn, data, 1, 18}, sg.Function()).bytesMoved, 512u);
}

TEST(SgIo, MalformedRequestsNeverReachTheDriver)
{
    FakeSg sg;
    std::vector<uint8_t> data(4);
    const uint8_t longCdb[17] = {0x12};
    const uint8_t cdb[] = {0x12, 0, 0, 0, 4, 0};
    EXPECT_EQ(SendScsi(3, {{}, ScsiDirection::kIn, data, 1, 18}, sg.Function()).transport, ScsiTransport::kBadRequest);
    EXPECT_EQ(SendScsi(3, {longCdb, ScsiDirection::kIn, data, 1, 18}, sg.Function()).transport,
              ScsiTransport::kBadRequest);
    EXPECT_EQ(SendScsi(3, {cdb, ScsiDirection::kNone, data, 1, 18}, sg.Function()).transport,
              ScsiTransport::kBadRequest);
    EXPECT_EQ(sg.calls, 0);
}

TEST(SgIo, AHugeTimeOutDoesNotWrapAround)
{
    FakeSg sg;
    const uint8_t cdb[6] = {};
    SendScsi(3, {cdb, ScsiDirection::kNone, {}, UINT32_MAX, 18}, sg.Function());
    EXPECT_GE(sg.seen.timeout, (UINT_MAX / 1000 - 1) * 1000);
}

}  // namespace
