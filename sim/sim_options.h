// The command line of the emulator program skarvel-sim.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "sim/unit.h"

namespace sim {

struct Unsolicited {
  std::string text;
  std::chrono::milliseconds period{1000};
};

struct DeviceSetup {
  UnitOptions options;
  std::vector<Unsolicited> unsolicited;
};

struct SimOptions {
  std::vector<DeviceSetup> devices;  // one unit VRT00001 when none is named
  std::string recordFile;
  std::string captureFile;    // empty: recordings keep no sound
  std::string captureSource;  // empty: the monitor of the default sink
  std::string directory;      // empty: the device directory of this user
  // Every device's line: timed as a real unit's, 1 ms latency timer, unless told otherwise.
  WireOptions wire{.timed = true, .latency = kUdevLatency};
  bool quiet = false;
  bool help = false;
};

// Reads the arguments (without the program name). Throws std::invalid_argument with a message
// for the user on a bad argument.
SimOptions ParseSimArguments(const std::vector<std::string> &args);

// The text that --help prints.
std::string SimUsage();

// Text with \r, \n, \\ and \xHH escapes turned into bytes.
std::string Unescape(const std::string &text);

}  // namespace sim
