#include "d2xx/serial_provider.h"

namespace d2xx {

// Real adapters are not served yet: the provider lists nothing.
std::unique_ptr<DeviceProvider> MakeSerialProvider() {
  return nullptr;
}

}  // namespace d2xx
