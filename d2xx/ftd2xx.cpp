#include "d2xx/ftd2xx.h"

#include "d2xx/backend.h"

FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags) {
  return d2xx::CurrentBackend().ListDevices(arg1, arg2, flags);
}
FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
  return d2xx::CurrentBackend().OpenEx(arg, flags, handle);
}
FT_STATUS FT_Close(FT_HANDLE handle) {
  return d2xx::CurrentBackend().Close(handle);
}
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  return d2xx::CurrentBackend().SetBaudRate(handle, baudRate);
}
FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD bytesToRead, DWORD *bytesReturned) {
  return d2xx::CurrentBackend().Read(handle, buffer, bytesToRead, bytesReturned);
}
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, DWORD bytesToWrite, DWORD *bytesWritten) {
  return d2xx::CurrentBackend().Write(handle, buffer, bytesToWrite, bytesWritten);
}
FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD *rxBytes, DWORD *txBytes, DWORD *eventDWord) {
  return d2xx::CurrentBackend().GetStatus(handle, rxBytes, txBytes, eventDWord);
}
FT_STATUS FT_SetDtr(FT_HANDLE handle) {
  return d2xx::CurrentBackend().SetDtr(handle);
}
FT_STATUS FT_ClrDtr(FT_HANDLE handle) {
  return d2xx::CurrentBackend().ClrDtr(handle);
}
FT_STATUS FT_SetRts(FT_HANDLE handle) {
  return d2xx::CurrentBackend().SetRts(handle);
}
FT_STATUS FT_ClrRts(FT_HANDLE handle) {
  return d2xx::CurrentBackend().ClrRts(handle);
}
FT_STATUS FT_GetModemStatus(FT_HANDLE handle, ULONG *modemStatus) {
  return d2xx::CurrentBackend().GetModemStatus(handle, modemStatus);
}
FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  return d2xx::CurrentBackend().SetBitMode(handle, mask, mode);
}
FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, void *param) {
  return d2xx::CurrentBackend().SetEventNotification(handle, mask, param);
}
