// "RECORD MESSAGE" end to end: the recorder window with the real player on a null sink of the
// test's own, its real timers, and skarvel-sim serving the unit over the emulated device link and
// capturing that sink's monitor. What the emulated unit kept is read back from its WAV file and
// its record.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstring>

#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"
#include "link/link.h"
#include "recorder/audio_devices.h"
#include "recorder/recorder_window.h"
#include "session/shared_state.h"
#include "tests/recorder/sound_support.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/modal_script.h"
#include "tests/support/private_runtime_dir.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr const char *kSerial = "VRT00001";

// The samples of a WAV file written by the emulator (44-byte header, 16-bit stereo).
sound::Pcm ReadWav(const std::string &path) {
  QFile file(QString::fromStdString(path));
  sound::Pcm pcm;
  if (!file.open(QIODevice::ReadOnly)) return pcm;
  const QByteArray data = file.readAll();
  if (data.size() < 44) return pcm;
  pcm.samples.resize(static_cast<std::size_t>(data.size() - 44) / 2);
  std::memcpy(pcm.samples.data(), data.constData() + 44, pcm.samples.size() * 2);
  return pcm;
}

}  // namespace

TEST(RecorderWithSkarvelSim, RecordMessageLeavesTheWholeToneInTheEmulatedUnitsRecording) {
  if (!sound::ServerAvailable())
    GTEST_SKIP() << "no PulseAudio server named by PULSE_SERVER (tools/test starts one)";
  PrivateRuntimeDir runtime;
  TempFolder folder;
  sound::NullSink sink;
  ASSERT_TRUE(sink.Loaded()) << sink.Error();
  const std::string heard = folder.File("heard.wav");
  const std::string record = folder.File("record.json");

  QProcess simulator;
  simulator.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
  simulator.start(SKARVEL_SIM_PROGRAM,
                  {"--capture", QString::fromStdString(heard), "--capture-source",
                   QString::fromStdString(sink.Name() + ".monitor"), "--record",
                   QString::fromStdString(record)});
  ASSERT_TRUE(simulator.waitForStarted());
  QByteArray out;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        out += simulator.readAllStandardOutput();
        return out.contains("serving in") || simulator.state() == QProcess::NotRunning;
      },
      15000))
      << out.toStdString();
  ASSERT_TRUE(out.contains("capturing the sound of " + QByteArray::fromStdString(sink.Name())))
      << out.toStdString() << simulator.readAllStandardError().toStdString();

  const sound::Pcm tone = sound::Tone(3.0, 440.0, {0.5, 0.5});
  const QString file = QString::fromStdString(folder.File("message.wav"));
  ASSERT_TRUE(sound::WriteWav(file.toStdString(), tone));
  {
    d2xx::ScopedBackend backend(EmulatedBackend());
    SharedState state(folder.Folder());
    state.AudioDeviceList = ListAudioOutputs();
    const int device = sink.IndexIn(state.AudioDeviceList);
    ASSERT_GE(device, 0);
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.UnitCount = 1;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kSerial);
    ConfigurePort(*state.Port);

    TForm5 form(state);
    form.show();
    auto *devices = form.findChild<QComboBox *>("ComboBox1");
    devices->setCurrentIndex(device);
    emit devices->activated(device);
    {
      ModalScript script;
      script.Then([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_NE(dialog, nullptr);
        ModalScript::ChooseFile(dialog, file);
      });
      form.findChild<QPushButton *>("Button2")->click();
    }
    ASSERT_NE(form.CurrentPlayer(), nullptr);
    {
      ModalScript script;
      script.ThenMessage("Have you got connect audio cable Jack 3.5mm?");
      form.findChild<QPushButton *>("Button1")->click();
    }
    // The window's own timers run it from here.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form.Recording().CurrentPhase() == recorder::Phase::Recording; }, 3000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form.Recording().CurrentPhase() == recorder::Phase::Idle; }, 9000));
    for (const char *name : {"btnPlay", "btnPause", "btnStop", "Button1", "Button2", "Button3"})
      EXPECT_TRUE(form.findChild<QPushButton *>(name)->isEnabled()) << name;
    EXPECT_FALSE(form.findChild<QTimer *>("Timer2")->isActive());
    EXPECT_EQ(form.CurrentPlayer()->GetPosition(), 0) << "the file is rewound";
    form.close();
  }

  ::kill(static_cast<pid_t>(simulator.processId()), SIGTERM);
  ASSERT_TRUE(simulator.waitForFinished(10000));
  out += simulator.readAllStandardOutput();
  EXPECT_TRUE(out.contains("VRT00001 record: ")) << out.toStdString();

  // The record: the command, RTS cleared and set again, and the file that holds the sound.
  QFile json(QString::fromStdString(record));
  ASSERT_TRUE(json.open(QIODevice::ReadOnly));
  const QJsonObject unit = QJsonDocument::fromJson(json.readAll())["devices"][0].toObject();
  EXPECT_EQ(unit["commandLines"].toArray().last().toString(), "AT@OGRIE\r\n");
  EXPECT_TRUE(unit["levels"].toArray().last().toObject()["rts"].toBool()) << "RTS set at the end";
  const QJsonArray recordings = unit["recordings"].toArray();
  ASSERT_EQ(recordings.size(), 1);
  const QJsonObject recording = recordings[0].toObject();
  EXPECT_EQ(recording["soundFile"].toString().toStdString(), heard);
  const double lengthMs = recording["stopMs"].toDouble() - recording["startMs"].toDouble();

  // The sound: silence before the start of the file, then the whole tone from its first sample,
  // and the stop signal after its end, long before 9.9 s.
  const sound::Pcm message = ReadWav(heard);
  EXPECT_NEAR(static_cast<double>(message.Frames()), lengthMs * 44.1, 44.1 * 2);
  const std::size_t onset = sound::Onset(message);
  ASSERT_LT(onset, message.Frames()) << "the unit heard nothing";
  EXPECT_GT(onset, 0u) << "the first word is clipped";
  std::size_t differing = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(2048, message.Frames() - onset); ++i)
    for (int c = 0; c < 2; ++c) differing += message.At(onset + i, c) != tone.At(i, c);
  EXPECT_EQ(differing, 0u) << "the message does not begin with the file's first sample";
  EXPECT_NEAR(static_cast<double>(sound::ActiveFrames(message)), 3.0 * 44100, 0.03 * 3.0 * 44100);
  EXPECT_GE(message.Frames(), onset + tone.Frames());
  EXPECT_LT(lengthMs, 5000.0) << "the recording did not end at the end of the file";
}
