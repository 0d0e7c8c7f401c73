// Waking on received data: the event of FT_SetEventNotification on a tty (a pseudo-terminal in
// place of the FT232's), on the emulated device link and on an in-process unit.
#include "d2xx/event.h"

#include <gtest/gtest.h>

#include <QSocketNotifier>
#include <QTest>
#include <chrono>
#include <thread>

#include "d2xx/backend.h"
#include "d2xx/emulated_provider.h"
#include "d2xx/tty_device.h"
#include "sim/in_process.h"
#include "sim/link_server.h"
#include "tests/d2xx/pty_pair.h"
#include "tests/support/private_runtime_dir.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// One port: the pseudo-terminal's slave opened as an FT232's tty.
class PtyProvider : public d2xx::DeviceProvider {
 public:
  explicit PtyProvider(std::string path) : path_(std::move(path)) {}
  std::vector<d2xx::DeviceEntry> Enumerate() override { return {{"VERTIKOmate", "PTY00001"}}; }
  FT_STATUS Open(const std::string &serial, std::unique_ptr<d2xx::Device> &device) override {
    return serial == "PTY00001" ? d2xx::OpenTty(path_, device) : FT_DEVICE_NOT_FOUND;
  }

 private:
  std::string path_;
};

std::unique_ptr<d2xx::Backend> BackendOver(std::unique_ptr<d2xx::DeviceProvider> provider) {
  std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
  providers.push_back(std::move(provider));
  return std::make_unique<d2xx::ProviderBackend>(std::move(providers));
}

FT_HANDLE Open(const char *serial) {
  FT_HANDLE handle = nullptr;
  FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &handle);
  return handle;
}

DWORD Queued(FT_HANDLE handle) {
  DWORD rx = 0, tx = 0, events = 0;
  return FT_GetStatus(handle, &rx, &tx, &events) == FT_OK ? rx : 0;
}

// Everything received by now.
std::string ReadAll(FT_HANDLE handle) {
  std::string bytes(Queued(handle), '\0');
  DWORD read = 0;
  if (!bytes.empty()) FT_Read(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read);
  bytes.resize(read);
  return bytes;
}

bool Write(FT_HANDLE handle, std::string bytes) {
  DWORD written = 0;
  return FT_Write(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written) == FT_OK &&
         written == bytes.size();
}

// Waits on the event and reads until `count` bytes came or a wait runs out.
std::string ReadWaking(FT_HANDLE handle, const d2xx::EventHandle &event, std::size_t count) {
  std::string got;
  while (got.size() < count && event.Wait(5s)) got += ReadAll(handle);
  return got;
}

class OverTheLink : public ::testing::Test {
 protected:
  explicit OverTheLink(sim::WireOptions wire = {}) {
    server.Add({.wire = wire});
    server.Start();
    handle = Open("VRT00001");
    Queued(handle);  // takes in the modem status that followed the hello
  }
  ~OverTheLink() override { FT_Close(handle); }

  PrivateRuntimeDir runtime;
  d2xx::ScopedBackend backend{BackendOver(d2xx::MakeEmulatedProvider())};
  sim::SystemClock clock;
  sim::LinkServer server{clock};
  FT_HANDLE handle = nullptr;
};

}  // namespace

TEST(EventNotification, BytesOnATtyWakeAWaiterAndKeepItAwakeUntilRead) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  d2xx::ScopedBackend backend(BackendOver(std::make_unique<PtyProvider>(pty.SlavePath())));
  FT_HANDLE handle = Open("PTY00001");
  ASSERT_NE(handle, nullptr);
  d2xx::EventHandle event;
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);
  EXPECT_FALSE(event.Wait(20ms));

  const auto start = Clock::now();
  std::thread unit([&] {
    std::this_thread::sleep_for(50ms);
    pty.Send("OK\r\n");
  });
  EXPECT_TRUE(event.Wait(10s));
  EXPECT_GE(Clock::now() - start, 50ms) << "it waited for the bytes";
  unit.join();
  EXPECT_TRUE(event.Signalled()) << "nothing read yet";
  EXPECT_EQ(ReadWaking(handle, event, 4), "OK\r\n");
  EXPECT_FALSE(event.Wait(20ms));

  ASSERT_EQ(FT_SetEventNotification(handle, 0, nullptr), FT_OK);
  pty.Send("x");
  EXPECT_FALSE(event.Wait(50ms)) << "the notification has ended";
  FT_Close(handle);
}

