#include "sim/in_process.h"

#include <gtest/gtest.h>

#include "link/ft232.h"
#include "link/link.h"

using namespace std::chrono_literals;

TEST(InProcessUnits, ListsUnitsAndForeignDevicesInOrder) {
  sim::InstalledUnits units;
  units.Add({.serial = "VRT00001"});
  units.AddForeign("FT0XYZ");
  units.Add({.serial = "VRT00002"});
  ASSERT_EQ(GetFTDeviceCount(), FT_OK);
  EXPECT_EQ(FTDeviceCount, 3u);
  ASSERT_EQ(GetFTDeviceDescription(1), FT_OK);
  EXPECT_EQ(FTListText, "FT232R USB UART");
  ASSERT_EQ(GetFTDeviceSerialNo(2), FT_OK);
  EXPECT_EQ(FTListText, "VRT00002");
  ASSERT_EQ(GetFTDeviceDescription(2), FT_OK);
  EXPECT_EQ(FTListText, "VERTIKOmate");
}

TEST(InProcessUnits, AnOpenedUnitAnswersThroughTheLinkRoutines) {
  sim::InstalledUnits units;
  auto &unit = units.Add();
  auto port = std::make_unique<TFT232>("VRT00001");
  ConfigurePort(*port);
  EXPECT_TRUE(SendText(port.get(), "AT@NORM\r\n"));
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "OK\r\n");
  EXPECT_TRUE(port->CtsClear());
  EXPECT_FALSE(unit.Rts());
  EXPECT_TRUE(unit.Dtr());
  EXPECT_EQ(unit.GetRecord().bitModes.size(), 1u);
  EXPECT_EQ(unit.GetRecord().baudRates, std::vector<std::uint32_t>{9600});

  unit.SetPowered(false);
  EXPECT_FALSE(port->CtsClear());
}

TEST(InProcessUnits, ASecondOpenIsRefusedUntilTheFirstCloses) {
  sim::InstalledUnits units;
  units.Add();
  auto first = std::make_unique<TFT232>("VRT00001");
  EXPECT_THROW(TFT232 second("VRT00001"), TFT232Exception);
  EXPECT_THROW(TFT232 none("VRT00009"), TFT232Exception);
  first.reset();
  EXPECT_NO_THROW(TFT232 again("VRT00001"));
}

TEST(InProcessUnits, LateAnswersWaitForTheClock) {
  sim::InstalledUnits units;
  units.Add().AddFault(
      sim::LineFault{.kind = sim::LineFault::Kind::Late, .word = "NORM", .delay = 500ms});
  auto port = std::make_unique<TFT232>("VRT00001");
  SendText(port.get(), "AT@NORM\r\n");
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  units.clock().Advance(500ms);
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "OK\r\n");
}

TEST(InProcessUnits, AnUnpluggedUnitFailsItsHandleAndIsTakenUpAgainByTheReopen) {
  sim::InstalledUnits units;
  auto &unit = units.Add();
  std::unique_ptr<TFT232> port = std::make_unique<TFT232>("VRT00001");
  ConfigurePort(*port);
  units.Unplug("VRT00001");
  EXPECT_EQ(port->RxQueueCount(), -1);
  EXPECT_FALSE(port->WriteByte('A'));
  EXPECT_EQ(port->ClearRts(false), FT_IO_ERROR);
  GetFTDeviceCount();
  EXPECT_EQ(FTDeviceCount, 0u);

  auto *old = port.get();
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");  // the reopen fails while it is gone
  EXPECT_EQ(port.get(), old);

  units.PlugIn("VRT00001");
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  EXPECT_NE(port.get(), old);
  EXPECT_TRUE(units.IsOpen("VRT00001"));
  EXPECT_EQ(unit.GetRecord().connections, 2);
  EXPECT_TRUE(SendText(port.get(), "AT@NORM\r\n"));
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "OK\r\n");
}

TEST(InProcessUnits, TheReceiveQueueHoldsAtMost65536Bytes) {
  sim::InstalledUnits units;
  auto &unit = units.Add();
  auto port = std::make_unique<TFT232>("VRT00001");
  unit.Say(std::string(70000, 'x'));
  EXPECT_EQ(port->RxQueueCount(), 65536);
}
