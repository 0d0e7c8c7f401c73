#include "sim/in_process.h"

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <vector>

#include "d2xx/event.h"

namespace sim {

namespace {
constexpr std::size_t kReceiveQueueCap = 65536;
}

struct InProcessUnits::State {
  struct Slot {
    std::unique_ptr<Unit> unit;
    bool plugged = true;
    int generation = 0;  // goes up at every unplug: handles of an older one are dead
    bool open = false;
  };
  ManualClock ownClock;
  const sim::Clock *clock = nullptr;
  std::unique_ptr<EventClock> unitClock;  // over `clock`: the units' time
  std::vector<Slot> slots;

  Slot *find(const std::string &serial) {
    for (auto &s : slots)
      if (s.unit->Serial() == serial) return &s;
    return nullptr;
  }
};

namespace {

class InProcessDevice : public d2xx::Device {
 public:
  InProcessDevice(std::shared_ptr<InProcessUnits::State> state, std::size_t slot)
      : state_(std::move(state)),
        slot_(slot),
        generation_(state_->slots[slot].generation),
        wire_(state_->slots[slot].unit->Options().wire) {
    auto &s = state_->slots[slot_];
    s.open = true;
    s.unit->Connect();
    wire_.SetBaudRate(s.unit->BaudRate());
  }
  ~InProcessDevice() override {
    if (!alive()) return;
    auto &s = state_->slots[slot_];
    s.open = false;
    s.unit->Disconnect();
  }

  FT_STATUS SetBaudRate(ULONG baudRate) override {
    if (!alive()) return FT_IO_ERROR;
    if (wire_.Options().timed) collect();  // what is on its way keeps its timing
    unit().SetBaudRate(baudRate);
    wire_.SetBaudRate(unit().BaudRate());
    return FT_OK;
  }
  FT_STATUS Read(void *buffer, DWORD toRead, DWORD *read) override {
    *read = 0;
    if (!alive()) return FT_IO_ERROR;
    collect();
    auto *out = static_cast<std::uint8_t *>(buffer);
    while (*read < toRead && !rx_.empty()) {
      out[(*read)++] = rx_.front();
      rx_.pop_front();
    }
    events_.SetQueued(!rx_.empty());
    return FT_OK;
  }
  FT_STATUS Write(const void *buffer, DWORD toWrite, DWORD *written) override {
    *written = 0;
    if (!alive()) return FT_IO_ERROR;
    const std::string_view bytes(static_cast<const char *>(buffer), toWrite);
    if (wire_.Options().timed) {
      collect();
      wire_.Send(bytes, state_->clock->Now());
    } else {
      unit().Receive(bytes);
    }
    *written = toWrite;
    return FT_OK;
  }
  FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) override {
    if (!alive()) return FT_IO_ERROR;
    collect();
    *rx = static_cast<DWORD>(rx_.size());
    *tx = 0;
    return FT_OK;
  }
  FT_STATUS SetDtr(bool set) override {
    if (!alive()) return FT_IO_ERROR;
    dtr_ = set;
    unit().SetLines(dtr_, rts_);
    return FT_OK;
  }
  FT_STATUS SetRts(bool set) override {
    if (!alive()) return FT_IO_ERROR;
    rts_ = set;
    unit().SetLines(dtr_, rts_);
    return FT_OK;
  }
  FT_STATUS ModemStatus(ULONG *status) override {
    if (!alive()) return FT_IO_ERROR;
    *status = unit().ModemStatus();
    return FT_OK;
  }
  FT_STATUS SetBitMode(UCHAR mask, UCHAR mode) override {
    if (!alive()) return FT_IO_ERROR;
    unit().SetBitMode(mask, mode);
    return FT_OK;
  }
  // The unit's bytes come in at the driver calls, when the test's clock has let them: the event
  // is signalled from the call that took them in.
  FT_STATUS NotifyReceived(d2xx::EventHandle *event) override {
    if (!event) {
      events_.Detach();
      return FT_OK;
    }
    if (!alive()) return FT_IO_ERROR;
    if (!events_.Attach(*event, -1)) return FT_INSUFFICIENT_RESOURCES;
    collect();
    return FT_OK;
  }

