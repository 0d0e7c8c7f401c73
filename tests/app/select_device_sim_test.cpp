// "Select device" end to end against emulated units served inside the test process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/main_window.h"
#include "app/startup.h"
#include "sim/in_process.h"
#include "tests/support/modal_script.h"
#include "tests/support/temp_folder.h"

TEST(SelectDeviceWithEmulatedUnits, OpensTheChosenUnitInPlainSerialModeWithDtrSetRtsClearAt9600) {
  QApplication::setQuitOnLastWindowClosed(false);
  sim::InstalledUnits units;
  sim::Unit &first = units.Add({.serial = "VRT00001"});
  units.AddForeign("FT5Q2ZK1");
  sim::Unit &second = units.Add({.serial = "VRT00002"});
  TempFolder folder;
  std::unique_ptr<TForm3> window(CreateWindows(folder.Folder(), {}));
  window->show();
  auto *label = window->findChild<QLabel *>("Label1", Qt::FindDirectChildrenOnly);
  auto *select = window->findChild<QPushButton *>("Button5", Qt::FindDirectChildrenOnly);
  auto *settings = window->findChild<QPushButton *>("Button6", Qt::FindDirectChildrenOnly);
  ASSERT_TRUE(label && select && settings);
  // The scan follows the main window's first paint.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return label->text() == "                        Number of connected devices = 3"; },
      10000))
      << label->text().toStdString();

  {
    ModalScript script;
    script.Then([](QWidget *modal) {
      auto *combo = modal->findChild<QComboBox *>("ComboBox1");
      ASSERT_NE(combo, nullptr);
      ASSERT_EQ(combo->count(), 2);
      EXPECT_EQ(combo->itemText(0), "VRT00001");
      EXPECT_EQ(combo->itemText(1), "VRT00002");
      combo->setCurrentIndex(1);
      ModalScript::Click(modal->findChild<QPushButton *>("Button2"));
    });
    QTest::mouseClick(select, Qt::LeftButton);

    EXPECT_TRUE(script.Done());
  }
  EXPECT_EQ(label->text(), "VRT00002");
  EXPECT_TRUE(settings->isEnabled());
  EXPECT_TRUE(units.IsOpen("VRT00002"));
  EXPECT_FALSE(units.IsOpen("VRT00001"));
  EXPECT_EQ(first.GetRecord().connections, 0);
  const sim::Record &record = second.GetRecord();
  EXPECT_EQ(record.connections, 1);
  EXPECT_EQ(record.bitModes, (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0, 0}}));
  EXPECT_EQ(record.baudRates, std::vector<std::uint32_t>{9600});
  EXPECT_TRUE(second.Dtr());
  EXPECT_FALSE(second.Rts());
  EXPECT_TRUE(record.problems.empty());

  // The open port is the one the other windows talk through.
  SharedState &state = window->State();
  EXPECT_TRUE(state.SendText("AT@NORM\r\n"));
  EXPECT_EQ(state.ReceiveAll(), "OK\r\n");
  EXPECT_EQ(second.GetRecord().commandLines, std::vector<std::string>{"AT@NORM\r\n"});

  // Select device again, cancelled: the unit is free again and the buttons are disabled.
  ModalScript cancel;
  cancel.Then(
      [](QWidget *modal) { ModalScript::Click(modal->findChild<QPushButton *>("Button1")); });
  cancel.ThenMessage("USB device not selected");
  QTest::mouseClick(select, Qt::LeftButton);
  EXPECT_TRUE(cancel.Done());
  EXPECT_FALSE(units.IsOpen("VRT00002"));
  EXPECT_FALSE(settings->isEnabled());
}
