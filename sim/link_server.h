// The device side of the emulated device link: serves emulated units (and other FT devices) in
// the device directory, one folder and one socket each, to one host at a time.
//
// A device's folder is built under a name beginning with "." and renamed into place, with its
// lock held for as long as it is served; a second host that connects while one is served is
// closed without a word. Unplug removes the folder and drops the host; plug in builds it again.
//
// Each device's line to its host has the timing its options ask for (sim/wire.h): bytes reach
// the unit and the host when the line and the FT232 would let them, and the unit answers a byte
// from the time it arrived.
//
// Serve() does one round of work; Start() serves on a thread of its own, and then everything
// that touches the units from another thread holds Lock().
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/clock.h"
#include "sim/unit.h"

namespace sim {

class LinkServer {
 public:
  using Reporter =
      std::function<void(const std::string &serial, Unit::Event event, const std::string &text)>;

  // Serves in `directory`, or in this user's device directory when it is empty; the directory
  // is made (private) when missing. Throws std::runtime_error when it is not private.
  explicit LinkServer(const Clock &clock, std::string directory = {});
  // Stops serving, drops the hosts and removes the folders.
  ~LinkServer();
  LinkServer(const LinkServer &) = delete;
  LinkServer &operator=(const LinkServer &) = delete;

  // Adds a device and puts its folder in place, named `folder` or after its serial number.
  // Throws std::runtime_error when a living device has that folder or it cannot be made.
  Unit &Add(UnitOptions options, std::string folder = {});
  Unit &AddForeign(const std::string &serial,
                   const std::string &description = std::string(kForeignDescription),
                   std::string folder = {});
  Unit *Find(const std::string &serial);
  void Unplug(const std::string &serial);
  void PlugIn(const std::string &serial);
  bool HasHost(const std::string &serial);
  const std::string &Directory() const { return directory_; }
  // The folder a device is served in (whether plugged in or not), or empty.
  std::string FolderOf(const std::string &serial);
  // Receives every event of every device: command lines, replies, loader, sessions, problems.
  void SetReporter(Reporter reporter);

  // Serves for at most `maxWait` (less when a unit's output falls due sooner); tells which of
  // `watch` became readable meanwhile.
  std::vector<bool> Serve(std::chrono::milliseconds maxWait, const std::vector<int> &watch = {});
  void Start();
  void Stop();
  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(mutex_); }
  // Makes a serving round look at the units again (after a change from another thread).
  void Wake();

 private:
  struct Served;
  Served *find(const std::string &serial);
  void plug(Served &s);
  void unplug(Served &s);
  void accept(Served &s);
  void readHost(Served &s);
  void flush(Served &s);
  void dropHost(Served &s, const std::string &why);
  void collectOutput(Served &s);
  std::string throughWire(Served &s);
  void report(const std::string &serial, Unit::Event event, const std::string &text);

  const Clock &clock_;
  EventClock unitClock_;  // the units' clock: the time of the byte being handed to a unit
  std::string directory_;
  std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<Served>> served_;
  Reporter reporter_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace sim
