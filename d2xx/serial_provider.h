// Real FT232 adapters served by the kernel's ftdi_sio driver (/dev/ttyUSB*).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "d2xx/backend.h"

namespace d2xx {

// One tty of the ftdi_sio driver: its name ("ttyUSB0") and the USB product and serial strings of
// its USB device (empty when the device has none).
struct SerialTty {
  std::string name;
  DeviceEntry entry;
};

// The ttyUSB* ttys under `sysRoot`/class/tty whose driver is ftdi_sio, in the order of their
// numbers. The strings come from the ancestor of the tty's device that holds idVendor, read up to
// the first CR, LF or NUL. Never throws; a tree that cannot be read lists nothing.
std::vector<SerialTty> ListFtdiTtys(const std::string &sysRoot);

// The provider over this machine's /sys and /dev.
std::unique_ptr<DeviceProvider> MakeSerialProvider();
// The provider over another sysfs tree and device folder, for tests: a tty "ttyUSBn" listed under
// `sysRoot` is opened as `devRoot`/ttyUSBn.
std::unique_ptr<DeviceProvider> MakeSerialProvider(std::string sysRoot, std::string devRoot);

}  // namespace d2xx
