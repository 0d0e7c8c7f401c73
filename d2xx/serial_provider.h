// Real FT232 adapters served by the kernel's ftdi_sio driver (/dev/ttyUSB*).
#pragma once

#include <memory>

#include "d2xx/backend.h"

namespace d2xx {
std::unique_ptr<DeviceProvider> MakeSerialProvider();
}
