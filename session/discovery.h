// Discovery and choice of the Skarvel unit: the scan of the FT devices, the units it offers, the
// choose-open-configure sequence of "Select device", and the texts of the main window's status
// label. Plain logic over the shared state; the windows only show what it decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class UserPrompt;
struct SharedState;

inline constexpr char kUnitDescription[] = "VERTIKOmate";
inline constexpr char kUnitSerialPrefix[] = "VRT";

// Messages of "Select device".
inline constexpr char kNoUnitFound[] = "None of USB device not found";
inline constexpr char kNoUnitSelected[] = "USB device not selected";
std::string NotConnectedMessage(const std::string &serial);

// Refreshes SerialList and DeviceCount from the driver's list: DeviceCount counts devices of
// every kind; SerialList holds the serial numbers of the "VERTIKOmate" devices in driver order,
// at most as many as it has entries, the rest empty. A device whose description or serial number
// cannot be read is not stored; a count that cannot be read counts no device.
void ScanDevices(SharedState &state);

// True for the serial number of a Skarvel unit.
bool IsUnitSerial(const std::string &serial);

// The number of SerialList entries that are units.
std::int32_t CountUnits(const SharedState &state);

// The entries that the choice window offers: the units of SerialList, in list order.
std::vector<std::string> OfferedUnits(const SharedState &state);

// The SerialList index of the offered unit whose serial number equals `typed` once blanks and
// control characters are removed from both ends; none for an empty text or one that names no
// offered unit.
std::optional<std::int32_t> FindChosenUnit(const SharedState &state, const std::string &typed);

// The status label after the scan at start-up: 24 blanks, then the device count.
std::string DeviceCountText(std::int32_t deviceCount);

// What "Select device" shows besides its messages.
class SelectionView {
 public:
  virtual ~SelectionView() = default;
  // The status label in its selection state (bold, size 14) with this text; the unit buttons
  // follow the state's port.
  virtual void ShowSelection(const std::string &label) = 0;
  // Shows the choice window modally; it sets DeviceChosen and ChosenIndex.
  virtual void ChooseUnit() = 0;
};

// "Select device": closes the open port, scans, lets the user choose a unit and opens and
// configures the port on it. Messages go to `prompt`.
void SelectDevice(SharedState &state, SelectionView &view, UserPrompt &prompt);

// Opens the chosen unit as the state's port and configures it, with a 10 ms pause before and
// after the configuration. False, and no port, when it cannot be opened.
bool OpenChosenUnit(SharedState &state);

// The main window's unit buttons are enabled exactly while a unit is open.
bool UnitButtonsEnabled(const SharedState &state);
