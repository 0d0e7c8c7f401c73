// The emulated Skarvel unit: what the unit does with the bytes and line levels that reach it, and
// what it sends back, independent of how it is connected.
//
// A host session feeds it with Receive (bytes written by the host), SetLines, SetBaudRate and
// SetBitMode, and collects what the unit sends with TakeOutput; ModemStatus is its CTS line.
// Everything it receives is kept in its Record, so that tests can assert on the bytes that reached
// the unit, the line levels and their times, and the firmware image that ended up in its memory.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/clock.h"
#include "sim/wire.h"

namespace sim {

inline constexpr std::string_view kUnitDescription = "VERTIKOmate";
inline constexpr std::string_view kForeignDescription = "FT232R USB UART";
// Longest command line the unit takes, terminator included; longer lines are answered "ERR".
inline constexpr std::size_t kMaxCommandLine = 256;
// A loader line after which no byte came within this time of the loader's last reply is dropped.
inline constexpr std::chrono::milliseconds kLoaderLineGap{100};
// Bytes a loader line has: word address (low, high) and four program words (low, high each).
inline constexpr std::size_t kLoaderLineLength = 10;

// A fault on command lines: which lines it hits and what it does to their answer.
struct LineFault {
  enum class Kind {
    NoAnswer,  // the line is neither acted on nor answered, as if it never arrived
    Late,      // the answer comes `delay` later
    Split,     // the answer comes in pieces of `pieceSize` bytes, `delay` apart
    Err,       // the line is not acted on and answered "ERR\r\n"
  };
  Kind kind = Kind::NoAnswer;
  std::string word{};  // command word it hits ("P05", "NORM", "#"); empty: every command line
  int nth = 0;         // only the nth line with that word, counted from 1; 0: every one
  std::chrono::milliseconds delay{200};
  std::size_t pieceSize = 2;
};

// A fault of the firmware loader: its reply to one byte of one line.
struct LoaderFault {
  enum class Kind {
    P,        // answers "P" and drops the line
    E,        // answers "E" and drops the line
    Silence,  // answers nothing; the line is then dropped by the gap rule when the host re-sends
  };
  Kind kind = Kind::P;
  int line = 1;   // the nth line the loader receives, counted from 1, lines sent again included
  int byte = 10;  // the byte of that line, 1 to 10
};

struct UnitOptions {
  std::string serial = "VRT00001";
  std::string description = std::string(kUnitDescription);
  bool neverWritten = false;  // answers its first "AT@NORM" with "NEW\r\nOK\r\n"
  bool foreign = false;       // a device that is not a unit: records what it gets, never answers
  bool powered = true;
  std::vector<LineFault> lineFaults{};
  std::vector<LoaderFault> loaderFaults{};
  // The line between the host and this unit, as its transport serves it.
  WireOptions wire{};
};

struct LevelChange {
  Time at;
  bool dtr;
  bool rts;
};

// A recording of the voice message: from RTS cleared to RTS set again.
struct Recording {
  Time start;
  std::optional<Time> stop;
  std::string soundFile{};  // where the emulator program kept what the unit heard, if it did
};

using LoaderLine = std::array<std::uint8_t, kLoaderLineLength>;

// Everything the unit received and did.
struct Record {
  std::string received;                   // every byte received, in every mode, in order
  std::vector<std::string> commandLines;  // every command line as received, CR LF included
  std::vector<std::string> replies;       // every answer the unit gave, whole
  std::vector<LevelChange> levels;        // every report of the line levels, with its time
  std::vector<std::uint32_t> baudRates;   // every baud rate set
  std::vector<std::pair<std::uint8_t, std::uint8_t>> bitModes;  // every (mask, mode) set
  std::vector<LoaderLine> loaderLines;            // every line the loader stored, in order
  std::map<std::uint32_t, std::uint16_t> memory;  // program memory by word address
  std::vector<Recording> recordings;              // every recording started
  std::vector<std::string> problems;              // what was wrong in what the unit received
  int connections = 0;                            // host sessions so far
};

class Unit {
 public:
  enum class Mode { Command, LoaderHandshake, LoaderLines };
  enum class RecordState { Idle, WaitingRts, Recording };
  // What the unit reports while it works; the program prints these.
  enum class Event { CommandLine, Reply, Loader, Recording, Problem, Session };
  using Listener = std::function<void(Event, const std::string &)>;

