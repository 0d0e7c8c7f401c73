// The driver backend called from several threads at once, each on handles of its own (one thread
// per unit in tolvane-cli): opens and closes on some threads never disturb the calls of others,
// and a close that waits for its device holds no other handle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "d2xx/backend.h"

using namespace std::chrono_literals;

namespace {

class QuietDevice : public d2xx::Device {
 public:
  explicit QuietDevice(std::chrono::milliseconds closeTime) : closeTime_(closeTime) {}
  ~QuietDevice() override { std::this_thread::sleep_for(closeTime_); }
  FT_STATUS SetBaudRate(ULONG) override { return FT_OK; }
  FT_STATUS Read(void *, DWORD, DWORD *read) override {
    *read = 0;
    return FT_OK;
  }
  FT_STATUS Write(const void *, DWORD toWrite, DWORD *written) override {
    *written = toWrite;
    return FT_OK;
  }
  FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) override {
    *rx = *tx = 0;
    return FT_OK;
  }
  FT_STATUS SetDtr(bool) override { return FT_OK; }
  FT_STATUS SetRts(bool) override { return FT_OK; }
  FT_STATUS ModemStatus(ULONG *status) override {
    *status = 0;
    return FT_OK;
  }
  FT_STATUS SetBitMode(UCHAR, UCHAR) override { return FT_OK; }

 private:
  std::chrono::milliseconds closeTime_;
};

// Units "U0".."U7"; "SLOW" takes 300 ms to close.
class Units : public d2xx::DeviceProvider {
 public:
  std::vector<d2xx::DeviceEntry> Enumerate() override {
    std::vector<d2xx::DeviceEntry> entries;
    for (int i = 0; i < 8; ++i) entries.push_back({"VERTIKOmate", "U" + std::to_string(i)});
    entries.push_back({"VERTIKOmate", "SLOW"});
    return entries;
  }
  FT_STATUS Open(const std::string &serial, std::unique_ptr<d2xx::Device> &device) override {
    device = std::make_unique<QuietDevice>(serial == "SLOW" ? 300ms : 0ms);
    return FT_OK;
  }
};

d2xx::ProviderBackend MakeBackend() {
  std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
  providers.push_back(std::make_unique<Units>());
  return d2xx::ProviderBackend(std::move(providers));
}

TEST(BackendThreads, OpensAndClosesOnSomeThreadsLeaveTheHandlesOfOthersWhole) {
  auto backend = MakeBackend();
  std::atomic<int> failures = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::string serial = "U" + std::to_string(t);
      for (int round = 0; round < 2000; ++round) {
        FT_HANDLE handle = nullptr;
        if (backend.OpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK) {
          ++failures;
          continue;
        }
        for (int i = 0; i < 20; ++i) {
          DWORD rx = 0, tx = 0, event = 0, written = 0;
          const char byte = 'w';
          if (backend.GetStatus(handle, &rx, &tx, &event) != FT_OK) ++failures;
          if (backend.Write(handle, &byte, 1, &written) != FT_OK || written != 1) ++failures;
        }
        if (backend.Close(handle) != FT_OK) ++failures;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

TEST(BackendThreads, AClosingDeviceHoldsNoOtherHandle) {
  auto backend = MakeBackend();
  std::string slow = "SLOW", other = "U0";
  FT_HANDLE slowHandle = nullptr, otherHandle = nullptr;
  ASSERT_EQ(backend.OpenEx(slow.data(), FT_OPEN_BY_SERIAL_NUMBER, &slowHandle), FT_OK);
  ASSERT_EQ(backend.OpenEx(other.data(), FT_OPEN_BY_SERIAL_NUMBER, &otherHandle), FT_OK);
  std::thread closing([&] { backend.Close(slowHandle); });
  std::this_thread::sleep_for(50ms);  // the close is under way
  const auto start = std::chrono::steady_clock::now();
  DWORD rx = 0, tx = 0, event = 0;
  EXPECT_EQ(backend.GetStatus(otherHandle, &rx, &tx, &event), FT_OK);
  FT_HANDLE again = nullptr;
  std::string third = "U1";
  EXPECT_EQ(backend.OpenEx(third.data(), FT_OPEN_BY_SERIAL_NUMBER, &again), FT_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  closing.join();
  EXPECT_EQ(backend.GetStatus(slowHandle, &rx, &tx, &event), FT_INVALID_HANDLE);
}

}  // namespace
