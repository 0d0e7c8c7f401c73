// The media types of the audio player: format identifiers, the wave format of decoded audio, the
// capability bits and the positioning flags.
#pragma once

#include <cstdint>

// A format identifier (a GUID).
struct TGuid {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};
  friend bool operator==(const TGuid &, const TGuid &) = default;
};

// The time format of positions and durations in 100 ns units,
// {7B785574-8C82-11CF-BC0C-00AA00AC74F6}.
inline constexpr TGuid TIME_FORMAT_MEDIA_TIME = {
    0x7B785574, 0x8C82, 0x11CF, {0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74, 0xF6}};

// The wave format (WAVEFORMATEX) of decoded audio: wFormatTag 1 for integer PCM, 3 for floating
// point; interleaved samples.
struct TWaveFormatEx {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
  friend bool operator==(const TWaveFormatEx &, const TWaveFormatEx &) = default;
};

// Capability bits of a player (TAudioPlay::Capabilities).
namespace AudioCapability {
inline constexpr std::uint32_t CanSeekAbsolute = 0x01;
inline constexpr std::uint32_t CanSeekForwards = 0x02;
inline constexpr std::uint32_t CanSeekBackwards = 0x04;
inline constexpr std::uint32_t CanGetCurrentPos = 0x08;
inline constexpr std::uint32_t CanGetStopPos = 0x10;
inline constexpr std::uint32_t CanGetDuration = 0x20;
inline constexpr std::uint32_t CanPlayBackwards = 0x40;
inline constexpr std::uint32_t CanDoSegments = 0x80;
}  // namespace AudioCapability

// SetPosition flags.
inline constexpr std::uint32_t AM_SEEKING_NoPositioning = 0;
inline constexpr std::uint32_t AM_SEEKING_AbsolutePositioning = 1;
inline constexpr std::uint32_t AM_SEEKING_RelativePositioning = 2;
inline constexpr std::uint32_t AM_SEEKING_PositioningBitsMask = 3;
