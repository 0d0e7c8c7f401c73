// The backends behind the driver functions of ftd2xx.h.
//
// One process-wide Backend serves every driver call. The program's backend is a ProviderBackend
// over the device providers of this machine (real FT232 adapters first, then emulated units);
// tests install a backend of their own with ScopedBackend for the length of a test.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "d2xx/ftd2xx.h"

namespace d2xx {

class EventHandle;

// The whole driver surface, one virtual per driver function. A recording fake implements this
// directly; everything else goes through ProviderBackend.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual FT_STATUS ListDevices(void *arg1, void *arg2, DWORD flags) = 0;
  virtual FT_STATUS OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) = 0;
  virtual FT_STATUS Close(FT_HANDLE handle) = 0;
  virtual FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baudRate) = 0;
  virtual FT_STATUS Read(FT_HANDLE handle, void *buffer, DWORD toRead, DWORD *read) = 0;
  virtual FT_STATUS Write(FT_HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written) = 0;
  virtual FT_STATUS GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *event) = 0;
  virtual FT_STATUS SetDtr(FT_HANDLE handle) = 0;
  virtual FT_STATUS ClrDtr(FT_HANDLE handle) = 0;
  virtual FT_STATUS SetRts(FT_HANDLE handle) = 0;
  virtual FT_STATUS ClrRts(FT_HANDLE handle) = 0;
  virtual FT_STATUS GetModemStatus(FT_HANDLE handle, ULONG *status) = 0;
  virtual FT_STATUS SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) = 0;
  // A backend without events refuses them.
  virtual FT_STATUS SetEventNotification(FT_HANDLE, DWORD, void *) { return FT_NOT_SUPPORTED; }
};

// The backend that serves the driver calls now; made on first use from MakeSystemBackend().
Backend &CurrentBackend();

// Installs a backend for its own lifetime and puts the previous one back afterwards.
class ScopedBackend {
 public:
  explicit ScopedBackend(std::unique_ptr<Backend> backend);
  ~ScopedBackend();
  ScopedBackend(const ScopedBackend &) = delete;
  ScopedBackend &operator=(const ScopedBackend &) = delete;
  Backend &backend() { return *backend_; }

 private:
  std::unique_ptr<Backend> backend_;
  Backend *previous_;
};

// Whether an open may wait for a device that is slow to answer. FT_OpenEx has no argument for it:
// an open waits as long as its provider allows (an emulated unit's hello, at most 250 ms), except
// while a ScopedOpenWithoutWait lives on the calling thread. The link's reopen during a poll opens
// that way, so that a device which accepts and does not answer never holds the window thread; the
// open goes on at the next poll.
enum class OpenWait { Bounded, Never };
OpenWait CurrentOpenWait();

class ScopedOpenWithoutWait {
 public:
  ScopedOpenWithoutWait();
  ~ScopedOpenWithoutWait();
  ScopedOpenWithoutWait(const ScopedOpenWithoutWait &) = delete;
  ScopedOpenWithoutWait &operator=(const ScopedOpenWithoutWait &) = delete;

 private:
  OpenWait previous_;
};

// A listed device: its USB product description and serial number.
struct DeviceEntry {
  std::string description;
  std::string serial;
};

// One open device of a provider. Line levels and the modem status use the driver's meanings.
class Device {
 public:
  virtual ~Device() = default;
  virtual FT_STATUS SetBaudRate(ULONG baudRate) = 0;
  // Takes up to `toRead` bytes that have already arrived; never waits.
  virtual FT_STATUS Read(void *buffer, DWORD toRead, DWORD *read) = 0;
  virtual FT_STATUS Write(const void *buffer, DWORD toWrite, DWORD *written) = 0;
  virtual FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) = 0;
  virtual FT_STATUS SetDtr(bool set) = 0;
  virtual FT_STATUS SetRts(bool set) = 0;
  virtual FT_STATUS ModemStatus(ULONG *status) = 0;
  virtual FT_STATUS SetBitMode(UCHAR mask, UCHAR mode) = 0;
  // Signals `event` while received bytes wait (FT_EVENT_RXCHAR); nullptr ends it.
  virtual FT_STATUS NotifyReceived(EventHandle *) { return FT_NOT_SUPPORTED; }
};

// A source of devices: real adapters, emulated units, or units that a test serves in-process.
class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;
  // The devices present now, in this provider's listing order.
  virtual std::vector<DeviceEntry> Enumerate() = 0;
  // Opens the first listed device with this serial number. FT_DEVICE_NOT_FOUND when this
  // provider has no such device; FT_DEVICE_NOT_OPENED when it has one that cannot be opened, or
  // not yet: while CurrentOpenWait() is OpenWait::Never, a device that has not answered yet is
  // left to a later open.
  virtual FT_STATUS Open(const std::string &serial, std::unique_ptr<Device> &device) = 0;
};

// Implements the driver surface over a list of providers: listing concatenates their devices in
// provider order, and handles are small numbers that are never reused. Several threads may call
// it at once, each on handles of its own: listing and opening take turns, and the table of open
// handles is guarded, so that a call on one handle never waits for a call on another.
class ProviderBackend : public Backend {
 public:
  explicit ProviderBackend(std::vector<std::unique_ptr<DeviceProvider>> providers);
  ~ProviderBackend() override;

  FT_STATUS ListDevices(void *arg1, void *arg2, DWORD flags) override;
  FT_STATUS OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) override;
  FT_STATUS Close(FT_HANDLE handle) override;
  FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baudRate) override;
  FT_STATUS Read(FT_HANDLE handle, void *buffer, DWORD toRead, DWORD *read) override;
  FT_STATUS Write(FT_HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written) override;
  FT_STATUS GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *event) override;
  FT_STATUS SetDtr(FT_HANDLE handle) override;
  FT_STATUS ClrDtr(FT_HANDLE handle) override;
  FT_STATUS SetRts(FT_HANDLE handle) override;
  FT_STATUS ClrRts(FT_HANDLE handle) override;
  FT_STATUS GetModemStatus(FT_HANDLE handle, ULONG *status) override;
  FT_STATUS SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override;
  FT_STATUS SetEventNotification(FT_HANDLE handle, DWORD mask, void *param) override;

 private:
  struct Open;
  Device *find(FT_HANDLE handle);
  std::vector<DeviceEntry> listAll();

  std::mutex providersMutex_;  // the providers list and open one at a time
  std::mutex openMutex_;       // guards open_ and nextHandle_
  std::vector<std::unique_ptr<DeviceProvider>> providers_;
  std::vector<std::unique_ptr<Open>> open_;
  std::uintptr_t nextHandle_ = 1;
};

// The program's own backend: real FT232 adapters, then emulated units.
std::unique_ptr<Backend> MakeSystemBackend();

}  // namespace d2xx
