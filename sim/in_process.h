// Emulated units served inside the calling process, through the driver layer's provider
// interface: for tests that drive the program's windows and exchanges against a unit without a
// device link.
//
// Each unit behaves as over the link: one host at a time, every host session starts with DTR and
// RTS set at 9600 baud, the receive queue holds at most 65,536 bytes, and an unplugged unit fails
// every call on its open handle with status 4 and is not listed until it is plugged in again.
// Time is the units' clock: a ManualClock of their own unless one is given, so nothing happens
// late or in pieces until the test advances it. A unit whose options ask for a timed wire
// (UnitOptions::wire) has its bytes take their time on the line and in the FT232 by that clock.
#pragma once

#include <memory>
#include <string>

#include "d2xx/backend.h"
#include "sim/clock.h"
#include "sim/unit.h"

namespace sim {

class InProcessUnits {
 public:
  // `clock` must outlive these units; without one they use a ManualClock of their own.
  explicit InProcessUnits(const sim::Clock *clock = nullptr);
  ~InProcessUnits();
  InProcessUnits(const InProcessUnits &) = delete;
  InProcessUnits &operator=(const InProcessUnits &) = delete;

  // Adds a unit (plugged in); listed after the devices added before it.
  Unit &Add(UnitOptions options = {});
  // Adds an FT device that is not a unit: listed and counted, records what it gets, never answers.
  Unit &AddForeign(const std::string &serial = "FT5Q2ZK1",
                   const std::string &description = std::string(kForeignDescription));

  // The unit with this serial number, or nullptr.
  Unit *Find(const std::string &serial);
  Unit &operator[](const std::string &serial);

  // Unplugs the device: its open handle fails from now on and it is no longer listed.
  void Unplug(const std::string &serial);
  // Plugs it in again: the same unit, with what it kept, listed and free to open.
  void PlugIn(const std::string &serial);
  // Whether a host has the device open now.
  bool IsOpen(const std::string &serial) const;

  // The units' own clock; only when no clock was given.
  ManualClock &clock();
  // A provider over these units, for a d2xx::ProviderBackend. It may outlive this object.
  std::unique_ptr<d2xx::DeviceProvider> MakeProvider();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Installs a driver backend over in-process units for the lifetime of the object: the driver
// lists and opens these units and nothing else.
class InstalledUnits : public InProcessUnits {
 public:
  explicit InstalledUnits(const sim::Clock *clock = nullptr);

 private:
  d2xx::ScopedBackend scope_;
};

}  // namespace sim
