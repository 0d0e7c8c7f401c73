// The result codes of the audio player, its error type and the result check that turns a failing
// code into the error with the code's text.
#pragma once

#include <cstdint>
#include <string>

#include "util/exception.h"

// Result codes of the player's operations.
namespace AudioResult {
inline constexpr std::int32_t S_OK = 0;
inline constexpr std::int32_t S_FALSE = 1;
inline constexpr std::int32_t MS_S_PENDING = 0x00040001;
inline constexpr std::int32_t MS_S_NOUPDATE = 0x00040002;
inline constexpr std::int32_t MS_S_ENDOFSTREAM = 0x00040003;
inline constexpr std::int32_t E_NOINTERFACE = static_cast<std::int32_t>(0x80004002u);
inline constexpr std::int32_t E_POINTER = static_cast<std::int32_t>(0x80004003u);
inline constexpr std::int32_t E_ABORT = static_cast<std::int32_t>(0x80004004u);
inline constexpr std::int32_t E_FAIL = static_cast<std::int32_t>(0x80004005u);
inline constexpr std::int32_t CLASS_E_NOAGGREGATION = static_cast<std::int32_t>(0x80040110u);
inline constexpr std::int32_t REGDB_E_CLASSNOTREG = static_cast<std::int32_t>(0x80040154u);
inline constexpr std::int32_t MS_E_SAMPLEALLOC = static_cast<std::int32_t>(0x80040401u);
inline constexpr std::int32_t MS_E_PURPOSEID = static_cast<std::int32_t>(0x80040402u);
inline constexpr std::int32_t MS_E_NOSTREAM = static_cast<std::int32_t>(0x80040403u);
inline constexpr std::int32_t MS_E_NOSEEKING = static_cast<std::int32_t>(0x80040404u);
inline constexpr std::int32_t MS_E_INCOMPATIBLE = static_cast<std::int32_t>(0x80040405u);
inline constexpr std::int32_t MS_E_BUSY = static_cast<std::int32_t>(0x80040406u);
inline constexpr std::int32_t MS_E_NOTINIT = static_cast<std::int32_t>(0x80040407u);
inline constexpr std::int32_t MS_E_SOURCEALREADYDEFINED = static_cast<std::int32_t>(0x80040408u);
inline constexpr std::int32_t MS_E_INVALIDSTREAMTYPE = static_cast<std::int32_t>(0x80040409u);
inline constexpr std::int32_t MS_E_NOTRUNNING = static_cast<std::int32_t>(0x8004040Au);
inline constexpr std::int32_t E_INVALIDARG = static_cast<std::int32_t>(0x80070057u);
// Codes of GStreamer failures that the table above has no entry for.
inline constexpr std::int32_t E_FILE_NOT_FOUND = static_cast<std::int32_t>(0x80070002u);
inline constexpr std::int32_t E_ACCESSDENIED = static_cast<std::int32_t>(0x80070005u);
inline constexpr std::int32_t E_TIMEOUT = static_cast<std::int32_t>(0x800705B4u);
inline constexpr std::int32_t VFW_E_INVALID_FILE_FORMAT = static_cast<std::int32_t>(0x80040241u);
inline constexpr std::int32_t VFW_E_UNSUPPORTED_STREAM = static_cast<std::int32_t>(0x80040265u);
// The player's own codes.
inline constexpr std::int32_t NoAudioStream = 1000;
inline constexpr std::int32_t NotConnected = 1001;
}  // namespace AudioResult

class EAudioPlayError : public Exception {
 public:
  EAudioPlayError(const std::string &message, std::int32_t errorCode)
      : Exception(message), ErrorCode(errorCode) {}
  std::int32_t ErrorCode;
};

// The result check: 0 (S_OK) and 1 (S_FALSE) pass and are returned. Every other code raises
// EAudioPlayError with ErrorCode = the code and the message "DirectShow call failed: " + the code
// in upper-case hexadecimal + CR + its text: the table's text for the code, else
// `platformText`, else the player's own text for the code, else "Unrecognized error value.".
std::int32_t CheckResult(std::int32_t code, const std::string &platformText = {});
