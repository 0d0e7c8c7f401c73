#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"
#include "d2xx/serial_provider.h"

namespace d2xx {

std::unique_ptr<Backend> MakeSystemBackend() {
  std::vector<std::unique_ptr<DeviceProvider>> providers;
  providers.push_back(MakeSerialProvider());    // real devices are listed first
  providers.push_back(MakeEmulatedProvider());  // then emulated units
  return std::make_unique<ProviderBackend>(std::move(providers));
}

}  // namespace d2xx
