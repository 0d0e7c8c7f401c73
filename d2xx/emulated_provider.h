// Emulated units served over the emulated device link (a device directory of UNIX sockets).
#pragma once

#include <memory>

#include "d2xx/backend.h"

namespace d2xx {
std::unique_ptr<DeviceProvider> MakeEmulatedProvider();
}
