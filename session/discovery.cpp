#include "session/discovery.h"

#include <exception>

#include "link/ft232.h"
#include "link/link.h"
#include "session/shared_state.h"
#include "session/user_prompt.h"

namespace {

bool IsControlOrBlank(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || byte == 0x7F;
}

std::string Trimmed(const std::string &text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsControlOrBlank(text[begin])) ++begin;
  while (end > begin && IsControlOrBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// No unit open and none chosen: the label emptied, the buttons disabled, then the message.
void LeaveWithoutUnit(SharedState &state, SelectionView &view, UserPrompt &prompt,
                      const std::string &message) {
  state.ChosenIndex = 0;
  state.SerialList[0].clear();
  view.ShowSelection({});
  prompt.Warn(message);
}

}  // namespace

std::string NotConnectedMessage(const std::string &serial) {
  return "USB device " + serial + " not connected";
}

void ScanDevices(SharedState &state) {
  for (auto &entry : state.SerialList) entry.clear();
  state.DeviceCount = 0;
  if (GetFTDeviceCount() != FT_OK) return;
  state.DeviceCount = static_cast<std::int32_t>(FTDeviceCount);
  std::size_t stored = 0;
  for (DWORD i = 0; i < FTDeviceCount && stored < state.SerialList.size(); ++i) {
    if (GetFTDeviceDescription(i) != FT_OK || FTListText != kUnitDescription) continue;
    if (GetFTDeviceSerialNo(i) != FT_OK) continue;
    state.SerialList[stored++] = FTListText;
  }
}

bool IsUnitSerial(const std::string &serial) {
  return serial.starts_with(kUnitSerialPrefix);
}

std::int32_t CountUnits(const SharedState &state) {
  std::int32_t count = 0;
  for (const auto &entry : state.SerialList)
    if (IsUnitSerial(entry)) ++count;
  return count;
}

std::vector<std::string> OfferedUnits(const SharedState &state) {
  std::vector<std::string> units;
  for (const auto &entry : state.SerialList)
    if (IsUnitSerial(entry)) units.push_back(entry);
  return units;
}

std::optional<std::int32_t> FindChosenUnit(const SharedState &state, const std::string &typed) {
  const std::string text = Trimmed(typed);
  if (text.empty()) return std::nullopt;
  for (std::size_t i = 0; i < state.SerialList.size(); ++i)
    if (IsUnitSerial(state.SerialList[i]) && state.SerialList[i] == text)
      return static_cast<std::int32_t>(i);
  return std::nullopt;
}

std::string DeviceCountText(std::int32_t deviceCount) {
  return std::string(24, ' ') + "Number of connected devices = " + std::to_string(deviceCount);
}

bool OpenChosenUnit(SharedState &state) {
  try {
    state.Port.reset();  // a unit is open once
    state.Port = OpenConfiguredPort(state.ChosenSerial(), kOpenSettle);
    return true;
  } catch (const std::exception &) {
    // A port that could not be configured is not kept: no unit is open.
    state.Port.reset();
    return false;
  }
}

void SelectDevice(SharedState &state, SelectionView &view, UserPrompt &prompt) {
  state.Port.reset();  // closes the unit and pauses
  ScanDevices(state);
  state.DeviceChosen = false;
  state.UnitCount = CountUnits(state);
  if (state.UnitCount == 0) {
    LeaveWithoutUnit(state, view, prompt, kNoUnitFound);
    return;
  }
  view.ChooseUnit();
  if (!state.DeviceChosen) {
    LeaveWithoutUnit(state, view, prompt, kNoUnitSelected);
    return;
  }
  const std::string serial = state.ChosenSerial();
  if (!OpenChosenUnit(state)) prompt.Warn(NotConnectedMessage(serial));
  view.ShowSelection(serial);
}

bool UnitButtonsEnabled(const SharedState &state) {
  return state.Port != nullptr;
}
