// The serial line between the host's FT232 and the unit, with the timing of a real one.
//
// Each byte takes its time on the line at the port's baud rate (10 bits: start bit, 8 data bits,
// stop bit), in both directions, one after the other. The unit's bytes then wait in the FT232's
// receive buffer: the chip sends them to the host when its latency timer runs out, counted from
// the first byte that entered the empty buffer (1 ms with the udev rule, 16 ms without), or at
// once when the buffer holds a full USB packet's data (64 bytes less 2 status bytes: 62).
//
// The wire keeps no clock of its own: every call says what time it is, so a test steps it with
// a manual clock and the emulator program with the machine's.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/clock.h"

namespace sim {

inline constexpr int kBitsPerByte = 10;
// Data bytes of one USB packet of the FT232: 64 bytes, of which 2 carry the modem status.
inline constexpr std::size_t kPacketData = 62;
inline constexpr std::chrono::milliseconds kUdevLatency{1};
inline constexpr std::chrono::milliseconds kDefaultLatency{16};

struct WireOptions {
  bool timed = false;  // false: bytes pass at once, as fast as the transport goes
  std::chrono::microseconds latency = kUdevLatency;  // the FT232's latency timer
};

class Wire {
 public:
  explicit Wire(WireOptions options = {}) : options_(options) {}

  const WireOptions &Options() const { return options_; }
  // The port's baud rate; bytes already on their way keep their times.
  void SetBaudRate(std::uint32_t baudRate);
  // The time one byte takes on the line at the current baud rate.
  Time ByteTime() const { return byteTime_; }
  // Forgets everything on its way (a new host session).
  void Clear();

  // Host to unit: bytes the host wrote at `at`.
  void Send(std::string_view bytes, Time at);
  // The bytes that have reached the unit by `now`, each with the time its stop bit was through.
  std::vector<std::pair<Time, char>> Arrived(Time now);

  // Unit to host: bytes the unit began to send at `at` (later if the line is still busy).
  void Reply(std::string_view bytes, Time at);
  // The bytes that have reached the host by `now`, in order.
  std::string Delivered(Time now);

  // When something next reaches the unit or the host, if anything is on its way.
  std::optional<Time> NextEvent() const;

 private:
  struct Byte {
    Time done;  // its stop bit is through: at the unit, or in the chip's buffer
    char value;
  };
  // Puts `bytes` on `line` one after the other from `at`, once the line is `free`; each is done
  // a byte time after the one before.
  void Transmit(std::deque<Byte> &line, Time &free, std::string_view bytes, Time at) const;
  // The next packet the chip sends: its time and how many bytes of up_ it holds.
  std::pair<Time, std::size_t> nextPacket() const;

  WireOptions options_;
  Time byteTime_ = std::chrono::nanoseconds(1041667);  // 9600 baud
  std::deque<Byte> down_;                              // host to unit
  std::deque<Byte> up_;  // unit to host, on the line or in the chip's buffer
  Time downFree_{};      // when the line to the unit is free
  Time upFree_{};        // when the line from the unit is free
};

}  // namespace sim
