// A driver layer that sees the emulated units only, for a test or a benchmark that serves its own
// units over the emulated device link (with PrivateRuntimeDir, none but its own).
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"

inline std::unique_ptr<d2xx::Backend> EmulatedBackend() {
  std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
  providers.push_back(d2xx::MakeEmulatedProvider());
  return std::make_unique<d2xx::ProviderBackend>(std::move(providers));
}
