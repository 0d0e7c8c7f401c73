// The state that the main window owns and shares with the other windows: the device state of the
// last scan and choice, the one open port, the reply buffer and last send result of the link, the
// program folder and the two remembered paths. Windows are given this object; nothing is global.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/ft232.h"
#include "link/link.h"

struct SharedState {
  explicit SharedState(std::string programFolder) : ProgramFolder(std::move(programFolder)) {}

  // Device state.
  std::array<std::string, 65> SerialList;  // "VERTIKOmate" serial numbers, driver order
  std::int32_t DeviceCount = 0;            // FT devices of every kind at the last scan
  std::int32_t UnitCount = 0;              // entries of SerialList beginning "VRT"
  std::int32_t ChosenIndex = 0;            // index in SerialList of the chosen unit
  bool DeviceChosen = false;
  std::unique_ptr<TFT232> Port;  // the open port on the chosen unit, or none

  // Link state.
  std::string ReplyBuffer;
  bool LastSendResult = true;

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

  // The link routines on this state's port and chosen unit.
  std::string ReceiveAll() { return ::ReceiveAll(Port, ChosenSerial()); }
  bool SendText(const std::string &text) { return ::SendText(Port.get(), text); }
};
