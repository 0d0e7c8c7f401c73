// A driver backend for tests: serves scripted devices and records every driver call with its
// arguments, so that tests can assert on the exact sequence of calls that reached the driver.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "d2xx/backend.h"

namespace fake {

struct Device {
  std::string description = "VERTIKOmate";
  std::string serial;
  std::deque<std::uint8_t> rx;     // bytes waiting to be read
  std::string written;             // bytes written by FT_Write, in order
  FT_STATUS openStatus = FT_OK;    // status that FT_OpenEx answers for this device
  FT_STATUS listStatus = FT_OK;    // status of listing calls by this device's index
  FT_STATUS statusStatus = FT_OK;  // status of FT_GetStatus
  FT_STATUS modemCallStatus = FT_OK;
  int readsBeforeFailure = -1;   // FT_Read fails once this many reads succeeded (-1: never)
  int writesBeforeFailure = -1;  // FT_Write fails once this many writes succeeded
  ULONG modemStatus = 0;
  bool dtr = true;
  bool rts = true;
  ULONG baud = 9600;
  UCHAR bitMask = 0, bitMode = 0;
  bool isOpen = false;
};

struct Call {
  std::string fn;  // driver function without its "FT_" prefix: "Read", "GetStatus", ...
  std::uintptr_t handle = 0;
  std::vector<std::uint64_t> args;
};

class Backend : public d2xx::Backend {
 public:
  std::vector<Device> devices;
  std::vector<Call> calls;
  FT_STATUS countStatus = FT_OK;
  std::vector<d2xx::OpenWait> openWaits;  // whether each FT_OpenEx might wait, in order

  Device &add(const std::string &serial, const std::string &description = "VERTIKOmate");
  Device *bySerial(const std::string &serial);
  // The names of the recorded calls, in order.
  std::vector<std::string> names() const;
  void clearCalls() {
    calls.clear();
    openWaits.clear();
  }

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

 private:
  struct Handle {
    std::uintptr_t value;
    std::size_t device;
  };
  Device *find(FT_HANDLE handle);
  void record(const char *fn, FT_HANDLE handle, std::vector<std::uint64_t> args = {});
  std::vector<Handle> handles_;
  std::uintptr_t next_ = 1;
};

// Installs a fresh fake backend for the lifetime of the object.
class Installed {
 public:
  Installed();
  Backend &operator*() { return *fake_; }
  Backend *operator->() { return fake_; }

 private:
  Backend *fake_;
  d2xx::ScopedBackend scope_;
};

}  // namespace fake
