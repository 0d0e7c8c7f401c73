#include "link/ft232.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/fake_ftdi.h"

using Names = std::vector<std::string>;

TEST(FT232, OpenFailureRaisesWithTheSerialNumber) {
  fake::Installed fake;
  fake->add("VRT00001");
  try {
    TFT232 port("VRT99999");
    FAIL() << "open of an absent unit succeeded";
  } catch (const TFT232Exception &e) {
    EXPECT_STREQ(e.what(), "Device VRT99999 can not open");
  }
  ASSERT_EQ(fake->calls.size(), 1u);
  EXPECT_EQ(fake->calls[0].fn, "OpenEx");
  EXPECT_EQ(fake->calls[0].args, std::vector<std::uint64_t>{FT_OPEN_BY_SERIAL_NUMBER});
}

TEST(FT232, LineOperationsFollowTheSenseOfTheirArgument) {
  fake::Installed fake;
  auto &unit = fake->add("VRT00001");
  TFT232 port("VRT00001");
  fake->clearCalls();
  port.ClearRts(true);
  EXPECT_FALSE(fake->devices[0].rts);
  port.ClearRts(false);
  EXPECT_TRUE(fake->devices[0].rts);
  port.ClearDtr(true);
  EXPECT_FALSE(fake->devices[0].dtr);
  port.ClearDtr(false);
  EXPECT_TRUE(fake->devices[0].dtr);
  EXPECT_EQ(fake->names(), (Names{"ClrRts", "SetRts", "ClrDtr", "SetDtr"}));
  (void)unit;
}

TEST(FT232, CtsClearLooksAtBit0x10Alone) {
  fake::Installed fake;
  fake->add("VRT00001");
  TFT232 port("VRT00001");
  auto &unit = fake->devices[0];
  for (ULONG other : {0x00u, 0x20u, 0x40u, 0x80u, 0xE0u, 0xFFFFFFEFu}) {
    unit.modemStatus = other & ~0x10u;
    EXPECT_TRUE(port.CtsClear()) << std::hex << unit.modemStatus;
    unit.modemStatus = other | 0x10u;
    EXPECT_FALSE(port.CtsClear()) << std::hex << unit.modemStatus;
  }
  unit.modemStatus = 0;
  unit.modemCallStatus = FT_IO_ERROR;
  EXPECT_FALSE(port.CtsClear()) << "a modem status that cannot be read is not a clear CTS";
}

TEST(FT232, RxQueueCountIsMinusOneWhenTheStatusCallFails) {
  fake::Installed fake;
  fake->add("VRT00001");
  TFT232 port("VRT00001");
  fake->devices[0].rx = {1, 2, 3};
  EXPECT_EQ(port.RxQueueCount(), 3);
  fake->devices[0].statusStatus = FT_IO_ERROR;
  EXPECT_EQ(port.RxQueueCount(), -1);
}

TEST(FT232, SetBitModeKeepsItsStatus) {
  fake::Installed fake;
  fake->add("VRT00001");
  TFT232 port("VRT00001");
  EXPECT_TRUE(port.SetBitMode(0, 0));
  EXPECT_EQ(port.LastStatus, FT_OK);
  ASSERT_EQ(fake->calls.back().fn, "SetBitMode");
  EXPECT_EQ(fake->calls.back().args, (std::vector<std::uint64_t>{0, 0}));
}

TEST(FT232, DestroyingClosesThenPauses) {
  fake::Installed fake;
  fake->add("VRT00001");
  auto port = std::make_unique<TFT232>("VRT00001");
  const auto before = std::chrono::steady_clock::now();
  port.reset();
  const auto after = std::chrono::steady_clock::now();
  EXPECT_EQ(fake->names().back(), "Close");
  EXPECT_FALSE(fake->devices[0].isOpen);
  EXPECT_GE(after - before, std::chrono::milliseconds(10));
}

TEST(FTListing, CountDescriptionAndSerialInDriverOrder) {
  fake::Installed fake;
  fake->add("VRT00001");
  fake->add("FT1234", "USB Serial Converter");
  ASSERT_EQ(GetFTDeviceCount(), FT_OK);
  EXPECT_EQ(FTDeviceCount, 2u);
  ASSERT_EQ(GetFTDeviceDescription(1), FT_OK);
  EXPECT_EQ(FTListText, "USB Serial Converter");
  ASSERT_EQ(GetFTDeviceSerialNo(0), FT_OK);
  EXPECT_EQ(FTListText, "VRT00001");
  EXPECT_EQ(fake->calls[0].args, std::vector<std::uint64_t>{FT_LIST_NUMBER_ONLY});
  EXPECT_EQ(fake->calls[1].args, (std::vector<std::uint64_t>{1, 0x40000002u}));
  EXPECT_EQ(fake->calls[2].args, (std::vector<std::uint64_t>{0, 0x40000001u}));
}

TEST(FTListing, LongTextsAreCutAt49Characters) {
  fake::Installed fake;
  const std::string description(63, 'D');
  fake->add(std::string(49, 'S') + "tail", description);
  ASSERT_EQ(GetFTDeviceDescription(0), FT_OK);
  EXPECT_EQ(FTListText, std::string(49, 'D'));
  ASSERT_EQ(GetFTDeviceSerialNo(0), FT_OK);
  EXPECT_EQ(FTListText, std::string(49, 'S'));
}

TEST(FTListing, AFailedCallLeavesTheStateAsItWas) {
  fake::Installed fake;
  fake->add("VRT00001");
  fake->add("VRT00002").listStatus = FT_IO_ERROR;
  ASSERT_EQ(GetFTDeviceCount(), FT_OK);
  ASSERT_EQ(GetFTDeviceSerialNo(0), FT_OK);
  EXPECT_NE(GetFTDeviceSerialNo(1), FT_OK);
  EXPECT_EQ(FTListText, "VRT00001");
  fake->countStatus = FT_IO_ERROR;
  fake->devices.clear();
  EXPECT_NE(GetFTDeviceCount(), FT_OK);
  EXPECT_EQ(FTDeviceCount, 2u);
}
