// The D2XX-shaped driver interface: the driver functions that the FT232 port calls, with the
// driver's types, constants and status convention. Every call goes to one process-wide backend
// (backend.h). No call blocks the calling thread for long.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = std::uint8_t;
using FT_STATUS = ULONG;
using FT_HANDLE = void *;

enum : FT_STATUS {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18,
};

// Flags of FT_OpenEx and FT_ListDevices.
inline constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
inline constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
inline constexpr DWORD FT_LIST_BY_INDEX = 0x40000000u;
inline constexpr DWORD FT_LIST_ALL = 0x20000000u;

// Modem-status bits of FT_GetModemStatus.
inline constexpr DWORD FT_MODEM_STATUS_CTS = 0x10;
inline constexpr DWORD FT_MODEM_STATUS_DSR = 0x20;
inline constexpr DWORD FT_MODEM_STATUS_RI = 0x40;
inline constexpr DWORD FT_MODEM_STATUS_DCD = 0x80;

// Events of FT_SetEventNotification.
inline constexpr DWORD FT_EVENT_RXCHAR = 1;
inline constexpr DWORD FT_EVENT_MODEM_STATUS = 2;
inline constexpr DWORD FT_EVENT_LINE_STATUS = 4;

// Longest description or serial number that a listing call writes, terminating zero included.
inline constexpr DWORD FT_LIST_TEXT_MAX = 64;

// FT_LIST_NUMBER_ONLY: arg1 is a DWORD* that receives the number of devices, arg2 is unused.
// FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION: arg1 is the device index
// (cast to a pointer), arg2 a buffer of at least FT_LIST_TEXT_MAX bytes that receives the text.
FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags);
// FT_OPEN_BY_SERIAL_NUMBER: arg is the zero-terminated serial number.
FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate);
FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD bytesToRead, DWORD *bytesReturned);
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, DWORD bytesToWrite, DWORD *bytesWritten);
FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD *rxBytes, DWORD *txBytes, DWORD *eventDWord);
FT_STATUS FT_SetDtr(FT_HANDLE handle);
FT_STATUS FT_ClrDtr(FT_HANDLE handle);
FT_STATUS FT_SetRts(FT_HANDLE handle);
FT_STATUS FT_ClrRts(FT_HANDLE handle);
FT_STATUS FT_GetModemStatus(FT_HANDLE handle, ULONG *modemStatus);
FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode);
// FT_EVENT_RXCHAR: `param` is a d2xx::EventHandle (d2xx/event.h), signalled from now on while
// received bytes wait; it replaces the device's earlier event. A mask of 0 ends the
// notification. Other events are not reported (FT_NOT_SUPPORTED).
FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, void *param);
