#include "tests/support/fake_ftdi.h"

#include <algorithm>
#include <cstring>

namespace fake {

Device &Backend::add(const std::string &serial, const std::string &description) {
  Device d;
  d.serial = serial;
  d.description = description;
  devices.push_back(d);
  return devices.back();
}

Device *Backend::bySerial(const std::string &serial) {
  for (auto &d : devices)
    if (d.serial == serial) return &d;
  return nullptr;
}

std::vector<std::string> Backend::names() const {
  std::vector<std::string> out;
  for (const auto &c : calls) out.push_back(c.fn);
  return out;
}

void Backend::record(const char *fn, FT_HANDLE handle, std::vector<std::uint64_t> args) {
  calls.push_back(Call{fn, reinterpret_cast<std::uintptr_t>(handle), std::move(args)});
}

Device *Backend::find(FT_HANDLE handle) {
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  for (const auto &entry : handles_)
    if (entry.value == h) return &devices[entry.device];
  return nullptr;
}

FT_STATUS Backend::ListDevices(void *arg1, void *arg2, DWORD flags) {
  if (flags & FT_LIST_NUMBER_ONLY) {
    record("ListDevices", nullptr, {flags});
    if (countStatus != FT_OK) return countStatus;
    *static_cast<DWORD *>(arg1) = static_cast<DWORD>(devices.size());
    return FT_OK;
  }
  const auto index = reinterpret_cast<std::uintptr_t>(arg1);
  record("ListDevices", nullptr, {index, flags});
  if (index >= devices.size()) return FT_DEVICE_NOT_FOUND;
  const Device &d = devices[index];
  if (d.listStatus != FT_OK) return d.listStatus;
  const std::string &text = (flags & FT_OPEN_BY_DESCRIPTION) ? d.description : d.serial;
  const std::size_t n = std::min<std::size_t>(text.size(), FT_LIST_TEXT_MAX - 1);
  std::memcpy(arg2, text.data(), n);
  static_cast<char *>(arg2)[n] = '\0';
  return FT_OK;
}

FT_STATUS Backend::OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
  const std::string serial(static_cast<const char *>(arg));
  record("OpenEx", nullptr, {flags});
  openWaits.push_back(d2xx::CurrentOpenWait());
  *handle = nullptr;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    Device &d = devices[i];
    if (d.serial != serial) continue;
    if (d.openStatus != FT_OK) return d.openStatus;
    if (d.isOpen) return FT_DEVICE_NOT_OPENED;
    d.isOpen = true;
    d.dtr = d.rts = true;
    const std::uintptr_t h = next_++;
    handles_.push_back({h, i});
    *handle = reinterpret_cast<FT_HANDLE>(h);
    return FT_OK;
  }
  return FT_DEVICE_NOT_FOUND;
}

FT_STATUS Backend::Close(FT_HANDLE handle) {
  record("Close", handle);
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  auto it = std::find_if(handles_.begin(), handles_.end(), [h](auto &e) { return e.value == h; });
  if (it == handles_.end()) return FT_INVALID_HANDLE;
  const std::size_t device = it->device;
  handles_.erase(it);
  devices[device].isOpen = std::any_of(handles_.begin(), handles_.end(),
                                       [device](auto &e) { return e.device == device; });
  return FT_OK;
}

FT_STATUS Backend::SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  record("SetBaudRate", handle, {baudRate});
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->baud = baudRate;
  return FT_OK;
}

FT_STATUS Backend::Read(FT_HANDLE handle, void *buffer, DWORD toRead, DWORD *read) {
  record("Read", handle, {toRead});
  *read = 0;
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  auto *out = static_cast<std::uint8_t *>(buffer);
  while (*read < toRead && !d->rx.empty()) {
    if (d->readsBeforeFailure == 0) return FT_IO_ERROR;
    if (d->readsBeforeFailure > 0) --d->readsBeforeFailure;
    out[(*read)++] = d->rx.front();
    d->rx.pop_front();
  }
  return FT_OK;
}

FT_STATUS Backend::Write(FT_HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written) {
  record("Write", handle, {toWrite});
  *written = 0;
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  const auto *in = static_cast<const char *>(buffer);
  while (*written < toWrite) {
    if (d->writesBeforeFailure == 0) return FT_IO_ERROR;
    if (d->writesBeforeFailure > 0) --d->writesBeforeFailure;
    d->written.push_back(in[(*written)++]);
  }
  return FT_OK;
}

FT_STATUS Backend::GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *event) {
  record("GetStatus", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (d->statusStatus != FT_OK) return d->statusStatus;
  *rx = static_cast<DWORD>(d->rx.size());
  *tx = 0;
  *event = 0;
  return FT_OK;
}

FT_STATUS Backend::SetDtr(FT_HANDLE handle) {
  record("SetDtr", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->dtr = true;
  return FT_OK;
}

FT_STATUS Backend::ClrDtr(FT_HANDLE handle) {
  record("ClrDtr", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->dtr = false;
  return FT_OK;
}

FT_STATUS Backend::SetRts(FT_HANDLE handle) {
  record("SetRts", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->rts = true;
  return FT_OK;
}

FT_STATUS Backend::ClrRts(FT_HANDLE handle) {
  record("ClrRts", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->rts = false;
  return FT_OK;
}

FT_STATUS Backend::GetModemStatus(FT_HANDLE handle, ULONG *status) {
  record("GetModemStatus", handle);
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  if (d->modemCallStatus != FT_OK) return d->modemCallStatus;
  *status = d->modemStatus;
  return FT_OK;
}

FT_STATUS Backend::SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  record("SetBitMode", handle, {mask, mode});
  Device *d = find(handle);
  if (!d) return FT_INVALID_HANDLE;
  d->bitMask = mask;
  d->bitMode = mode;
  return FT_OK;
}

Installed::Installed() : fake_(new Backend), scope_(std::unique_ptr<d2xx::Backend>(fake_)) {}

}  // namespace fake
