#include "d2xx/backend.h"

#include <algorithm>
#include <cstring>

namespace d2xx {

namespace {
std::unique_ptr<Backend> &systemBackend() {
  static std::unique_ptr<Backend> backend;
  return backend;
}
Backend *installed = nullptr;
thread_local OpenWait openWait = OpenWait::Bounded;
}  // namespace

OpenWait CurrentOpenWait() {
  return openWait;
}

ScopedOpenWithoutWait::ScopedOpenWithoutWait() : previous_(openWait) {
  openWait = OpenWait::Never;
}

ScopedOpenWithoutWait::~ScopedOpenWithoutWait() {
  openWait = previous_;
}

Backend &CurrentBackend() {
  if (installed) return *installed;
  auto &system = systemBackend();
  if (!system) system = MakeSystemBackend();
  return *system;
}

ScopedBackend::ScopedBackend(std::unique_ptr<Backend> backend)
    : backend_(std::move(backend)), previous_(installed) {
  installed = backend_.get();
}

ScopedBackend::~ScopedBackend() {
  installed = previous_;
}

struct ProviderBackend::Open {
  std::uintptr_t handle;
  std::unique_ptr<Device> device;
};

ProviderBackend::ProviderBackend(std::vector<std::unique_ptr<DeviceProvider>> providers)
    : providers_(std::move(providers)) {
  std::erase(providers_, nullptr);
}

ProviderBackend::~ProviderBackend() = default;

std::vector<DeviceEntry> ProviderBackend::listAll() {
  std::lock_guard lock(providersMutex_);
  std::vector<DeviceEntry> all;
  for (auto &provider : providers_) {
    auto some = provider->Enumerate();
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

FT_STATUS ProviderBackend::ListDevices(void *arg1, void *arg2, DWORD flags) {
  if (flags & FT_LIST_NUMBER_ONLY) {
    if (!arg1) return FT_INVALID_PARAMETER;
    *static_cast<DWORD *>(arg1) = static_cast<DWORD>(listAll().size());
    return FT_OK;
  }
  if (flags & FT_LIST_BY_INDEX) {
    if (!arg2) return FT_INVALID_PARAMETER;
    const auto index = reinterpret_cast<std::uintptr_t>(arg1);
    const auto all = listAll();
    if (index >= all.size()) return FT_DEVICE_NOT_FOUND;
    const std::string *text = nullptr;
    if (flags & FT_OPEN_BY_SERIAL_NUMBER)
      text = &all[index].serial;
    else if (flags & FT_OPEN_BY_DESCRIPTION)
      text = &all[index].description;
    else
      return FT_INVALID_PARAMETER;
    const std::size_t n = std::min<std::size_t>(text->size(), FT_LIST_TEXT_MAX - 1);
    std::memcpy(arg2, text->data(), n);
    static_cast<char *>(arg2)[n] = '\0';
    return FT_OK;
  }
  return FT_INVALID_PARAMETER;
}

FT_STATUS ProviderBackend::OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
  if (!handle) return FT_INVALID_PARAMETER;
  *handle = nullptr;
  if (flags != FT_OPEN_BY_SERIAL_NUMBER || !arg) return FT_INVALID_PARAMETER;
  const std::string serial(static_cast<const char *>(arg));
  std::lock_guard providersLock(providersMutex_);
  FT_STATUS status = FT_DEVICE_NOT_FOUND;
  for (auto &provider : providers_) {
    std::unique_ptr<Device> device;
    status = provider->Open(serial, device);
    if (status == FT_DEVICE_NOT_FOUND) continue;
    if (status != FT_OK) return status;
    if (!device) return FT_DEVICE_NOT_OPENED;
    std::lock_guard openLock(openMutex_);
    const std::uintptr_t h = nextHandle_++;
    open_.push_back(std::make_unique<Open>(Open{h, std::move(device)}));
    *handle = reinterpret_cast<FT_HANDLE>(h);
    return FT_OK;
  }
  return status;
}

Device *ProviderBackend::find(FT_HANDLE handle) {
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  std::lock_guard lock(openMutex_);
  for (auto &open : open_)
    if (open->handle == h) return open->device.get();
  return nullptr;
}

FT_STATUS ProviderBackend::Close(FT_HANDLE handle) {
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  std::unique_ptr<Open> closing;
  {
    std::lock_guard lock(openMutex_);
    auto it = std::find_if(open_.begin(), open_.end(), [h](auto &o) { return o->handle == h; });
    if (it == open_.end()) return FT_INVALID_HANDLE;
    closing = std::move(*it);
    open_.erase(it);
  }
  // The device closes outside the lock: a close that waits for its output to drain holds no
  // other handle.
  closing.reset();
  return FT_OK;
}

FT_STATUS ProviderBackend::SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  Device *d = find(handle);
  return d ? d->SetBaudRate(baudRate) : FT_INVALID_HANDLE;
}

FT_STATUS ProviderBackend::Read(FT_HANDLE handle, void *buffer, DWORD toRead, DWORD *read) {
  if (read) *read = 0;
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (!buffer || !read) return FT_INVALID_PARAMETER;
  return d->Read(buffer, toRead, read);
}

FT_STATUS ProviderBackend::Write(FT_HANDLE handle, const void *buffer, DWORD toWrite,
                                 DWORD *written) {
  if (written) *written = 0;
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (!buffer || !written) return FT_INVALID_PARAMETER;
  return d->Write(buffer, toWrite, written);
}

FT_STATUS ProviderBackend::GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *event) {
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (!rx || !tx || !event) return FT_INVALID_PARAMETER;
  *event = 0;
  return d->QueueStatus(rx, tx);
}

FT_STATUS ProviderBackend::SetDtr(FT_HANDLE handle) {
  Device *d = find(handle);
  return d ? d->SetDtr(true) : FT_INVALID_HANDLE;
}
FT_STATUS ProviderBackend::ClrDtr(FT_HANDLE handle) {
  Device *d = find(handle);
  return d ? d->SetDtr(false) : FT_INVALID_HANDLE;
}
FT_STATUS ProviderBackend::SetRts(FT_HANDLE handle) {
  Device *d = find(handle);
  return d ? d->SetRts(true) : FT_INVALID_HANDLE;
}
FT_STATUS ProviderBackend::ClrRts(FT_HANDLE handle) {
  Device *d = find(handle);
  return d ? d->SetRts(false) : FT_INVALID_HANDLE;
}

FT_STATUS ProviderBackend::GetModemStatus(FT_HANDLE handle, ULONG *status) {
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (!status) return FT_INVALID_PARAMETER;
  return d->ModemStatus(status);
}

FT_STATUS ProviderBackend::SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  Device *d = find(handle);
  return d ? d->SetBitMode(mask, mode) : FT_INVALID_HANDLE;
}

FT_STATUS ProviderBackend::SetEventNotification(FT_HANDLE handle, DWORD mask, void *param) {
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (mask == 0) return d->NotifyReceived(nullptr);
  if (mask != FT_EVENT_RXCHAR) return FT_NOT_SUPPORTED;
  if (!param) return FT_INVALID_PARAMETER;
  return d->NotifyReceived(static_cast<EventHandle *>(param));
}

}  // namespace d2xx
