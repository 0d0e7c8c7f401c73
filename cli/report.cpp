#include "cli/report.h"

#include <QString>
#include <QStringDecoder>
#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// One byte as a terminal may show it: printable ASCII as it is, anything else escaped.
void AppendEscaped(std::string &out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7F) {
    out += c;
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\n') {
    out += "\\n";
  } else {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
  }
}

// A message on one line: its line breaks (CR LF or LF) shown as " / ", every other byte that is
// not printable ASCII escaped.
std::string OneLine(const std::string &text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool crLf = c == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    if (c == '\n' || crLf) {
      if (crLf) ++i;
      if (i + 1 < text.size()) line += " / ";
    } else {
      AppendEscaped(line, c);
    }
  }
  return line;
}

// The serial number's column: 10 wide, or as wide as the longest serial and two blanks.
constexpr std::size_t kSerialColumn = 10;
std::size_t SerialWidth(const std::vector<std::string> &serials) {
  std::size_t width = kSerialColumn;
  for (const auto &serial : serials) width = std::max(width, EscapedText(serial).size() + 2);
  return width;
}

std::string ResultWord(const UnitResult &result) {
  return result.ok ? "ok" : result.interrupted ? "interrupted" : "failed";
}

}  // namespace

Reporter::Reporter(std::ostream &out, bool terminal, int width,
                   const std::vector<std::string> &serials, const std::string &job)
    : out_(out),
      terminal_(terminal),
      width_(std::max(20, width)),
      serialWidth_(SerialWidth(serials)),
      job_(job) {
  for (const auto &serial : serials) rows_.push_back({serial, {"waiting", -1}, false, {}, -1});
}

std::string Reporter::Line(std::size_t index) const {
  const Row &row = rows_[index];
  std::string line = Pad(EscapedText(row.serial), serialWidth_) + Pad(job_, 10);
  if (row.ended) {
    line += Pad(ResultWord(row.result), 12) + Pad(Seconds(row.result.seconds), 9) +
            OneLine(row.result.message);
    while (!line.empty() && line.back() == ' ') line.pop_back();
  } else {
    line += Pad("running", 12);
    if (row.progress.percent >= 0) line += Pad(std::to_string(row.progress.percent) + "%", 6);
    line += OneLine(row.progress.state);
  }
  return line;
}

void Reporter::Progressed(std::size_t index, const Progress &progress) {
  Row &row = rows_.at(index);
  if (row.ended) return;
  const bool newState = progress.state != row.progress.state;
  row.progress = progress;
  dirty_ = true;
  if (terminal_) return;
  // Plain lines: one at each change of phase and at every further tenth of the way.
  const int tenth = progress.percent < 0 ? -1 : progress.percent / kPlainStep;
  if (!newState && tenth <= row.tenthShown) return;
  row.tenthShown = newState ? tenth : std::max(row.tenthShown, tenth);
  out_ << Line(index) << '\n' << std::flush;
}

void Reporter::Ended(std::size_t index, const UnitResult &result) {
  Row &row = rows_.at(index);
  row.ended = true;
  row.result = result;
  dirty_ = true;
  if (!terminal_) out_ << Line(index) << '\n' << std::flush;
}

void Reporter::Flush() {
  if (!terminal_ || !dirty_) return;
  dirty_ = false;
  if (drawn_) out_ << "\x1b[" << rows_.size() << 'A';
  drawn_ = true;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    std::string line = Line(i);
    if (line.size() >= static_cast<std::size_t>(width_)) line.resize(width_ - 1);
    out_ << "\r\x1b[2K" << line << '\n';
  }
  out_ << std::flush;
}

std::string SummaryText(const std::vector<UnitResult> &results) {
  std::size_t succeeded = 0;
  for (const auto &result : results)
    if (result.ok) ++succeeded;
  std::string text = "Summary: " + std::to_string(succeeded) + " of " +
                     std::to_string(results.size()) + (results.size() == 1 ? " unit" : " units") +
                     " succeeded\n";
  std::vector<std::string> serials;
  for (const auto &result : results) serials.push_back(result.serial);
  const std::size_t serialWidth = SerialWidth(serials);
  for (const auto &result : results) {
    text += Pad(EscapedText(result.serial), serialWidth) + Pad(result.job, 10) +
            Pad(ResultWord(result), 12) + Pad(Seconds(result.seconds), 9) + OneLine(result.message);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += '\n';
  }
  return text;
}

std::string EscapedText(const std::string &text, bool keepHighBytes) {
  std::string out;
  for (const char c : text) {
    if (keepHighBytes && static_cast<unsigned char>(c) >= 0x80)
      out += c;
    else
      AppendEscaped(out, c);
  }
  return out;
}

std::string JsonString(const std::string &text) {
  // UTF-8 text (a serial number, a file name) stays as it is; other bytes (a unit's reply) are
  // Latin-1, one character each.
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  QString decoded = decoder(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (decoder.hasError()) decoded = QString::fromLatin1(text);
  std::string out = "\"";
  for (qsizetype i = 0; i < decoded.size(); ++i) {
    const char16_t code = decoded[i].unicode();
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
      // Control characters, those of the 8-bit range too, which a terminal may act on.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code));
      out += escaped;
    } else {
      const qsizetype length = decoded[i].isHighSurrogate() && i + 1 < decoded.size() ? 2 : 1;
      out += decoded.mid(i, length).toUtf8().toStdString();
      i += length - 1;
    }
  }
  return out + "\"";
}

std::string JsonResults(const std::vector<UnitResult> &results, const std::string &history) {
  std::string json = "{\"units\": [";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const UnitResult &r = results[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    json += (i ? ", " : "") + std::string("{\"serial\": ") + JsonString(r.serial) +
            ", \"job\": " + JsonString(r.job) + ", \"ok\": " + (r.ok ? "true" : "false") +
            ", \"message\": " + JsonString(r.message) + ", \"seconds\": " + seconds +
            ", \"id\": " + (r.id.empty() ? std::string("null") : JsonString(r.id)) + "}";
  }
  return json + "], \"history\": " + JsonString(history) + "}";
}

}  // namespace cli
