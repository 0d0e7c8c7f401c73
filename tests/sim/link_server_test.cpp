// The device side of the emulated device link, spoken to byte by byte, and the emulator program.
#include "sim/link_server.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cstring>
#include <random>
#include <thread>

#include "d2xx/device_link.h"
#include "sim/sim_options.h"
#include "tests/support/private_runtime_dir.h"

using namespace std::chrono_literals;
namespace dl = d2xx::link;

namespace {

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::string frame(char type, const std::string &payload) {
  std::string f;
  dl::AppendFrame(f, type, payload);
  return f;
}

// A host that speaks the link format itself.
class RawHost {
 public:
  explicit RawHost(const std::string &folder) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, (folder + "/link").c_str());
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~RawHost() { close(fd_); }
  bool Connected() const { return connected_; }
  void Send(const std::string &bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Reads until `count` bytes came, the device closed, or nothing came for `quiet`.
  std::string Receive(std::size_t count, int quiet = 1000) {
    std::string got;
    char buffer[1024];
    pollfd p{fd_, POLLIN, 0};
    while (got.size() < count && poll(&p, 1, quiet) > 0) {
      const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool Closed() {
    Receive(1 << 20);
    return closed_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

std::vector<std::string> entries(const std::string &directory) {
  std::vector<std::string> names;
  if (DIR *d = opendir(directory.c_str())) {
    while (auto *e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kHello = frame('H', "VRT00001") + frame('S', std::string(1, '\0'));

class LinkServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server.Start(); }
  std::string folder() { return server.FolderOf("VRT00001"); }

  PrivateRuntimeDir runtime;
  sim::SystemClock clock;
  sim::LinkServer server{clock};
};

}  // namespace

TEST_F(LinkServerTest, AFolderIsPutInPlaceWholeWithItsLockHeld) {
  server.Add({});
  EXPECT_EQ(entries(runtime.DeviceDirectory()), std::vector<std::string>{"VRT00001"});
  EXPECT_EQ(entries(folder()),
            (std::vector<std::string>{"description", "link", "link.lock", "serial"}));
  EXPECT_EQ(dl::ReadTextFile(folder() + "/description"), "VERTIKOmate");
  EXPECT_TRUE(dl::LockIsHeld(folder() + "/link.lock"));
  server.Unplug("VRT00001");
  EXPECT_TRUE(entries(runtime.DeviceDirectory()).empty());
  server.PlugIn("VRT00001");
  EXPECT_EQ(dl::ListDevices().size(), 1u);
}

TEST_F(LinkServerTest, OneHostAtATimeAndTheNextAfterIt) {
  server.Add({});
  {
    RawHost first(folder());
    EXPECT_EQ(first.Receive(kHello.size()), kHello);
    RawHost second(folder());
    ASSERT_TRUE(second.Connected());
    EXPECT_EQ(second.Receive(100), "");  // closed without a word
    EXPECT_TRUE(second.Closed());
    first.Send(frame('D', "AT@NORM\r\n"));
    EXPECT_EQ(first.Receive(6), frame('D', "OK\r\n"));
  }
  ASSERT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
  RawHost third(folder());
  EXPECT_EQ(third.Receive(kHello.size()), kHello);
}

TEST_F(LinkServerTest, EveryHostFrameReachesTheUnitAndUnknownFramesAreSkipped) {
  auto &unit = server.Add({});
  RawHost host(folder());
  host.Receive(kHello.size());
  const std::string frames = frame('L', "\x03") + frame('M', std::string("\0\0", 2)) +
                             frame('L', "\x01") + frame('Q', "ignored") +
                             frame('B', std::string("\x80\x25\0\0", 4)) + frame('D', "AT@NO");
  // Sent in pieces that cut frames in two.
  for (std::size_t i = 0; i < frames.size(); i += 3) {
    host.Send(frames.substr(i, 3));
    std::this_thread::sleep_for(1ms);
  }
  host.Send(frame('D', "RM\r\n"));
  EXPECT_EQ(host.Receive(6), frame('D', "OK\r\n"));
  auto lock = server.Lock();
  const auto &r = unit.GetRecord();
  EXPECT_EQ(r.received, "AT@NORM\r\n");
  ASSERT_EQ(r.levels.size(), 3u);  // the connection's own start, then the two frames
  EXPECT_TRUE(r.levels[1].dtr && r.levels[1].rts);
  EXPECT_TRUE(r.levels[2].dtr && !r.levels[2].rts);
  EXPECT_EQ(r.baudRates, std::vector<std::uint32_t>{9600});
  EXPECT_EQ(r.bitModes.size(), 1u);
  EXPECT_TRUE(r.problems.empty());
}

TEST_F(LinkServerTest, WhatTheHostSentJustBeforeItClosedStillReachesTheUnit) {
  auto &unit = server.Add({});
  auto host = std::make_unique<RawHost>(folder());
  host->Receive(kHello.size());
  host->Send(frame('L', "\x01"));
  ASSERT_TRUE(waitFor([&] {
    auto lock = server.Lock();
    return unit.GetRecord().levels.size() == 2;
  }));
  {
    // The last frames and the close reach the server in one round.
    auto lock = server.Lock();
    host->Send(frame('L', "\x03") + frame('D', "AT@NORM\r\n"));
    host.reset();
  }
  ASSERT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
  auto lock = server.Lock();
  const auto &r = unit.GetRecord();
  ASSERT_EQ(r.levels.size(), 3u);
  EXPECT_TRUE(r.levels[2].dtr && r.levels[2].rts) << "RTS set before the close";
  EXPECT_EQ(r.received, "AT@NORM\r\n");
}

TEST_F(LinkServerTest, AHostFrameOfAWrongLengthClosesTheLink) {
  auto &unit = server.Add({});
  for (const std::string &bad : {std::string("L\x02\x03\x03", 4), std::string("B\x02\x80\x25", 4),
                                 std::string("D\x00", 2), std::string("M\x01\x00", 3)}) {
    ASSERT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
    RawHost host(folder());
    EXPECT_EQ(host.Receive(kHello.size()), kHello);
    host.Send(bad + frame('D', "AT@NORM\r\n"));
    EXPECT_TRUE(host.Closed());
  }
  auto lock = server.Lock();
  EXPECT_TRUE(unit.GetRecord().commandLines.empty());
  EXPECT_EQ(unit.GetRecord().problems.size(), 4u);
}

TEST_F(LinkServerTest, ALivingDevicesFolderIsNotTakenButALeftOneIs) {
  server.Add({});
  sim::LinkServer other(clock);
  EXPECT_THROW(other.Add({}), std::runtime_error);
  // A folder left behind by a device that ended without cleaning up: its lock is free.
  const std::string left = runtime.DeviceDirectory() + "/VRT00002";
  ASSERT_EQ(mkdir(left.c_str(), 0700), 0);
  QFile(QString::fromStdString(left + "/link.lock")).open(QIODevice::WriteOnly);
  EXPECT_NO_THROW(other.Add({.serial = "VRT00002"}));
  EXPECT_EQ(dl::ListDevices().size(), 2u);
}

TEST(SimOptions, DevicesAndFaultsAreReadInOrder) {
  const auto o =
      sim::ParseSimArguments({"--late", "300", "--unit", "VRT00005", "--err", "P05#2", "--new-unit",
                              "VRT00006", "--loader", "SILENT,3,4", "--device", "A1,USB Serial",
                              "--unsolicited", "RING,1000", "--record", "r.json"});
  ASSERT_EQ(o.devices.size(), 3u);
  const auto &a = o.devices[0].options;
  EXPECT_EQ(a.serial, "VRT00005");
  ASSERT_EQ(a.lineFaults.size(), 2u);  // the one before every device, then its own
  EXPECT_EQ(a.lineFaults[0].kind, sim::LineFault::Kind::Late);
  EXPECT_EQ(a.lineFaults[0].delay, 300ms);
  EXPECT_EQ(a.lineFaults[1].word, "P05");
  EXPECT_EQ(a.lineFaults[1].nth, 2);
  const auto &b = o.devices[1].options;
  EXPECT_TRUE(b.neverWritten);
  ASSERT_EQ(b.loaderFaults.size(), 1u);
  EXPECT_EQ(b.loaderFaults[0].line, 3);
  EXPECT_EQ(b.loaderFaults[0].byte, 4);
  const auto &c = o.devices[2];
  EXPECT_TRUE(c.options.foreign);
  EXPECT_EQ(c.options.description, "USB Serial");
  ASSERT_EQ(c.unsolicited.size(), 1u);
  EXPECT_EQ(c.unsolicited[0].text, "RING\r\n");
  EXPECT_EQ(o.recordFile, "r.json");

  EXPECT_EQ(sim::ParseSimArguments({}).devices.at(0).options.serial, "VRT00001");
  EXPECT_EQ(sim::ParseSimArguments({"--no-answer", "#"}).devices[0].options.lineFaults[0].word,
            "#");
  EXPECT_THROW(sim::ParseSimArguments({"--unit"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--late", "soon"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--unit", "A", "--unit", "A"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--loader", "X,1"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--frobnicate"}), std::invalid_argument);
  EXPECT_EQ(sim::Unescape("a\\r\\n\\x00\\\\"), std::string("a\r\n\0\\", 5));
}

TEST(SimOptions, EveryLineIsTimedWithTheUdevLatencyUnlessToldOtherwise) {
  const auto plain = sim::ParseSimArguments({"--unit", "A", "--unit", "B"});
  for (const auto &d : plain.devices) {
    EXPECT_TRUE(d.options.wire.timed);
    EXPECT_EQ(d.options.wire.latency, 1ms);
  }
  const auto slow = sim::ParseSimArguments({"--unit", "A", "--latency", "16"});
  EXPECT_EQ(slow.devices[0].options.wire.latency, 16ms);
  EXPECT_FALSE(sim::ParseSimArguments({"--instant"}).devices[0].options.wire.timed);
  EXPECT_THROW(sim::ParseSimArguments({"--latency", "0"}), std::invalid_argument);
  EXPECT_THROW(sim::ParseSimArguments({"--latency", "256"}), std::invalid_argument);
}

namespace {
class SkarvelSim : public ::testing::Test {
 protected:
  void Start(const QStringList &args) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
    process.setProcessEnvironment(env);
    process.start(SKARVEL_SIM_PROGRAM, args);
    ASSERT_TRUE(process.waitForStarted());
  }
  void TearDown() override {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  std::string folder() const { return runtime.DeviceDirectory() + "/VRT00001"; }

  PrivateRuntimeDir runtime;
  QProcess process;
};
}  // namespace

TEST_F(SkarvelSim, AnswersAClientOfTheLinkFormatAndCleansUpAtSigterm) {
  const std::string record = runtime.Path() + "/record.json";
  Start({"--instant", "--record", QString::fromStdString(record)});
  ASSERT_TRUE(waitFor([] { return dl::ListDevices().size() == 1; }));
  {
    RawHost host(folder());
    EXPECT_EQ(host.Receive(kHello.size()), kHello);
    host.Send(frame('L', "\x03") + frame('D', "AT@NORM\r\n"));
    EXPECT_EQ(host.Receive(6), frame('D', "OK\r\n"));
  }
  ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0);
  EXPECT_TRUE(entries(runtime.DeviceDirectory()).empty());

  const QString out = QString::fromLatin1(process.readAllStandardOutput());
  EXPECT_TRUE(out.contains("VRT00001 <- AT@NORM\\r\\n\n")) << out.toStdString();
  EXPECT_TRUE(out.contains("VRT00001 -> OK\\r\\n\n")) << out.toStdString();

  QFile file(QString::fromStdString(record));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const auto unit = QJsonDocument::fromJson(file.readAll())["devices"][0].toObject();
  EXPECT_EQ(unit["serial"].toString(), "VRT00001");
  EXPECT_EQ(unit["commandLines"].toArray(), QJsonArray{"AT@NORM\r\n"});
  EXPECT_EQ(unit["connections"].toInt(), 1);
}

TEST_F(SkarvelSim, AKilledEmulatorLeavesItsFolderUnlistedAndANewOneTakesItOver) {
  Start({"--quiet"});
  ASSERT_TRUE(waitFor([] { return dl::ListDevices().size() == 1; }));
  process.kill();
  process.waitForFinished();
  EXPECT_EQ(entries(runtime.DeviceDirectory()), std::vector<std::string>{"VRT00001"});
  EXPECT_TRUE(dl::ListDevices().empty());
  Start({"--quiet"});
  EXPECT_TRUE(waitFor([] { return dl::ListDevices().size() == 1; }));
}

TEST_F(SkarvelSim, HelpListsTheOptions) {
  Start({"--help"});
  ASSERT_TRUE(process.waitForFinished(5000));
  const QString out = QString::fromLatin1(process.readAllStandardOutput());
  for (const char *option :
       {"--unit", "--new-unit", "--device", "--no-answer", "--late", "--split", "--err", "--loader",
        "--unsolicited", "--power-off", "--latency", "--instant", "--record"})
    EXPECT_TRUE(out.contains(option)) << option;
}

TEST_F(LinkServerTest, ATimedLineHoldsTheAnswerAsTheFt232Does) {
  server.Add({.wire = {.timed = true, .latency = 16ms}});
  RawHost host(folder());
  ASSERT_EQ(host.Receive(kHello.size()), kHello);
  const auto written = std::chrono::steady_clock::now();
  host.Send(frame('L', "\x03") + frame('D', "AT@NORM\r\n"));
  EXPECT_EQ(host.Receive(6, 5000), frame('D', "OK\r\n")) << "the answer in one packet";
  // Nine bytes to the unit, one back, then the latency timer: never sooner, however loaded.
  EXPECT_GE(std::chrono::steady_clock::now() - written, 9 * 1041667ns + 1041667ns + 16ms);
}

TEST_F(LinkServerTest, ArbitraryBytesFromHostsNeverStopTheServer) {
  auto &unit = server.Add({});
  std::mt19937 random(11);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int host = 0; host < 20; ++host) {
    ASSERT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
    RawHost raw(folder());
    raw.Receive(kHello.size());
    std::string junk;
    // Valid data frames first, so that the unit's command and loader modes see junk too.
    if (host % 3 == 0) junk += frame('D', host % 2 ? "AT@#\r\nw" : "AT@NORM\r\n");
    for (int i = 0; i < 2000; ++i) junk.push_back(static_cast<char>(byte(random)));
    raw.Send(junk);
    raw.Receive(1 << 16, 20);
  }
  ASSERT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
  {
    auto lock = server.Lock();
    unit.SetPowered(false);  // leaves the loader, as a power cycle does
    unit.SetPowered(true);
  }
  RawHost host(folder());
  EXPECT_EQ(host.Receive(kHello.size()), kHello);
  host.Send(frame('D', "AT@NORM\r\n"));
  EXPECT_EQ(host.Receive(6), frame('D', "OK\r\n"));
}