  explicit Unit(UnitOptions options, const Clock &clock);

  // A host session: each one starts with DTR and RTS set, 9600 baud and bit mode (0, 0).
  void Connect();
  void Disconnect();
  bool Connected() const { return connected_; }

  // What the host sends.
  void Receive(std::string_view bytes);
  void SetLines(bool dtr, bool rts);
  void SetBaudRate(std::uint32_t baudRate);
  void SetBitMode(std::uint8_t mask, std::uint8_t mode);

  // The bytes the unit sends that are due now, in order; empty when none.
  std::string TakeOutput();
  // The same, each piece with the time it fell due, for a transport that gives bytes their time.
  std::vector<std::pair<Time, std::string>> TakeTimedOutput();
  // When the next pending bytes fall due, if any are pending.
  std::optional<Time> NextOutputAt() const;
  // The driver's modem-status bits: CTS (0x10) reads clear while the unit is powered.
  std::uint8_t ModemStatus() const;

  // Controls for tests and for trying the program.
  void SetPowered(bool powered);    // power off drops what the unit was doing; values are kept
  void Say(std::string_view text);  // an unsolicited line, sent now
  void AddFault(LineFault fault);
  void AddFault(LoaderFault fault);
  void ClearFaults();
  // Keeps a problem that the transport found in what the host sent.
  void NoteProblem(std::string text) { problem(std::move(text)); }
  void SetListener(Listener listener) { listener_ = std::move(listener); }

  const UnitOptions &Options() const { return options_; }
  const std::string &Serial() const { return options_.serial; }
  bool Powered() const { return powered_; }
  bool NeverWritten() const { return neverWritten_; }
  Mode CurrentMode() const { return mode_; }
  RecordState Recorder() const { return recordState_; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  std::uint32_t BaudRate() const { return baudRate_; }
  std::pair<std::uint8_t, std::uint8_t> BitMode() const { return bitMode_; }
  // The kept wire value of a parameter or mode setting, by command word.
  std::optional<std::string> Value(std::string_view word) const;
  const std::map<std::string, std::string, std::less<>> &Values() const { return values_; }
  const Record &GetRecord() const { return record_; }
  void ClearRecord();
  // Notes the file that holds the sound of the recording at `index` of the record.
  void SetRecordingSound(std::size_t index, std::string file);

 private:
  struct Pending {
    Time due;
    std::string bytes;
  };

  void takeCommandByte(char byte);
  void commandLine(const std::string &line, bool overlong);
  std::optional<std::string> execute(std::string_view word, std::string_view value);
  void takeLoaderByte(std::uint8_t byte);
  void storeLine(const LoaderLine &line);
  void loaderReply(char reply);
  void queue(std::string bytes, Time due);
  void answer(std::string reply, const std::vector<LineFault> &hits);
  std::vector<LineFault> faultsFor(const std::string &word);
  void setDefaults();
  void problem(std::string text);
  void notify(Event event, const std::string &text);
  void levelsChanged(bool dtr, bool rts);
  void stopRecording();

  UnitOptions options_;
  const Clock &clock_;
  Listener listener_;

  bool connected_ = false;
  bool powered_ = true;
  bool neverWritten_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  std::uint32_t baudRate_ = 9600;
  std::pair<std::uint8_t, std::uint8_t> bitMode_{0, 0};

  Mode mode_ = Mode::Command;
  RecordState recordState_ = RecordState::Idle;
  std::string line_;  // command line being received
  bool lineOverlong_ = false;
  std::vector<std::uint8_t> loaderLine_;  // loader line being received
  Time lastLoaderReply_{};
  int loaderLinesStarted_ = 0;

  std::map<std::string, std::string, std::less<>> values_;
  std::map<std::string, int, std::less<>> wordCounts_;  // command lines per word, for faults
  std::deque<Pending> output_;
  Record record_;
};

// Writes the escaped form of bytes for a one-line report: printable ASCII as is, CR as \r, LF as
// \n, backslash as \\ and every other byte as \xHH.
std::string Escaped(std::string_view bytes);

}  // namespace sim
