#include "link/link.h"

#include <thread>

#include "d2xx/backend.h"

namespace {
constexpr DWORD kBaudRate = 9600;
}

void ConfigurePort(TFT232 &port) {
  port.SetBitMode(0, 0);
  port.ClearDtr(false);
  port.ClearRts(true);
  port.SetBaudRate(kBaudRate);
}

std::unique_ptr<TFT232> OpenConfiguredPort(const std::string &serial,
                                           std::chrono::milliseconds settle) {
  auto port = std::make_unique<TFT232>(serial);
  if (settle.count() > 0) std::this_thread::sleep_for(settle);
  ConfigurePort(*port);
  if (settle.count() > 0) std::this_thread::sleep_for(settle);
  return port;
}

std::string ReceiveAll(std::unique_ptr<TFT232> &port, const std::string &serial) {
  std::string result;
  if (!port) return result;
  const std::int32_t n = port->RxQueueCount();
  if (n > 0) {
    bool complete = true;
    for (std::int32_t i = 0; i < n; ++i) {
      std::uint8_t byte = 0;
      if (!port->ReadByte(byte)) {
        complete = false;
        break;
      }
      result.push_back(static_cast<char>(byte));
    }
    if (complete) return result;
  }
  if (port->RxQueueCount() == 0) return result;
  try {
    // A second open of a unit that is still open fails, so a healthy link is never replaced.
    // A poll never waits for a unit that has not answered yet; the next poll goes on with it.
    const d2xx::ScopedOpenWithoutWait noWait;
    port = OpenConfiguredPort(serial);  // the replaced port closes its handle
  } catch (const TFT232Exception &) {
    // the next poll tries again
  }
  return result;
}

bool FindUnit(std::unique_ptr<TFT232> &port, const std::string &serial) {
  if (port && port->RxQueueCount() >= 0) return true;
  if (serial.empty()) return false;
  try {
    port = OpenConfiguredPort(serial);  // the replaced port closes its handle
  } catch (const TFT232Exception &) {
    return false;  // not there: the job's first command fails as it would have
  }
  return true;
}

bool SendText(TFT232 *port, const std::string &text) {
  if (text.empty() || !port) return false;
  for (char c : text)
    if (!port->WriteByte(static_cast<std::uint8_t>(c))) return false;
  return true;
}
