#include "sim/sim_options.h"

#include <cctype>
#include <stdexcept>

namespace sim {

namespace {

std::vector<std::string> splitComma(const std::string &text, std::size_t most) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (parts.size() + 1 < most) {
    const auto comma = text.find(',', start);
    if (comma == std::string::npos) break;
    parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

int number(const std::string &text, const std::string &option, int least, int most) {
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < least || value > most)
    throw std::invalid_argument(option + ": \"" + text + "\" is not a number from " +
                                std::to_string(least) + " to " + std::to_string(most));
  return value;
}

// "WORD", "WORD#N" or "*" (every line).
void target(const std::string &text, const std::string &option, LineFault &fault) {
  if (text.empty()) throw std::invalid_argument(option + " needs a command word");
  const auto hash = text.find('#', 1);  // "#" itself is a command word
  fault.word = text.substr(0, hash);
  if (fault.word == "*") fault.word.clear();
  if (hash != std::string::npos) fault.nth = number(text.substr(hash + 1), option, 1, 1000000);
}

}  // namespace

std::string Unescape(const std::string &text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char c = text[++i];
    if (c == 'r')
      out.push_back('\r');
    else if (c == 'n')
      out.push_back('\n');
    else if (c == 'x' && i + 2 < text.size() &&
             std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else
      out.push_back(c);
  }
  return out;
}

std::string SimUsage() {
  return R"(Usage: skarvel-sim [options]
Serves emulated Skarvel units over the emulated device link until SIGINT or SIGTERM, and removes
their device folders at the end. Without options it serves one unit, VRT00001. It prints each
command line it receives and each reply, one line each.

Devices, listed in the order given (by byte order of their folders, which are their serials):
  --unit SERIAL              a unit with this serial number
  --new-unit SERIAL          a unit never written: "NEW\r\nOK\r\n" to its first AT@NORM
  --device SERIAL[,DESCR]    an FT device that is no unit (description "FT232R USB UART")

Faults, for the device named last (given before any device: for every device). WORD is a
command word (P05, NORM, OGRIE, #, ...), WORD#N only its Nth line, * every line:
  --no-answer WORD[#N]       neither act on nor answer these lines
  --late MS[,WORD[#N]]       answer MS milliseconds late (every line without WORD)
  --split BYTES[,MS[,WORD[#N]]]
                             answer in pieces of BYTES bytes, MS (150) milliseconds apart
  --err WORD[#N]             answer "ERR\r\n" to these lines
  --loader P|E|SILENT,LINE[,BYTE]
                             the loader answers "P", "E" or nothing to byte BYTE (10) of its
                             LINEth line
  --unsolicited TEXT,MS      send TEXT every MS milliseconds (\r \n \xHH understood; CR LF is
                             added to a TEXT without LF)
  --power-off                start powered off (CTS set, deaf)

The line to the host, for every device: each byte takes its time at the port's baud rate (10
bits a byte, 1.04 ms at 9600) both ways, and the unit's bytes reach the host when the FT232's
latency timer runs out or 62 of them fill its buffer:
  --latency MS               the latency timer: 1 (as the udev rule sets it, the default) to
                             255 milliseconds; 16 is the FT232's own
  --instant                  bytes pass at once, without the line's timing (for tests)

Other:
  --record FILE              write what each device received to FILE (JSON) at the end and at
                             the "record" command
  --capture FILE.wav         record for real: capture what the sound output plays and keep the
                             sound of each recording (RTS cleared after "WAIT RTS" until RTS is
                             set) as a WAV file: FILE.wav, then FILE-2.wav, ...; the record
                             gives the file and the times of the two RTS changes
  --capture-source NAME      the PulseAudio source to capture (a sink's monitor is
                             SINK.monitor); default: the monitor of the default sink
  --directory DIR            serve in DIR instead of the user's device directory
  --quiet                    print only errors
  --help                     this text

Commands on standard input, one a line:
  unplug SERIAL | plug SERIAL | off SERIAL | on SERIAL | say SERIAL TEXT | record | quit
)";
}

SimOptions ParseSimArguments(const std::vector<std::string> &args) {
  SimOptions o;
  std::vector<LineFault> allLines;
  std::vector<LoaderFault> allLoader;
  std::vector<Unsolicited> allUnsolicited;
  bool allPowerOff = false;
  auto value = [&](std::size_t &i) -> const std::string & {
    if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
    return args[++i];
  };
  auto addLineFault = [&](LineFault f) {
    if (o.devices.empty())
      allLines.push_back(f);
    else
      o.devices.back().options.lineFaults.push_back(f);
  };
  auto addDevice = [&](UnitOptions options) {
    for (const auto &d : o.devices)
      if (d.options.serial == options.serial)
        throw std::invalid_argument("serial number " + options.serial + " given twice");
    if (options.serial.empty() || options.serial.size() > 63)
      throw std::invalid_argument("a serial number has 1 to 63 characters");
    o.devices.push_back({std::move(options), {}});
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--unit" || a == "--new-unit") {
      UnitOptions u;
      u.serial = value(i);
      u.neverWritten = a == "--new-unit";
      addDevice(std::move(u));
    } else if (a == "--device") {
      const auto parts = splitComma(value(i), 2);
      UnitOptions u;
      u.serial = parts[0];
      u.description = parts.size() > 1 ? parts[1] : std::string(kForeignDescription);
      u.foreign = true;
      if (u.description.empty() || u.description.size() > 63)
        throw std::invalid_argument("a description has 1 to 63 characters");
      addDevice(std::move(u));
    } else if (a == "--no-answer" || a == "--err") {
      LineFault f;
      f.kind = a == "--err" ? LineFault::Kind::Err : LineFault::Kind::NoAnswer;
      target(value(i), a, f);
      addLineFault(f);
    } else if (a == "--late") {
      const auto parts = splitComma(value(i), 2);
      LineFault f;
      f.kind = LineFault::Kind::Late;
      f.delay = std::chrono::milliseconds(number(parts[0], a, 0, 600000));
      if (parts.size() > 1) target(parts[1], a, f);
      addLineFault(f);
    } else if (a == "--split") {
      const auto parts = splitComma(value(i), 3);
      LineFault f;
      f.kind = LineFault::Kind::Split;
      f.pieceSize = static_cast<std::size_t>(number(parts[0], a, 1, 255));
      f.delay = std::chrono::milliseconds(parts.size() > 1 ? number(parts[1], a, 0, 600000) : 150);
      if (parts.size() > 2) target(parts[2], a, f);
      addLineFault(f);
    } else if (a == "--loader") {
      const auto parts = splitComma(value(i), 3);
      LoaderFault f;
      if (parts[0] == "P")
        f.kind = LoaderFault::Kind::P;
      else if (parts[0] == "E")
        f.kind = LoaderFault::Kind::E;
      else if (parts[0] == "SILENT")
        f.kind = LoaderFault::Kind::Silence;
      else
        throw std::invalid_argument("--loader: P, E or SILENT, not \"" + parts[0] + "\"");
      if (parts.size() < 2) throw std::invalid_argument("--loader needs a line number");
      f.line = number(parts[1], a, 1, 1000000);
      f.byte = parts.size() > 2 ? number(parts[2], a, 1, 10) : 10;
      if (o.devices.empty())
        allLoader.push_back(f);
      else
        o.devices.back().options.loaderFaults.push_back(f);
    } else if (a == "--unsolicited") {
      const auto parts = splitComma(value(i), 2);
      if (parts.size() < 2) throw std::invalid_argument("--unsolicited needs TEXT,MS");
      Unsolicited u;
      u.text = Unescape(parts[0]);
      if (u.text.empty()) throw std::invalid_argument("--unsolicited needs a text");
      if (u.text.back() != '\n') u.text += "\r\n";
      u.period = std::chrono::milliseconds(number(parts[1], a, 10, 86400000));
      if (o.devices.empty())
        allUnsolicited.push_back(u);
      else
        o.devices.back().unsolicited.push_back(u);
    } else if (a == "--power-off") {
      if (o.devices.empty())
        allPowerOff = true;
      else
        o.devices.back().options.powered = false;
    } else if (a == "--latency") {
      o.wire.latency = std::chrono::milliseconds(number(value(i), a, 1, 255));
    } else if (a == "--instant") {
      o.wire.timed = false;
    } else if (a == "--record") {
      o.recordFile = value(i);
    } else if (a == "--capture") {
      o.captureFile = value(i);
      if (o.captureFile.empty()) throw std::invalid_argument("--capture needs a file name");
    } else if (a == "--capture-source") {
      o.captureSource = value(i);
      if (o.captureSource.empty()) throw std::invalid_argument("--capture-source needs a name");
    } else if (a == "--directory") {
      o.directory = value(i);
    } else if (a == "--quiet") {
      o.quiet = true;
    } else {
      throw std::invalid_argument("unknown option \"" + a + "\" (see --help)");
    }
  }
  if (!o.captureSource.empty() && o.captureFile.empty())
    throw std::invalid_argument("--capture-source goes with --capture");
  if (o.devices.empty()) o.devices.push_back({UnitOptions{}, {}});
  for (auto &d : o.devices) {
    auto &lf = d.options.lineFaults;
    lf.insert(lf.begin(), allLines.begin(), allLines.end());
    auto &ld = d.options.loaderFaults;
    ld.insert(ld.begin(), allLoader.begin(), allLoader.end());
    d.unsolicited.insert(d.unsolicited.begin(), allUnsolicited.begin(), allUnsolicited.end());
    if (allPowerOff) d.options.powered = false;
    d.options.wire = o.wire;
  }
  return o;
}

}  // namespace sim
