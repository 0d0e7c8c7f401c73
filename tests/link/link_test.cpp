#include "link/link.h"

#include <gtest/gtest.h>

#include "d2xx/backend.h"
#include "tests/support/fake_ftdi.h"

using Names = std::vector<std::string>;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake->add("VRT00001");
    port = std::make_unique<TFT232>("VRT00001");
    fake->clearCalls();
  }
  fake::Device &unit() { return fake->devices[0]; }

  fake::Installed fake;
  std::unique_ptr<TFT232> port;
};

TEST_F(LinkTest, NothingWaitingAsksTheQueueTwiceAndNothingElse) {
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  EXPECT_EQ(fake->names(), (Names{"GetStatus", "GetStatus"}));
}

TEST_F(LinkTest, WaitingBytesAreReadOneByOneWithoutASecondQueueQuery) {
  unit().rx = {'O', 'K', '\n'};
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "OK\n");
  EXPECT_EQ(fake->names(), (Names{"GetStatus", "Read", "Read", "Read"}));
  for (std::size_t i = 1; i < fake->calls.size(); ++i)
    EXPECT_EQ(fake->calls[i].args, std::vector<std::uint64_t>{1});
}

TEST_F(LinkTest, AFailedReadReturnsWhatCameBeforeItAndTriesAReopen) {
  unit().rx = {'a', 'b', 'c', 'd', 'e'};
  unit().readsBeforeFailure = 2;
  const auto previous = port.get();
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "ab");
  // The unit is still open on the old port, so the reopen fails and the port stays.
  EXPECT_EQ(fake->names(), (Names{"GetStatus", "Read", "Read", "Read", "GetStatus", "OpenEx"}));
  EXPECT_EQ(port.get(), previous);
}

TEST_F(LinkTest, AnUnpluggedUnitIsTakenUpWhenItReturns) {
  unit().statusStatus = FT_IO_ERROR;
  unit().openStatus = FT_DEVICE_NOT_FOUND;  // gone from the bus
  const auto previous = port.get();
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  EXPECT_EQ(fake->names(), (Names{"GetStatus", "GetStatus", "OpenEx"}));
  EXPECT_EQ(port.get(), previous);
  // The reopen of a poll never waits for the unit, and opens after it may again.
  EXPECT_EQ(fake->openWaits, std::vector<d2xx::OpenWait>{d2xx::OpenWait::Never});
  EXPECT_EQ(d2xx::CurrentOpenWait(), d2xx::OpenWait::Bounded);

  // Plugged in again: the old handle is dead, the unit is free to open.
  unit().isOpen = false;
  unit().openStatus = FT_OK;
  unit().statusStatus = FT_OK;
  fake->clearCalls();
  const auto oldHandle = reinterpret_cast<std::uintptr_t>(port->Handle);
  unit().statusStatus = FT_IO_ERROR;
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  ASSERT_NE(port.get(), previous);
  // The reopen configures the new port as the first open does and closes the replaced one.
  const Names expected{"GetStatus", "GetStatus", "OpenEx",      "SetBitMode",
                       "SetDtr",    "ClrRts",    "SetBaudRate", "Close"};
  EXPECT_EQ(fake->names(), expected);
  EXPECT_EQ(fake->calls.back().handle, oldHandle);
  EXPECT_EQ(unit().baud, 9600u);
  EXPECT_FALSE(unit().rts);
  EXPECT_TRUE(unit().dtr);
}

TEST_F(LinkTest, SendTextWritesEveryByteIncludingZero) {
  const std::string text("AT@\0X\r\n", 7);
  EXPECT_TRUE(SendText(port.get(), text));
  EXPECT_EQ(unit().written, text);
  EXPECT_EQ(fake->names(), Names(7, "Write"));
}

TEST_F(LinkTest, SendTextOfNothingWritesNothing) {
  EXPECT_FALSE(SendText(port.get(), ""));
  EXPECT_TRUE(fake->calls.empty());
  EXPECT_FALSE(SendText(nullptr, "AT@NORM\r\n"));
}

TEST_F(LinkTest, AFailedWriteStopsTheSend) {
  unit().writesBeforeFailure = 3;
  EXPECT_FALSE(SendText(port.get(), "AT@NORM\r\n"));
  EXPECT_EQ(unit().written, "AT@");
  EXPECT_EQ(fake->names(), Names(4, "Write"));
}
