#include "sim/wire.h"

#include <algorithm>

namespace sim {

void Wire::SetBaudRate(std::uint32_t baudRate) {
  if (baudRate == 0) return;  // no rate: the line keeps the one it had
  const long long ns = 1'000'000'000LL * kBitsPerByte;
  byteTime_ = Time((ns + baudRate / 2) / baudRate);
}

void Wire::Clear() {
  down_.clear();
  up_.clear();
  downFree_ = upFree_ = Time{};
}

void Wire::Send(std::string_view bytes, Time at) {
  Transmit(down_, downFree_, bytes, at);
}

std::vector<std::pair<Time, char>> Wire::Arrived(Time now) {
  std::vector<std::pair<Time, char>> out;
  while (!down_.empty() && down_.front().done <= now) {
    out.emplace_back(down_.front().done, down_.front().value);
    down_.pop_front();
  }
  return out;
}

void Wire::Reply(std::string_view bytes, Time at) {
  Transmit(up_, upFree_, bytes, at);
}

void Wire::Transmit(std::deque<Byte> &line, Time &free, std::string_view bytes, Time at) const {
  Time done = std::max(at, free);
  for (char c : bytes) {
    done += byteTime_;
    line.push_back({done, c});
  }
  if (!bytes.empty()) free = done;
}

std::pair<Time, std::size_t> Wire::nextPacket() const {
  // The first byte starts the latency timer; the bytes in the buffer when it runs out go, or
  // the first 62 as soon as the 62nd is in.
  const Time deadline = up_.front().done + options_.latency;
  std::size_t n = 0;
  while (n < up_.size() && n < kPacketData && up_[n].done <= deadline) ++n;
  if (n == kPacketData) return {up_[n - 1].done, n};
  return {deadline, n};
}

std::string Wire::Delivered(Time now) {
  std::string out;
  while (!up_.empty()) {
    const auto [at, n] = nextPacket();
    if (at > now) break;
    for (std::size_t i = 0; i < n; ++i) out.push_back(up_[i].value);
    up_.erase(up_.begin(), up_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

std::optional<Time> Wire::NextEvent() const {
  std::optional<Time> next;
  if (!down_.empty()) next = down_.front().done;
  if (!up_.empty()) {
    const Time packet = nextPacket().first;
    next = next ? std::min(*next, packet) : packet;
  }
  return next;
}

}  // namespace sim
