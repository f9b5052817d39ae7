#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/engine/tessel_error.h"
#include "tessel/engine/tessel_job.h"

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

TEST(ErrorTextTest, EveryCodeHasItsMessageAndOthersAreUnknown) {
  struct Case {
    uint32_t code;
    const char* text;
  } cases[] = {
      {0x00000, "Successful"},
      {0x00001, "Version mismatched"},
      {0x10001, "Invalid login id or password"},
      {0x1010B, "There is no such room"},
      {0x10111, "There is no proper topology"},
      {0x1011F, "Asterisk is not ready yet"},
      {0x10203, "Unable to delete quiz"},
      {0x10301, "Timeout"},
      {0x10F01, "Can't allocate the memory or create an instance"},
      {0x10F03, "Can't retrive system information"},
      {0x10F05, "Can't send or receive a packet"},
      {0x10F07, "Unrecognized packet type"},
      {0x00002, "Unknown error"},
      {0x10002, "Unknown error"},
      {0x10104, "Unknown error"},
      {0x10F09, "Unknown error"},
      {0xFFFFFFFF, "Unknown error"},
  };
  for (const auto& c : cases) EXPECT_STREQ(zintar::errorText(c.code), c.text) << std::hex << c.code;
  TesselJob job;
  job.setError(0x10F03);
  EXPECT_STREQ(job.getErrorString(), "Can't retrive system information");
}

TEST(TesselJobTest, DefaultsAndClear) {
  TesselJob job(TesselJob::JobError, 42);
  job.setError(5);
  job.setPing(7);
  job.clear();
  EXPECT_EQ(job.getType(), TesselJob::JobNone);
  EXPECT_EQ(job.getPeerId(), -1);
  EXPECT_EQ(job.getError(), 0u);
  EXPECT_EQ(job.getFrameId(), 0);
  EXPECT_EQ(job.getPing(), 60000);
  EXPECT_EQ(job.getDataSize(), 0);
  EXPECT_EQ(job.getData()[0], 0);
}

TEST(TesselJobTest, MessageTakesFrameDelayAndPayload) {
  PeerPacket framed = dataPacket(true, 12, 'm');
  framed.setFrameId(123456);
  framed.setPing(17);
  TesselJob job(TesselJob::JobMessage, 9, framed);
  EXPECT_EQ(job.getType(), TesselJob::JobMessage);
  EXPECT_EQ(job.getPeerId(), 9);
  EXPECT_EQ(job.getFrameId(), 123456);
  EXPECT_EQ(job.getPing(), 17);
  EXPECT_EQ(job.getDataSize(), 12);
  EXPECT_EQ(std::string(job.getData(), 12), std::string(12, 'm'));

  TesselJob plain(TesselJob::JobMessage, 9, dataPacket(false, 1478, 'n'));
  EXPECT_EQ(plain.getFrameId(), 0);
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getDataSize(), 1478);
  EXPECT_EQ(plain.getData()[1477], 'n');
}

TEST(TesselJobTest, SetDataNeverRunsPastEitherBuffer) {
  // Headers that claim more than any packet can hold: the copy stops at the
  // packet's buffer and at the job's 1480 bytes (ASan checks the rest).
  for (bool frame : {false, true}) {
    PeerPacket packet = dataPacket(frame, frame ? 1478 : 1484, 'z');
    packet.header().setDataSize(2047);
    TesselJob job;
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
  EXPECT_EQ(assigned.getDataSize(), 4);
  EXPECT_EQ(std::string(assigned.getData(), 6), "ssssff");  // the whole buffer came along

  TesselJob copied(source);
  EXPECT_EQ(copied.getPeerId(), 2);
  EXPECT_EQ(copied.getDataSize(), 4);
  EXPECT_EQ(std::string(copied.getData(), 4), "ssss");
}
