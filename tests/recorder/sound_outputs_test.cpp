// Sound outputs that come and go (USB, Bluetooth): "Message recorder" reads the list afresh at
// every press, against the private PulseAudio server that the test command starts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/main_window.h"
#include "app/startup.h"
#include "recorder/audio_devices.h"
#include "sim/in_process.h"
#include "tests/app/modal_script.h"
#include "tests/recorder/sound_support.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr const char *kSerial = "VRT00003";

}  // namespace

TEST(MessageRecorderOutputs, AnOutputThatComesOrGoesAfterStartUpCountsAtTheNextPress) {
  if (!sound::ServerAvailable())
    GTEST_SKIP() << "no PulseAudio server named by PULSE_SERVER (tools/test starts one)";
  QApplication::setQuitOnLastWindowClosed(false);
  sim::InstalledUnits units;
  units.Add({.serial = kSerial});
  TempFolder folder;
  std::unique_ptr<TForm3> window(CreateWindows(folder.Folder(), ListAudioOutputs));
  window->show();
  auto button = [&](const char *name) {
    return window->findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
  };
  {
    ModalScript script;
    script.Then([](QWidget *modal) {
      modal->findChild<QComboBox *>("ComboBox1")->lineEdit()->setText(kSerial);
      ModalScript::Click(modal->findChild<QPushButton *>("Button2"));
    });
    QTest::mouseClick(button("Button5"), Qt::LeftButton);
  }
  ASSERT_TRUE(button("Button2")->isEnabled());
  const std::vector<std::string> &outputs = window->State().AudioDeviceList;
  const std::size_t atStart = outputs.size();

  // Presses "Message recorder" and gives back what the device box offered.
  auto press = [&] {
    QStringList offered;
    ModalScript script;
    script.Then([&](QWidget *modal) {
      EXPECT_EQ(modal->objectName(), "TForm5");
      auto *box = modal->findChild<QComboBox *>("ComboBox1");
      for (int i = 0; i < box->count(); ++i) offered.append(box->itemText(i));
      qobject_cast<QDialog *>(modal)->reject();
    });
    QTest::mouseClick(button("Button2"), Qt::LeftButton);
    EXPECT_TRUE(script.Done());
    return offered;
  };

  auto sink = std::make_unique<sound::NullSink>();
  ASSERT_TRUE(sink->Loaded()) << sink->Error();
  const QString name = QString::fromStdString(sink->Name());
  EXPECT_TRUE(press().contains(name)) << "the output plugged in after start-up is offered";
  EXPECT_GE(sink->IndexIn(outputs), 0);
  EXPECT_EQ(outputs.size(), atStart + 1) << "the sound check counts it";

  sink.reset();
  EXPECT_FALSE(press().contains(name)) << "an output that has gone is no longer offered";
  EXPECT_EQ(outputs.size(), atStart);
}