 private:
  bool alive() const {
    const auto &s = state_->slots[slot_];
    return s.plugged && s.generation == generation_;
  }
  Unit &unit() { return *state_->slots[slot_].unit; }
  // Takes what the unit has sent by now into the receive queue; bytes beyond its cap are lost.
  void collect() {
    for (char c : wire_.Options().timed ? throughWire() : unit().TakeOutput())
      if (rx_.size() < kReceiveQueueCap) rx_.push_back(static_cast<std::uint8_t>(c));
    events_.SetQueued(!rx_.empty());
  }
  // Hands the unit the bytes that have reached it by now, each at its own time, puts what the
  // unit sent onto the line and gives what has reached the host.
  std::string throughWire() {
    EventClock &clock = *state_->unitClock;
    const Time now = state_->clock->Now();
    for (const auto &[at, byte] : wire_.Arrived(now)) {
      clock.Pin(at);
      unit().Receive(std::string_view(&byte, 1));
    }
    clock.Unpin();
    for (const auto &[due, bytes] : unit().TakeTimedOutput()) wire_.Reply(bytes, due);
    return wire_.Delivered(now);
  }

  std::shared_ptr<InProcessUnits::State> state_;
  std::size_t slot_;
  int generation_;
  bool dtr_ = true;
  bool rts_ = true;
  Wire wire_;
  std::deque<std::uint8_t> rx_;
  d2xx::EventLink events_;
};

class InProcessProvider : public d2xx::DeviceProvider {
 public:
  explicit InProcessProvider(std::shared_ptr<InProcessUnits::State> state)
      : state_(std::move(state)) {}

  std::vector<d2xx::DeviceEntry> Enumerate() override {
    std::vector<d2xx::DeviceEntry> list;
    for (const auto &s : state_->slots)
      if (s.plugged) list.push_back({s.unit->Options().description, s.unit->Serial()});
    return list;
  }

  FT_STATUS Open(const std::string &serial, std::unique_ptr<d2xx::Device> &device) override {
    for (std::size_t i = 0; i < state_->slots.size(); ++i) {
      const auto &s = state_->slots[i];
      if (!s.plugged || s.unit->Serial() != serial) continue;
      if (s.open) return FT_DEVICE_NOT_OPENED;  // one host at a time
      device = std::make_unique<InProcessDevice>(state_, i);
      return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
  }

 private:
  std::shared_ptr<InProcessUnits::State> state_;
};

}  // namespace

InProcessUnits::InProcessUnits(const sim::Clock *clock) : state_(std::make_shared<State>()) {
  state_->clock = clock ? clock : &state_->ownClock;
  state_->unitClock = std::make_unique<EventClock>(*state_->clock);
}

InProcessUnits::~InProcessUnits() = default;

Unit &InProcessUnits::Add(UnitOptions options) {
  State::Slot slot;
  slot.unit = std::make_unique<Unit>(std::move(options), *state_->unitClock);
  state_->slots.push_back(std::move(slot));
  return *state_->slots.back().unit;
}

Unit &InProcessUnits::AddForeign(const std::string &serial, const std::string &description) {
  UnitOptions options;
  options.serial = serial;
  options.description = description;
  options.foreign = true;
  return Add(std::move(options));
}

Unit *InProcessUnits::Find(const std::string &serial) {
  auto *s = state_->find(serial);
  return s ? s->unit.get() : nullptr;
}

Unit &InProcessUnits::operator[](const std::string &serial) {
  Unit *u = Find(serial);
  if (!u) throw std::out_of_range("no emulated unit " + serial);
  return *u;
}

void InProcessUnits::Unplug(const std::string &serial) {
  auto *s = state_->find(serial);
  if (!s || !s->plugged) return;
  s->plugged = false;
  ++s->generation;
  if (s->open) s->unit->Disconnect();
  s->open = false;
}

void InProcessUnits::PlugIn(const std::string &serial) {
  if (auto *s = state_->find(serial)) s->plugged = true;
}

bool InProcessUnits::IsOpen(const std::string &serial) const {
  auto *s = state_->find(serial);
  return s && s->open;
}

ManualClock &InProcessUnits::clock() {
  return state_->ownClock;
}

std::unique_ptr<d2xx::DeviceProvider> InProcessUnits::MakeProvider() {
  return std::make_unique<InProcessProvider>(state_);
}

namespace {
std::unique_ptr<d2xx::Backend> backendOver(InProcessUnits &units) {
  std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
  providers.push_back(units.MakeProvider());
  return std::make_unique<d2xx::ProviderBackend>(std::move(providers));
}
}  // namespace

InstalledUnits::InstalledUnits(const sim::Clock *clock)
    : InProcessUnits(clock), scope_(backendOver(*this)) {}

}  // namespace sim
