// One descriptor per kind of job (settings, defaults, firmware, record, send): its name, its inputs
// and their check, its tick, whether it runs one unit at a time, how its exchange is made (the
// command line's jobs, cli/jobs.h), what its record holds at its start and at its end, and when it
// is ok. The windows and tolvane-cli read them, and record every job through history::JobEntry
// from them. A new kind of job is its exchange, its descriptor, the emulator's answer and tests.
#pragma once

#include <QJsonObject>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/job_record.h"

namespace console {
class SendReply;
}
namespace firmware {
class FirmwareDownload;
}
namespace recorder {
class MessageRecording;
}
namespace settings {
class ParameterFields;
class WriteExchange;
class DefaultExchange;
}  // namespace settings

namespace jobs {

struct Descriptor {
  history::JobKind kind;
  const char *argument;  // the command line's argument ("PROFILE", ...); nullptr: none
  // The command line's options besides --unit, --all, --history, --server, --json and --help,
  // blank separated.
  const char *options;
  const char *summary;  // the command's line in the program's help
  const char *help;     // the command's help
  int tickMs;           // the exchange's tick
  bool oneUnitAtATime;  // the units in turn (the recording: one sound output), else all at once
};

const std::array<Descriptor, 5> &Descriptors();
const Descriptor &DescriptorOf(history::JobKind kind);

// What the command line gives a job: its argument and its options.
struct Inputs {
  std::string argument;
  bool fast = false;                  // --fast
  std::string logDir;                 // --log-dir; empty: the current folder
  std::optional<std::string> output;  // --output
};

// What every unit's job is given; read only while the jobs run.
struct JobSpec {
  history::JobKind kind = history::JobKind::Send;
  // settings: the profile's values.
  std::shared_ptr<const settings::ParameterFields> fields;
  // firmware: the file's text as the window reads it, the fast transfer, the logs' folder
  // (ending in "/").
  std::string imageText;
  bool fast = false;
  std::string logFolder;
  // record: the audio file and the output, an index into the list of outputs.
  std::string audioFile;
  int outputIndex = 0;
  std::vector<std::string> outputs;
  // send: the command line without CR LF.
  std::string line;
  // The details of each unit's history record at its start.
  QJsonObject details;

  std::string Name() const { return history::TextOf(kind).toStdString(); }
};

// Checks the inputs of a job of `kind` before any unit is opened and fills `spec`: the refusal's
// text, empty when they are taken. The firmware file is refused as the window refuses it.
std::string Prepare(history::JobKind kind, const Inputs &inputs, JobSpec &spec);

// A job's end as both programs record it. The details at the end of a job that can change the
// unit (settings, defaults, firmware, record) always say whether it began to
// (history::kChangedMember): a download once the unit answered "Y", a settings write once its
// first line was accepted, the default command once sent, a recording once RTS was cleared.
//
// Whether a job of `kind` can change the unit.
bool ChangesUnit(history::JobKind kind);
// The details at the end of a job that never reached its exchange (no unit, not started).
QJsonObject NotBegunDetails(history::JobKind kind);
// The settings write and the default command: ok when accepted, with the prompt's last text.
QJsonObject EndDetails(const settings::WriteExchange &write);
QJsonObject EndDetails(const settings::DefaultExchange &defaults);
history::JobEnd SettingsEnd(const settings::WriteExchange &write, const std::string &message);
history::JobEnd SettingsEnd(const settings::DefaultExchange &defaults, const std::string &message);
// The download: ok when the unit took the image whole; the lines sent and the transfer log.
history::JobEnd FirmwareEnd(const firmware::FirmwareDownload &download);
// The details of a download where it stands: the lines sent and its transfer log.
QJsonObject FirmwareDetails(const firmware::FirmwareDownload &download);
// The recording: ok when recorded, else the prompt's last text; the seconds recorded.
QJsonObject EndDetails(const recorder::MessageRecording &recording);
history::JobEnd RecordEnd(const recorder::MessageRecording &recording, const std::string &message);
// A line sent, by the one rule of console/send_reply.h; the replies.
history::JobEnd SendEnd(const console::SendReply &reply);

}  // namespace jobs
