// What a job on one unit needs: the unit's serial number, its open port, the reply buffer and the
// result of the last send, and where its transfer log goes. Each unit has a session of its own,
// so that several run side by side in one process; the windows share the session of the unit
// chosen in the main window (SharedState).
#pragma once

#include <memory>
#include <string>

#include "link/ft232.h"
#include "link/link.h"

struct Session {
  Session() = default;
  Session(std::string serial, std::string logFolder)
      : LogFolder(std::move(logFolder)), serial_(std::move(serial)) {}
  virtual ~Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // The unit's serial number: the one the port is opened on, again after an unplugging.
  virtual const std::string &Serial() const { return serial_; }

  std::unique_ptr<TFT232> Port;  // the open port on the unit, or none

  // Link state.
  std::string ReplyBuffer;
  bool LastSendResult = true;

  // The firmware transfer log: LogFolder (ending in "/") and LogName.
  std::string LogFolder;
  std::string LogName = "LOG_file1.TXT";  // the windows' name
  std::string LogPath() const { return LogFolder + LogName; }

  // The link routines on this session's port and unit.
  std::string ReceiveAll() { return ::ReceiveAll(Port, Serial()); }
  bool SendText(const std::string &text) { return ::SendText(Port.get(), text); }
  // Before a job: the unit opened anew when its port was lost to an unplugging.
  bool FindUnit() { return ::FindUnit(Port, Serial()); }

 private:
  std::string serial_;
};
