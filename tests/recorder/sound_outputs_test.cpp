// Sound outputs that come and go (USB, Bluetooth): "Message recorder" reads the list afresh at
// every press, against the private PulseAudio server that the test command starts.
#include <gtest/gtest.h>

#include <algorithm>

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
#include "tests/recorder/sound_support.h"
#include "tests/support/modal_script.h"
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
  // Other tests may plug their own outputs into the same sound server meanwhile: what is checked
  // is that the press counts the list it offers, and that this test's output is in it or not.
  const std::vector<std::string> &outputs = window->State().AudioDeviceList;

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
  QStringList offered = press();
  EXPECT_TRUE(offered.contains(name)) << "the output plugged in after start-up is offered";
  EXPECT_GE(sink->IndexIn(outputs), 0) << "the sound check counts it";
  EXPECT_EQ(outputs.size(), static_cast<std::size_t>(offered.size()));

  sink.reset();
  offered = press();
  EXPECT_FALSE(offered.contains(name)) << "an output that has gone is no longer offered";
  EXPECT_EQ(std::count(outputs.begin(), outputs.end(), name.toStdString()), 0)
      << "the sound check no longer counts it";
  EXPECT_EQ(outputs.size(), static_cast<std::size_t>(offered.size()));
}
