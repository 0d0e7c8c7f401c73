#include "d2xx/serial_provider.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "d2xx/tty_device.h"

namespace d2xx {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTtyPrefix = "ttyUSB";
constexpr std::size_t kLongestString = 255;

// The number of "ttyUSBn"; -1 for any other name.
long ttyNumber(const std::string &name) {
  if (!name.starts_with(kTtyPrefix) || name.size() == kTtyPrefix.size() ||
      name.size() > kTtyPrefix.size() + 9)
    return -1;
  long number = 0;
  for (std::size_t i = kTtyPrefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

// A sysfs string attribute up to its first CR, LF or NUL; empty when it cannot be read.
std::string readString(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  char c = 0;
  while (text.size() < kLongestString && in.get(c) && c != '\r' && c != '\n' && c != '\0')
    text.push_back(c);
  return text;
}

bool servedByFtdiSio(const fs::path &device) {
  std::error_code error;
  const fs::path driver = fs::read_symlink(device / "driver", error);
  return !error && driver.filename() == "ftdi_sio";
}

// The USB device above a tty's device: the nearest ancestor, inside the sysfs tree, that holds
// idVendor.
fs::path usbDeviceOf(const fs::path &device, const fs::path &root) {
  std::error_code error;
  fs::path dir = fs::canonical(device, error);
  if (error) return {};
  for (; !dir.empty() && dir != root && dir != dir.parent_path(); dir = dir.parent_path()) {
    if (fs::exists(dir / "idVendor", error)) return dir;
  }
  return {};
}

class SerialProvider : public DeviceProvider {
 public:
  SerialProvider(std::string sysRoot, std::string devRoot)
      : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

  std::vector<DeviceEntry> Enumerate() override {
    std::vector<DeviceEntry> entries;
    for (auto &tty : ListFtdiTtys(sysRoot_)) entries.push_back(std::move(tty.entry));
    return entries;
  }

  FT_STATUS Open(const std::string &serial, std::unique_ptr<Device> &device) override {
    if (serial.empty()) return FT_DEVICE_NOT_FOUND;
    for (const auto &tty : ListFtdiTtys(sysRoot_))
      if (tty.entry.serial == serial) return OpenTty(devRoot_ + "/" + tty.name, device);
    return FT_DEVICE_NOT_FOUND;
  }

 private:
  std::string sysRoot_;
  std::string devRoot_;
};

}  // namespace

std::vector<SerialTty> ListFtdiTtys(const std::string &sysRoot) {
  std::vector<std::pair<long, SerialTty>> found;
  try {
    std::error_code error;
    const fs::path root = fs::canonical(sysRoot, error);
    if (error) return {};
    for (fs::directory_iterator it(root / "class" / "tty", error), end; !error && it != end;
         it.increment(error)) {
      std::string name = it->path().filename().string();
      const long number = ttyNumber(name);
      if (number < 0) continue;
      const fs::path device = it->path() / "device";
      if (!servedByFtdiSio(device)) continue;
      SerialTty tty{std::move(name), {}};
      const fs::path usb = usbDeviceOf(device, root);
      if (!usb.empty()) {
        tty.entry.description = readString(usb / "product");
        tty.entry.serial = readString(usb / "serial");
      }
      found.emplace_back(number, std::move(tty));
    }
  } catch (const std::exception &) {
    return {};  // a listing is never worth an error of its own
  }
  std::sort(found.begin(), found.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<SerialTty> ttys;
  for (auto &[number, tty] : found) ttys.push_back(std::move(tty));
  return ttys;
}

std::unique_ptr<DeviceProvider> MakeSerialProvider() {
  return MakeSerialProvider("/sys", "/dev");
}

std::unique_ptr<DeviceProvider> MakeSerialProvider(std::string sysRoot, std::string devRoot) {
  return std::make_unique<SerialProvider>(std::move(sysRoot), std::move(devRoot));
}

}  // namespace d2xx
