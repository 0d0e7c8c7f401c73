// The FT232 port: one open FT device, reached only through the driver functions of d2xx/.
#pragma once

#include <cstdint>
#include <string>

#include "d2xx/ftd2xx.h"
#include "util/exception.h"

class TFT232Exception : public Exception {
 public:
  using Exception::Exception;
};

// Open from construction to destruction. Only the constructor throws; every other operation
// reports failure through its result and never retries.
class TFT232 {
 public:
  // Opens the device with this serial number; TFT232Exception "Device <serial> can not open".
  explicit TFT232(const std::string &serialNumber);
  // Closes the handle, then pauses 10 ms.
  virtual ~TFT232();
  TFT232(const TFT232 &) = delete;
  TFT232 &operator=(const TFT232 &) = delete;

  FT_STATUS SetBaudRate(DWORD rate);
  // True when exactly one byte was read; `value` is handed out in every case.
  bool ReadByte(std::uint8_t &value);
  bool WriteByte(std::uint8_t value);
  // Bytes in the receive queue; -1 when the status call fails (an unplugged unit).
  std::int32_t RxQueueCount();
  // clear true: the line is cleared; clear false: the line is set.
  FT_STATUS ClearDtr(bool clear);
  FT_STATUS ClearRts(bool clear);
  // The driver's modem-status bits; every bit set when the call fails.
  DWORD ModemStatus();
  // True when CTS (bit 0x10) reads 0; false when the modem status cannot be read.
  bool CtsClear();
  bool SetBitMode(std::uint8_t mask, std::uint8_t mode);

  FT_HANDLE Handle = nullptr;
  FT_STATUS LastStatus = FT_OK;
};

// Listing state: one copy for the program, written only by the three listing functions.
inline constexpr std::size_t kFTListTextMax = 49;
extern DWORD FTDeviceCount;
extern char FTListBuffer[FT_LIST_TEXT_MAX];
extern std::string FTListText;

// Each returns the driver status; a failed call leaves the listing state as it was.
FT_STATUS GetFTDeviceCount();
FT_STATUS GetFTDeviceSerialNo(DWORD index);
FT_STATUS GetFTDeviceDescription(DWORD index);
