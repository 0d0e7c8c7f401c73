#include "link/ft232.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {
constexpr auto kClosePause = std::chrono::milliseconds(10);
}

TFT232::TFT232(const std::string &serialNumber) {
  std::vector<char> serial(serialNumber.begin(), serialNumber.end());
  serial.push_back('\0');
  LastStatus = FT_OpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &Handle);
  if (LastStatus != FT_OK) throw TFT232Exception("Device " + serialNumber + " can not open");
}

TFT232::~TFT232() {
  FT_Close(Handle);
  std::this_thread::sleep_for(kClosePause);
}

FT_STATUS TFT232::SetBaudRate(DWORD rate) {
  return FT_SetBaudRate(Handle, rate);
}

bool TFT232::ReadByte(std::uint8_t &value) {
  DWORD count = 0;
  FT_Read(Handle, &value, 1, &count);
  return count == 1;
}

bool TFT232::WriteByte(std::uint8_t value) {
  DWORD count = 0;
  FT_Write(Handle, &value, 1, &count);
  return count == 1;
}

std::int32_t TFT232::RxQueueCount() {
  DWORD rx = 0, tx = 0, event = 0;
  if (FT_GetStatus(Handle, &rx, &tx, &event) != FT_OK) return -1;
  return static_cast<std::int32_t>(rx);
}

FT_STATUS TFT232::ClearDtr(bool clear) {
  return clear ? FT_ClrDtr(Handle) : FT_SetDtr(Handle);
}

FT_STATUS TFT232::ClearRts(bool clear) {
  return clear ? FT_ClrRts(Handle) : FT_SetRts(Handle);
}

DWORD TFT232::ModemStatus() {
  ULONG status = 0;
  if (FT_GetModemStatus(Handle, &status) != FT_OK) return 0xFFFFFFFFu;
  return status;
}

bool TFT232::CtsClear() {
  return (ModemStatus() & FT_MODEM_STATUS_CTS) == 0;
}

bool TFT232::SetBitMode(std::uint8_t mask, std::uint8_t mode) {
  LastStatus = FT_SetBitMode(Handle, mask, mode);
  return LastStatus == FT_OK;
}

DWORD FTDeviceCount = 0;
char FTListBuffer[FT_LIST_TEXT_MAX] = {};
std::string FTListText;

namespace {
// Takes the text out of FTListBuffer, cut at 49 characters.
void copyListText() {
  FTListBuffer[kFTListTextMax] = '\0';
  FTListText.assign(FTListBuffer, std::strlen(FTListBuffer));
}

FT_STATUS listByIndex(DWORD index, DWORD openFlag) {
  char buffer[FT_LIST_TEXT_MAX] = {};
  const FT_STATUS status =
      FT_ListDevices(reinterpret_cast<void *>(static_cast<std::uintptr_t>(index)), buffer,
                     FT_LIST_BY_INDEX | openFlag);
  if (status != FT_OK) return status;
  buffer[FT_LIST_TEXT_MAX - 1] = '\0';
  std::memcpy(FTListBuffer, buffer, sizeof FTListBuffer);
  copyListText();
  return status;
}
}  // namespace

FT_STATUS GetFTDeviceCount() {
  DWORD count = 0;
  const FT_STATUS status = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
  if (status == FT_OK) FTDeviceCount = count;
  return status;
}

FT_STATUS GetFTDeviceSerialNo(DWORD index) {
  return listByIndex(index, FT_OPEN_BY_SERIAL_NUMBER);
}

FT_STATUS GetFTDeviceDescription(DWORD index) {
  return listByIndex(index, FT_OPEN_BY_DESCRIPTION);
}
