#include "sim/unit.h"

#include <algorithm>
#include <cstdio>

#include "settings/parameters.h"

namespace sim {

namespace {

constexpr std::string_view kOk = "OK\r\n";
constexpr std::string_view kNewOk = "NEW\r\nOK\r\n";
constexpr std::string_view kErr = "ERR\r\n";
constexpr std::string_view kWaitRts = "WAIT RTS\r\n";
constexpr std::uint32_t kUnitBaudRate = 9600;
// Keeps the record of a host that floods the unit from growing without bound.
constexpr std::size_t kMaxReceivedRecord = 16u << 20;
constexpr std::size_t kMaxRecordEntries = 1u << 20;

// Command words that carry no value.
constexpr std::string_view kPlainWords[] = {"DEFAULT", "OGRIE", "RESET", "NORM"};

// The wire value that a shown value (entry text, code text, "1"/"0" of a pair) has.
std::string wireOf(const params::Parameter &p, const std::string &shown) {
  switch (p.kind) {
    case params::Kind::List:
    case params::Kind::Index:
      return params::ListWireValue(p, params::PositionOf(p, shown));
    case params::Kind::Radio:
      return shown;
    case params::Kind::Code:
      return params::CodeWireValue(shown);
  }
  return shown;
}

bool isWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Splits what follows "AT@" into command word and value. A numbered parameter is "P" and two
// digits; the other words are matched whole, longest first; anything else is an unknown word
// made of the leading capitals and digits.
std::pair<std::string, std::string> splitCommand(std::string_view rest) {
  if (!rest.empty() && rest[0] == '#') return {"#", std::string(rest.substr(1))};
  if (rest.size() >= 3 && rest[0] == 'P' && rest[1] >= '0' && rest[1] <= '9' && rest[2] >= '0' &&
      rest[2] <= '9')
    return {std::string(rest.substr(0, 3)), std::string(rest.substr(3))};
  std::vector<std::string_view> words(std::begin(kPlainWords), std::end(kPlainWords));
  for (const auto &p : params::Table())
    if (p.word[0] != 'P') words.push_back(p.word);
  std::sort(words.begin(), words.end(),
            [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  for (auto word : words)
    if (rest.starts_with(word)) return {std::string(word), std::string(rest.substr(word.size()))};
  std::size_t n = 0;
  while (n < rest.size() && isWordChar(rest[n])) ++n;
  return {std::string(rest.substr(0, n)), std::string(rest.substr(n))};
}

template <typename T>
void pushCapped(std::vector<T> &list, T value) {
  if (list.size() < kMaxRecordEntries) list.push_back(std::move(value));
}

}  // namespace

std::string Escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else if (c >= 0x20 && c < 0x7F)
      out.push_back(static_cast<char>(c));
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

Unit::Unit(UnitOptions options, const Clock &clock) : options_(std::move(options)), clock_(clock) {
  powered_ = options_.powered;
  neverWritten_ = options_.neverWritten;
  for (const auto &p : params::Table()) values_[std::string(p.word)] = wireOf(p, p.initial);
}

void Unit::notify(Event event, const std::string &text) {
  if (listener_) listener_(event, text);
}

void Unit::problem(std::string text) {
  notify(Event::Problem, text);
  pushCapped(record_.problems, std::move(text));
}

void Unit::ClearRecord() {
  record_ = Record{};
}

void Unit::SetRecordingSound(std::size_t index, std::string file) {
  if (index < record_.recordings.size()) record_.recordings[index].soundFile = std::move(file);
}

void Unit::Connect() {
  connected_ = true;
  ++record_.connections;
  output_.clear();  // a new session starts with nothing on its way
  baudRate_ = kUnitBaudRate;
  bitMode_ = {0, 0};
  levelsChanged(true, true);
  notify(Event::Session, "host connected");
}

void Unit::Disconnect() {
  if (!connected_) return;
  connected_ = false;
  output_.clear();  // what was on its way to the host is lost with it
  notify(Event::Session, "host gone");
}

void Unit::SetLines(bool dtr, bool rts) {
  levelsChanged(dtr, rts);
}

void Unit::levelsChanged(bool dtr, bool rts) {
  const Time now = clock_.Now();
  pushCapped(record_.levels, LevelChange{now, dtr, rts});
  const bool wasSet = rts_;
  dtr_ = dtr;
  rts_ = rts;
  if (options_.foreign || !powered_) return;
  if (wasSet && !rts && recordState_ == RecordState::WaitingRts) {
    recordState_ = RecordState::Recording;
    pushCapped(record_.recordings, Recording{now, std::nullopt});
    notify(Event::Recording, "recording started");
  } else if (!wasSet && rts && recordState_ == RecordState::Recording) {
    stopRecording();
  }
}

void Unit::stopRecording() {
  if (recordState_ == RecordState::Recording && !record_.recordings.empty()) {
    auto &r = record_.recordings.back();
    r.stop = clock_.Now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*r.stop - r.start);
    notify(Event::Recording, "recording stopped after " + std::to_string(ms.count()) + " ms");
  }
  recordState_ = RecordState::Idle;
}

void Unit::SetBaudRate(std::uint32_t baudRate) {
  baudRate_ = baudRate;
  pushCapped(record_.baudRates, baudRate);
}

void Unit::SetBitMode(std::uint8_t mask, std::uint8_t mode) {
  bitMode_ = {mask, mode};
  pushCapped(record_.bitModes, std::make_pair(mask, mode));
}

void Unit::SetPowered(bool powered) {
  if (powered == powered_) return;
  if (!powered) stopRecording();
  powered_ = powered;
  output_.clear();
  mode_ = Mode::Command;
  recordState_ = RecordState::Idle;
  line_.clear();
  lineOverlong_ = false;
  loaderLine_.clear();
  notify(Event::Session, powered ? "power on" : "power off");
}

std::uint8_t Unit::ModemStatus() const {
  if (options_.foreign) return 0;
  return powered_ ? 0x00 : 0x10;
}

void Unit::AddFault(LineFault fault) {
  options_.lineFaults.push_back(std::move(fault));
}

void Unit::AddFault(LoaderFault fault) {
  options_.loaderFaults.push_back(fault);
}

void Unit::ClearFaults() {
  options_.lineFaults.clear();
  options_.loaderFaults.clear();
}

std::optional<std::string> Unit::Value(std::string_view word) const {
  auto it = values_.find(word);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void Unit::setDefaults() {
  for (const auto &p : params::Table())
    if (p.defaultValue) values_[std::string(p.word)] = wireOf(p, *p.defaultValue);
}

void Unit::queue(std::string bytes, Time due) {
  if (bytes.empty()) return;
  // Bytes leave in the order they were given, whatever their due times.
  if (!output_.empty()) due = std::max(due, output_.back().due);
  output_.push_back({due, std::move(bytes)});
}

void Unit::Say(std::string_view text) {
  if (!powered_ || options_.foreign) return;
  notify(Event::Reply, Escaped(text));
  queue(std::string(text), clock_.Now());
}

std::string Unit::TakeOutput() {
  std::string out;
  const Time now = clock_.Now();
  while (!output_.empty() && output_.front().due <= now) {
    out += output_.front().bytes;
    output_.pop_front();
  }
  return out;
}

std::vector<std::pair<Time, std::string>> Unit::TakeTimedOutput() {
  std::vector<std::pair<Time, std::string>> out;
  const Time now = clock_.Now();
  while (!output_.empty() && output_.front().due <= now) {
    out.emplace_back(output_.front().due, std::move(output_.front().bytes));
    output_.pop_front();
  }
  return out;
}

std::optional<Time> Unit::NextOutputAt() const {
  if (output_.empty()) return std::nullopt;
  return output_.front().due;
}

void Unit::Receive(std::string_view bytes) {
  if (bytes.empty()) return;
  if (record_.received.size() < kMaxReceivedRecord)
    record_.received.append(bytes.substr(0, kMaxReceivedRecord - record_.received.size()));
  if (options_.foreign || !powered_) return;
  if (baudRate_ != kUnitBaudRate) {
    problem(std::to_string(bytes.size()) + " bytes at " + std::to_string(baudRate_) +
            " baud, unreadable at 9600");
    return;
  }
  if (bitMode_ != std::pair<std::uint8_t, std::uint8_t>{0, 0}) {
    problem(std::to_string(bytes.size()) + " bytes in bit mode " + std::to_string(bitMode_.first) +
            "," + std::to_string(bitMode_.second) + ", not serial data");
    return;
  }
  for (char c : bytes) {
    if (mode_ == Mode::Command)
      takeCommandByte(c);
    else
      takeLoaderByte(static_cast<std::uint8_t>(c));
  }
}

void Unit::takeCommandByte(char byte) {
  if (line_.size() < kMaxCommandLine)
    line_.push_back(byte);
  else
    lineOverlong_ = true;
  if (byte != '\n') return;
  std::string line;
  line.swap(line_);
  const bool overlong = lineOverlong_;
  lineOverlong_ = false;
  commandLine(line, overlong);
}

void Unit::answer(std::string reply, const std::vector<LineFault> &hits) {
  Time due = clock_.Now();
  std::size_t pieceSize = 0;
  std::chrono::milliseconds gap{0};
  for (const auto &f : hits) {
    if (f.kind == LineFault::Kind::Late) due += f.delay;
    if (f.kind == LineFault::Kind::Split && f.pieceSize > 0) {
      pieceSize = f.pieceSize;
      gap = f.delay;
    }
  }
  notify(Event::Reply, Escaped(reply));
  pushCapped(record_.replies, reply);
  if (pieceSize == 0) {
    queue(std::move(reply), due);
    return;
  }
  for (std::size_t at = 0; at < reply.size(); at += pieceSize) {
    queue(reply.substr(at, pieceSize), due);
    due += gap;
  }
}

std::vector<LineFault> Unit::faultsFor(const std::string &word) {
  // A fault hits by word, and by the line's number among the lines of that word (or of all lines).
  const int total = ++wordCounts_[""];
  const int ofWord = word.empty() ? total : ++wordCounts_[word];
  std::vector<LineFault> hits;
  for (const auto &f : options_.lineFaults) {
    if (!f.word.empty() && f.word != word) continue;
    if (f.nth != 0 && f.nth != (f.word.empty() ? total : ofWord)) continue;
    hits.push_back(f);
  }
  return hits;
}

void Unit::commandLine(const std::string &line, bool overlong) {
  pushCapped(record_.commandLines, line);
  notify(Event::CommandLine, Escaped(line) + (overlong ? "..." : ""));
  std::string_view text(line);
  const bool lineFeed = !text.empty() && text.back() == '\n';
  if (lineFeed) text.remove_suffix(1);
  const bool crLf = lineFeed && !text.empty() && text.back() == '\r';
  if (crLf) text.remove_suffix(1);
  if (overlong)
    problem("command line longer than " + std::to_string(kMaxCommandLine) + " bytes");
  else if (!crLf)
    problem("line ended by LF without CR: " + Escaped(line));
  if (crLf && text.empty() && !overlong) return;  // an empty line is passed over, as modems do

  std::string word, value;
  const bool framed = crLf && !overlong && text.starts_with("AT@");
  if (framed) std::tie(word, value) = splitCommand(text.substr(3));
  if (!framed && !overlong && crLf) problem("not a command line: " + Escaped(line));

  const auto hits = faultsFor(word);
  auto hit = [&hits](LineFault::Kind kind) {
    return std::any_of(hits.begin(), hits.end(), [kind](auto &f) { return f.kind == kind; });
  };
  if (hit(LineFault::Kind::NoAnswer)) return;
  std::string reply;
  if (!framed || hit(LineFault::Kind::Err))
    reply = std::string(kErr);
  else
    reply = execute(word, value).value_or(std::string(kErr));
  answer(std::move(reply), hits);
}

std::optional<std::string> Unit::execute(std::string_view word, std::string_view value) {
  if (const auto *p = params::Find(word)) {
    if (!params::AcceptsWireValue(*p, value)) return std::nullopt;
    values_[std::string(word)] = std::string(value);
    return std::string(kOk);
  }
  if (!value.empty()) return std::nullopt;
  if (word == "NORM") {
    if (neverWritten_) {
      neverWritten_ = false;
      return std::string(kNewOk);
    }
    return std::string(kOk);
  }
  if (word == "DEFAULT") {
    setDefaults();
    return std::string(kOk);
  }
  if (word == "OGRIE") {
    if (recordState_ == RecordState::Recording) return std::nullopt;
    recordState_ = RecordState::WaitingRts;
    return std::string(kWaitRts);
  }
  if (word == "RESET") {
    stopRecording();
    return std::string(kOk);
  }
  if (word == "#") {
    mode_ = Mode::LoaderHandshake;
    loaderLine_.clear();
    notify(Event::Loader, "loader started, waiting for \"w\"");
    return std::string(kOk);
  }
  return std::nullopt;  // P09, P14 and every unknown word
}

void Unit::loaderReply(char reply) {
  lastLoaderReply_ = clock_.Now();
  queue(std::string(1, reply), lastLoaderReply_);
}

void Unit::takeLoaderByte(std::uint8_t byte) {
  if (mode_ == Mode::LoaderHandshake) {
    if (byte == 'w') {
      mode_ = Mode::LoaderLines;
      loaderReply('Y');
      notify(Event::Loader, "\"w\" answered \"Y\"");
    }
    return;  // anything else before the handshake is passed over
  }
  const Time now = clock_.Now();
  if (!loaderLine_.empty() && now - lastLoaderReply_ > kLoaderLineGap) {
    problem("loader line cut short after " + std::to_string(loaderLine_.size()) +
            " bytes, dropped");
    loaderLine_.clear();
  }
  if (loaderLine_.empty() && byte == 'w') {
    // A line begins with the low byte of a word address, a multiple of 4: never "w". A host
    // that sent "w" again before it saw the "Y" has it answered once more.
    loaderReply('Y');
    notify(Event::Loader, "\"w\" where a line begins answered \"Y\"");
    return;
  }
  if (loaderLine_.empty()) ++loaderLinesStarted_;
  loaderLine_.push_back(byte);
  const int position = static_cast<int>(loaderLine_.size());
  bool keptWithP = false;
  for (const auto &f : options_.loaderFaults) {
    if (f.line != loaderLinesStarted_ || f.byte != position) continue;
    switch (f.kind) {
      case LoaderFault::Kind::P:
      case LoaderFault::Kind::E: {
        const char reply = f.kind == LoaderFault::Kind::P ? 'P' : 'E';
        // "P" to the tenth byte: the line is kept and the host goes on with the next one.
        // Anywhere else the line is dropped and must come again from its first byte.
        if (f.kind == LoaderFault::Kind::P && loaderLine_.size() == kLoaderLineLength) {
          keptWithP = true;
          break;
        }
        loaderLine_.clear();
        loaderReply(reply);
        notify(Event::Loader, std::string("byte ") + std::to_string(position) + " of line " +
                                  std::to_string(f.line) + " answered \"" + reply + "\"");
        return;
      }
      case LoaderFault::Kind::Silence:
        // A whole line without its "K" is not stored; a shorter one waits to be cut short.
        if (loaderLine_.size() == kLoaderLineLength) loaderLine_.clear();
        notify(Event::Loader, "byte " + std::to_string(position) + " of line " +
                                  std::to_string(f.line) + " not answered");
        return;
    }
  }
  if (loaderLine_.size() < kLoaderLineLength) {
    loaderReply('O');
    return;
  }
  LoaderLine line;
  std::copy(loaderLine_.begin(), loaderLine_.end(), line.begin());
  loaderLine_.clear();
  const bool end =
      line[0] == 'U' && std::all_of(line.begin() + 1, line.end(), [](auto b) { return b == 0xFF; });
  if (end) {
    mode_ = Mode::Command;
    loaderReply('Z');
    notify(Event::Loader, "end line answered \"Z\", loader left with " +
                              std::to_string(record_.loaderLines.size()) + " lines stored");
    return;
  }
  storeLine(line);
  loaderReply(keptWithP ? 'P' : 'K');
}

void Unit::storeLine(const LoaderLine &line) {
  const std::uint32_t address = line[0] | (line[1] << 8);
  for (std::uint32_t i = 0; i < 4; ++i)
    record_.memory[address + i] =
        static_cast<std::uint16_t>(line[2 + 2 * i] | (line[3 + 2 * i] << 8));
  pushCapped(record_.loaderLines, line);
  char text[64];
  std::snprintf(text, sizeof text, "line %zu stored at word 0x%04X", record_.loaderLines.size(),
                address);
  notify(Event::Loader, text);
}

}  // namespace sim
