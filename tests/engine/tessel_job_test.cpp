#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/engine/tessel_error.h"
#include "tessel/engine/tessel_job.h"
#include "tessel/records/error_code.h"

using zintar::ErrorCode;
using zintar::PeerPacket;
using zintar::TesselJob;

namespace {

PeerPacket dataPacket(bool frame, int size, char fill) {
  PeerPacket packet(PeerPacket::Data, frame);
  packet.header().setDataSize(uint32_t(size));
  std::memset(packet.data(), fill, size_t(size));
  return packet;
}

}  // namespace

TEST(ErrorTextTest, EveryCodeTheLibrarySetsHasAText) {
  for (uint32_t code : {ErrorCode::Successful, ErrorCode::NoTopology, ErrorCode::Timeout, ErrorCode::CannotCreate,
                        ErrorCode::NoSystemInfo, ErrorCode::SendReceive, ErrorCode::UnknownPacketType})
    EXPECT_STRNE(zintar::errorText(code), "Unknown error") << std::hex << code;
  EXPECT_STREQ(zintar::errorText(0x10301), "Timeout");
  EXPECT_STREQ(zintar::errorText(0x00000), "Successful");  // the table's ends
  EXPECT_STREQ(zintar::errorText(0x10F07), "Unrecognized packet type");
  for (uint32_t code : {0x00002u, 0x10104u, 0x10F09u, 0xFFFFFFFFu})
    EXPECT_STREQ(zintar::errorText(code), "Unknown error") << std::hex << code;
  TesselJob job;
  job.setError(0x10F03);
  EXPECT_STREQ(job.getErrorString(), "Can't retrive system information");
}

TEST(TesselJobTest, MessageTakesFrameDelayAndPayloadWithinBothBuffersAndClearRestoresTheDefaults) {
  PeerPacket framed = dataPacket(true, 12, 'm');
  framed.setFrameId(123456);
  framed.setPing(17);
  TesselJob job(TesselJob::JobMessage, 9, framed);
  EXPECT_EQ(job.getPeerId(), 9);
  EXPECT_EQ(job.getFrameId(), 123456);
  EXPECT_EQ(job.getPing(), 17);
  EXPECT_EQ(std::string(job.getData(), size_t(job.getDataSize())), std::string(12, 'm'));
  job.setError(5);
  job.clear();
  EXPECT_EQ(job.getType(), TesselJob::JobNone);
  EXPECT_EQ(job.getPeerId(), -1);
  EXPECT_EQ(job.getError(), 0u);
  EXPECT_EQ(job.getFrameId(), 0);
  EXPECT_EQ(job.getPing(), 60000);
  EXPECT_EQ(job.getDataSize(), 0);
  EXPECT_EQ(job.getData()[0], 0);
  TesselJob plain(TesselJob::JobMessage, 9, dataPacket(false, 1478, 'n'));
  EXPECT_EQ(plain.getFrameId(), 0);
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getDataSize(), 1478);
  // Headers that claim more than any packet can hold: the copy stops at the
  // packet's buffer and at the job's 1480 bytes (ASan checks the rest).
  for (bool frame : {false, true}) {
    PeerPacket packet = dataPacket(frame, frame ? 1478 : 1484, 'z');
    packet.header().setDataSize(2047);
    job.setData(3, packet);
    EXPECT_EQ(job.getDataSize(), frame ? 1478 : 1480);
    EXPECT_EQ(job.getData()[job.getDataSize() - 1], 'z');
  }
}

TEST(TesselJobTest, CopyConstructorCopiesUsedPayloadAssignmentCopiesAll) {
  // A job whose buffer holds 'f' beyond its 4 used bytes of 's'.
  TesselJob source;
  source.setData(1, dataPacket(false, 1480, 'f'));
  source.setData(2, dataPacket(false, 4, 's'));
  TesselJob assigned;
  assigned = source;
  EXPECT_EQ(assigned.getPeerId(), 2);
  EXPECT_EQ(std::string(assigned.getData(), 6), "ssssff");  // the whole buffer came along
  TesselJob copied(source);
  EXPECT_EQ(copied.getDataSize(), 4);
  EXPECT_EQ(std::string(copied.getData(), 4), "ssss");
}
