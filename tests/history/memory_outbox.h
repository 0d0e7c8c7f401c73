// The bench's outbox as a test keeps it: records in the order first written, each with the
// revision of its latest write and whether the server has confirmed that revision.
#pragma once

#include <QDateTime>
#include <QUuid>

#include <map>
#include <mutex>

#include "history/server_sender.h"

class MemoryOutbox : public history::ServerOutbox {
 public:
  void Put(const history::JobRecord &record) {
    std::lock_guard lock(mutex_);
    auto [it, added] = entries_.try_emplace(record.id);
    if (added) order_.push_back(record.id);
    it->second.record = record;
    ++it->second.revision;
    it->second.waiting = true;
  }
  std::vector<history::WaitingRecord> WaitingForServer(int limit) override {
    std::lock_guard lock(mutex_);
    std::vector<history::WaitingRecord> waiting;
    for (const QString &id : order_) {
      if (static_cast<int>(waiting.size()) >= limit) break;
      const Entry &e = entries_.at(id);
      if (e.waiting) waiting.push_back({e.record, e.revision});
    }
    return waiting;
  }
  void ConfirmedByServer(const std::vector<std::pair<QString, qint64>> &records) override {
    std::lock_guard lock(mutex_);
    for (const auto &[id, revision] : records)
      if (Entry &e = entries_.at(id); e.revision == revision) e.waiting = false;
  }
  qint64 WaitingCount() override {
    std::lock_guard lock(mutex_);
    qint64 n = 0;
    for (const auto &[id, e] : entries_) n += e.waiting;
    return n;
  }

 private:
  struct Entry {
    history::JobRecord record;
    qint64 revision = 0;
    bool waiting = false;
  };
  std::mutex mutex_;
  std::map<QString, Entry> entries_;
  std::vector<QString> order_;
};

// A job's record as it starts; Ended() makes its end.
inline history::JobRecord Running(const QString &unit, const QString &started = {}) {
  history::JobRecord r;
  r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
  r.unit = unit;
  r.job = "settings";
  r.started =
      started.isEmpty() ? QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) : started;
  r.outcome = "running";
  r.station = "bench-1";
  r.operator_ = "service";
  r.program = "tolvane-cli 5.00.00.04";
  r.details = R"({"values": {"P01": "3"}, "profile": null})";
  return r;
}

inline history::JobRecord Ended(history::JobRecord r, const QString &outcome = "ok") {
  r.ended = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
  r.outcome = outcome;
  return r;
}
