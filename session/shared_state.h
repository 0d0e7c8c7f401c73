// The state that the main window owns and shares with the other windows: the device state of the
// last scan and choice, the session of the chosen unit (its one open port, the reply buffer and
// last send result of the link), the program folder and the remembered paths. Windows are given
// this object; nothing is global.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/session.h"

struct SharedState : Session {
  // The transfer log goes into the program folder.
  explicit SharedState(std::string programFolder)
      : Session({}, programFolder), ProgramFolder(std::move(programFolder)) {}

  // Device state.
  std::array<std::string, 65> SerialList;  // "VERTIKOmate" serial numbers, driver order
  std::int32_t DeviceCount = 0;            // FT devices of every kind at the last scan
  std::int32_t UnitCount = 0;              // entries of SerialList beginning "VRT"
  std::int32_t ChosenIndex = 0;            // index in SerialList of the chosen unit
  bool DeviceChosen = false;

  // Files. ProgramFolder ends in "/".
  std::string ProgramFolder;
  std::string AudioPath;
  std::string FirmPath;

  // Display names of the sound output devices: listed after the main window's first paint, and
  // again at each press of "Message recorder"; the recorder window shows and plays on this list.
  std::vector<std::string> AudioDeviceList;

  const std::string &ChosenSerial() const {
    static const std::string none;
    if (ChosenIndex < 0 || ChosenIndex >= static_cast<std::int32_t>(SerialList.size())) return none;
    return SerialList[static_cast<std::size_t>(ChosenIndex)];
  }

  // The session's unit is the chosen one.
  const std::string &Serial() const override { return ChosenSerial(); }
};