TEST_F(OverTheLink, TheUnitsAnswerWakesAWaiterAndBytesTakenIntoTheQueueKeepItAwake) {
  d2xx::EventHandle event;
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);
  EXPECT_FALSE(event.Wait(20ms));
  ASSERT_TRUE(Write(handle, "AT@NORM\r\n"));
  EXPECT_TRUE(event.Wait(10s));
  // The status call takes the bytes off the socket into the queue: they still wait.
  ASSERT_TRUE(QTest::qWaitFor([&] { return Queued(handle) == 4; }, 5000));
  EXPECT_TRUE(event.Signalled());
  char two[2];
  DWORD read = 0;
  ASSERT_EQ(FT_Read(handle, two, 2, &read), FT_OK);
  EXPECT_TRUE(event.Signalled()) << "two bytes are left";
  EXPECT_EQ(ReadAll(handle), "\r\n");
  EXPECT_FALSE(event.Wait(20ms));

  // A second event takes the place of the first.
  d2xx::EventHandle other;
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &other), FT_OK);
  ASSERT_TRUE(Write(handle, "AT@NORM\r\n"));
  EXPECT_EQ(ReadWaking(handle, other, 4), "OK\r\n");
  EXPECT_FALSE(event.Signalled());
}

TEST_F(OverTheLink, AnEventMayEndBeforeItsDevice) {
  {
    d2xx::EventHandle event;
    ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);
  }
  ASSERT_TRUE(Write(handle, "AT@NORM\r\n"));
  std::string got;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (got += ReadAll(handle)).size() == 4; }, 5000));
  d2xx::EventHandle next;
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &next), FT_OK);
  server.Unplug("VRT00001");
  EXPECT_TRUE(next.Wait(10s)) << "the end of the link wakes the waiter";
  EXPECT_EQ(Queued(handle), 0u);
  EXPECT_FALSE(next.Wait(20ms)) << "an unplugged device wakes nobody";
}

namespace {
class OverATimedLine : public OverTheLink {
 protected:
  OverATimedLine() : OverTheLink({.timed = true, .latency = 16ms}) {}
};
}  // namespace

TEST_F(OverATimedLine, ANotifierOnTheDescriptorTakesTheAnswerWithoutPolling) {
  d2xx::EventHandle event;
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);
  QSocketNotifier notifier(event.Descriptor(), QSocketNotifier::Read);
  std::string got;
  int wakes = 0;
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    ++wakes;
    got += ReadAll(handle);
  });
  ASSERT_TRUE(Write(handle, "AT@NORM\r\n"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return got == "OK\r\n"; }, 10000)) << got;
  // The answer comes in one packet after the latency timer: one wake, maybe one for a piece.
  EXPECT_GE(wakes, 1);
  EXPECT_LE(wakes, 2);
  QTest::qWait(50);
  EXPECT_LE(wakes, 2) << "no wake without bytes";
}

TEST(EventNotification, OnlyReceivedDataIsReportedAndTheArgumentsAreChecked) {
  sim::InstalledUnits units;
  sim::Unit &unit = units.Add();
  FT_HANDLE handle = Open("VRT00001");
  ASSERT_NE(handle, nullptr);
  d2xx::EventHandle event;
  EXPECT_EQ(FT_SetEventNotification(reinterpret_cast<FT_HANDLE>(999), FT_EVENT_RXCHAR, &event),
            FT_INVALID_HANDLE);
  EXPECT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS, &event),
            FT_NOT_SUPPORTED);
  EXPECT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, nullptr), FT_INVALID_PARAMETER);
  ASSERT_EQ(FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);

  // An in-process unit's bytes come in at the driver call that looks for them.
  unit.Say("RING\r\n");
  EXPECT_FALSE(event.Signalled());
  EXPECT_EQ(Queued(handle), 6u);
  EXPECT_TRUE(event.Signalled());
  EXPECT_EQ(ReadAll(handle), "RING\r\n");
  EXPECT_FALSE(event.Signalled());
  FT_Close(handle);
}
