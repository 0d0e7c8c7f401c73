#include "jobs/descriptor.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <algorithm>
#include <exception>

#include "console/console_session.h"
#include "console/send_reply.h"
#include "firmware/download.h"
#include "firmware/firmware_file.h"
#include "firmware/image_reader.h"
#include "history/format.h"
#include "recorder/audio_devices.h"
#include "recorder/audio_play.h"
#include "recorder/recording.h"
#include "settings/profile.h"
#include "settings/settings_exchange.h"

namespace jobs {

namespace {

using history::JobKind;

constexpr std::array<Descriptor, 5> kDescriptors = {{
    {JobKind::Settings, "PROFILE", "", "write every parameter of a profile",
     "Writes the 27 lines of the settings write (\"AT@NORM\" and the 26 parameters) with\n"
     "the values of the profile file PROFILE to every chosen unit. A profile that is\n"
     "refused stops the command before anything is sent.\n",
     settings::kWriteTickMs, false},
    {JobKind::Defaults, nullptr, "", "restore the units' defaults",
     "Sends \"AT@DEFAULT\" to every chosen unit and waits for its \"OK\".\n",
     settings::kDefaultTickMs, false},
    {JobKind::Firmware, "FILE.HEX", "fast log-dir", "load firmware from an Intel HEX file",
     "Loads the firmware image of FILE.HEX into every chosen unit. Each unit's transfer\n"
     "log is LOG_<serial>.TXT in the folder of --log-dir (default: the current folder).\n"
     "--fast sends each byte as soon as the reply to the one before has come.\n",
     firmware::kTickInterval, false},
    {JobKind::Record, "FILE", "output", "record the units' message from an audio file",
     "Records the message of every chosen unit from the audio file FILE, unit after\n"
     "unit, playing it on the sound output --output NAME (default: the first one).\n"
     "The audio cable must be connected: nothing is asked.\n",
     recorder::kTickInterval, true},
    {JobKind::Send, "LINE", "", "send one command line and show the replies",
     "Sends LINE with CR LF to every chosen unit and prints each unit's reply, complete\n"
     "at a line \"OK\" or \"ERR\", or after 1 s without a byte. A reply \"ERR\" fails the\n"
     "unit; a unit silent for 1 s has failed with \"no reply\". LINE holds no CR, LF or NUL.\n",
     console::kTickMs, false},
}};

std::string PrepareSettings(const Inputs &inputs, JobSpec &spec) {
  try {
    spec.fields = std::make_shared<settings::Profile>(settings::ReadProfile(inputs.argument));
  } catch (const std::exception &e) {
    return e.what();
  }
  spec.details = history::SettingsDetails(settings::WriteValues(*spec.fields),
                                          QString::fromLocal8Bit(inputs.argument));
  return {};
}

std::string PrepareFirmware(const Inputs &inputs, JobSpec &spec) {
  const QString name = QString::fromLocal8Bit(inputs.argument);
  if (!firmware::AcceptableFirmwareName(QFileInfo(name).absoluteFilePath()))
    return "Error file: " + inputs.argument + " is no *.HEX file";
  const firmware::FirmwareText read = firmware::ReadFirmwareFile(name);
  if (!read.error.isEmpty()) return read.error.toLocal8Bit().toStdString();
  spec.imageText = read.text.toStdString();
  if (std::string refusal = firmware::Refusal(inputs.argument, spec.imageText); !refusal.empty())
    return refusal;
  const firmware::Image image = firmware::ReadImage(spec.imageText, spec.imageText.size());
  if (image.lines.empty())
    return std::string(image.tooLarge ? firmware::kTooLargeMessage : firmware::kNoImageMessage);
  spec.fast = inputs.fast;
  std::string folder = inputs.logDir.empty() ? std::string(".") : inputs.logDir;
  if (!QFileInfo(QString::fromLocal8Bit(folder)).isDir())
    return "no folder " + folder + " for the transfer logs";
  if (folder.back() != '/') folder += '/';
  spec.logFolder = folder;
  spec.details = history::FirmwareDetails(name, image.LineCount(), spec.fast);
  return {};
}

std::string PrepareRecord(const Inputs &inputs, JobSpec &spec) {
  if (!QFileInfo(QString::fromLocal8Bit(inputs.argument)).isFile())
    return "no audio file " + inputs.argument;
  spec.audioFile = inputs.argument;
  std::string error;
  if (!StartGStreamer(&error)) return error;
  spec.outputs = ListAudioOutputs();
  spec.outputIndex = 0;
  if (spec.outputs.empty()) return "no sound output to play the message on";
  if (inputs.output) {
    const auto it = std::find(spec.outputs.begin(), spec.outputs.end(), *inputs.output);
    if (it == spec.outputs.end())
      return "no sound output \"" + *inputs.output + "\" (see tolvane-cli outputs)";
    spec.outputIndex = static_cast<int>(it - spec.outputs.begin());
  }
  // The file opened on the output as the job will open it: a file that the player refuses, or
  // whose length it cannot tell, is refused before any unit is asked to record.
  try {
    QObject owner;
    const TAudioPlay player(&owner, spec.audioFile, spec.outputIndex, spec.outputs);
    if (player.Duration() <= 0) return spec.audioFile + ": the length of the sound is unknown";
  } catch (const std::exception &e) {
    return spec.audioFile + ": " + e.what();
  }
  spec.details =
      history::RecordDetails(QString::fromLocal8Bit(inputs.argument),
                             QString::fromStdString(spec.outputs[std::size_t(spec.outputIndex)]));
  return {};
}

history::Outcome OkOrFailed(bool ok) {
  return ok ? history::Outcome::Ok : history::Outcome::Failed;
}

}  // namespace

const std::array<Descriptor, 5> &Descriptors() {
  return kDescriptors;
}

const Descriptor &DescriptorOf(history::JobKind kind) {
  return kDescriptors.at(static_cast<std::size_t>(kind));
}

std::string Prepare(history::JobKind kind, const Inputs &inputs, JobSpec &spec) {
  spec.kind = kind;
  switch (kind) {
    case JobKind::Settings:
      return PrepareSettings(inputs, spec);
    case JobKind::Defaults:
      return {};
    case JobKind::Firmware:
      return PrepareFirmware(inputs, spec);
    case JobKind::Record:
      return PrepareRecord(inputs, spec);
    case JobKind::Send:
      spec.line = inputs.argument;
      spec.details = history::SendDetails(inputs.argument);
      return {};
  }
  return {};
}

bool ChangesUnit(history::JobKind kind) {
  return kind != JobKind::Send;
}

QJsonObject NotBegunDetails(history::JobKind kind) {
  return ChangesUnit(kind) ? QJsonObject{{history::kChangedMember, false}} : QJsonObject();
}

QJsonObject EndDetails(const settings::WriteExchange &write) {
  return {{history::kChangedMember, write.Begun()}};
}

QJsonObject EndDetails(const settings::DefaultExchange &defaults) {
  return {{history::kChangedMember, defaults.CommandSent()}};
}

history::JobEnd SettingsEnd(const settings::WriteExchange &write, const std::string &message) {
  return {OkOrFailed(write.CurrentResult() == settings::Result::Accepted),
          QString::fromStdString(message), EndDetails(write)};
}

history::JobEnd SettingsEnd(const settings::DefaultExchange &defaults, const std::string &message) {
  return {OkOrFailed(defaults.CurrentResult() == settings::Result::Accepted),
          QString::fromStdString(message), EndDetails(defaults)};
}

QJsonObject FirmwareDetails(const firmware::FirmwareDownload &download) {
  QFile log(QString::fromStdString(download.LogPath()));
  const QByteArray text = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
  const int lines = download.CurrentImage().LineCount();
  return {{"sent", std::clamp(download.LineIndex() - 1, 0, lines)},
          {"log", QString::fromLatin1(text)},
          {history::kChangedMember, download.Answered()}};
}

history::JobEnd FirmwareEnd(const firmware::FirmwareDownload &download) {
  return {OkOrFailed(download.Ok()), QString::fromStdString(download.OutcomeMessage()),
          FirmwareDetails(download)};
}

QJsonObject EndDetails(const recorder::MessageRecording &recording) {
  return {{"seconds", recording.RtsClearedSeconds()},
          {history::kChangedMember, recording.RtsWasCleared()}};
}

history::JobEnd RecordEnd(const recorder::MessageRecording &recording, const std::string &message) {
  const bool ok = recording.CurrentResult() == recorder::Result::Recorded;
  return {OkOrFailed(ok), ok ? QString() : QString::fromStdString(message), EndDetails(recording)};
}

history::JobEnd SendEnd(const console::SendReply &reply) {
  return {OkOrFailed(reply.Ok()),
          QString::fromLatin1(reply.Message()),
          {{"replies", history::WireText(reply.Replies())}}};
}

}  // namespace jobs
