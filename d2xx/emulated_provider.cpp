#include "d2xx/emulated_provider.h"

namespace d2xx {

// Emulated units are not served yet: the provider lists nothing.
std::unique_ptr<DeviceProvider> MakeEmulatedProvider() {
  return nullptr;
}

}  // namespace d2xx
