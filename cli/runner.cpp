#include "cli/runner.h"

#include <algorithm>
#include <exception>

#include "history/journal.h"
#include "link/ft232.h"
#include "link/link.h"
#include "session/discovery.h"
#include "session/session.h"
#include "session/shared_state.h"

namespace cli {

namespace {

bool StillListed(const std::string &serial) {
  SharedState state({});
  ScanDevices(state);
  const std::vector<std::string> units = OfferedUnits(state);
  return std::find(units.begin(), units.end(), serial) != units.end();
}

}  // namespace

std::string BusyMessage(const std::string &serial) {
  return "Device " + serial + " can not open: busy, another program holds it";
}

// One unit: lives on its own thread from Start to its result.
struct Runner::Unit {
  std::size_t index = 0;
  std::string serial;
  bool pending = true;  // not started, or started and not ended
  bool failedBefore = false;
  QThread thread;
  QObject *context = nullptr;  // on the unit's thread
  // Only the unit's thread touches these while it runs.
  std::unique_ptr<Session> session;
  std::unique_ptr<UnitJob> job;
  bool over = false;
  std::chrono::steady_clock::time_point began;
  std::function<void(const std::string &message)> finishInterrupted;
  history::JobEntry record;  // the job's history record, from the start of its thread
};

namespace {
history::Outcome Outcome(bool ok, bool interrupted) {
  return ok            ? history::Outcome::Ok
         : interrupted ? history::Outcome::Interrupted
                       : history::Outcome::Failed;
}
}  // namespace

Runner::Runner(JobSpec spec, std::vector<std::string> serials, bool oneAfterAnother,
               history::Journal *journal)
    : spec_(std::move(spec)), oneAfterAnother_(oneAfterAnother), journal_(journal) {
  for (std::size_t i = 0; i < serials.size(); ++i) {
    auto unit = std::make_unique<Unit>();
    unit->index = i;
    unit->serial = serials[i];
    results_.push_back({serials[i], spec_.Name(), false, {}, 0, false, {}});
    units_.push_back(std::move(unit));
  }
}

Runner::~Runner() {
  for (auto &unit : units_) {
    unit->thread.quit();
    unit->thread.wait();
    delete unit->context;
  }
}

void Runner::Fail(std::size_t index, const std::string &message) {
  Unit &unit = *units_.at(index);
  unit.failedBefore = true;
  unit.pending = false;
  results_[index].message = message;
  unit.record.Start(journal_, QString::fromStdString(unit.serial), spec_.kind, spec_.details);
  unit.record.End(history::Outcome::Failed, QString::fromLatin1(message),
                  jobs::NotBegunDetails(spec_.kind));
  results_[index].id = unit.record.Id().toStdString();
  ++ended_;
}

bool Runner::AllOk() const {
  for (const auto &result : results_)
    if (!result.ok) return false;
  return true;
}

void Runner::Start() {
  if (oneAfterAnother_) {
    StartNext();
  } else {
    for (auto &unit : units_)
      if (!unit->failedBefore) StartUnit(unit->index);
  }
  // Units that failed before they started are reported in order with the others.
  for (auto &unit : units_)
    if (unit->failedBefore && Ended) Ended(unit->index, results_[unit->index]);
  if (ended_ == units_.size() && Finished) Finished();
}

void Runner::StartNext() {
  for (auto &unit : units_) {
    if (!unit->pending) continue;
    if (unit->context) return;  // one runs
    StartUnit(unit->index);
    return;
  }
}

void Runner::StartUnit(std::size_t index) {
  Unit &unit = *units_[index];
  unit.context = new QObject;
  unit.context->moveToThread(&unit.thread);
  unit.thread.setObjectName(QString::fromStdString(unit.serial));
  unit.thread.start();

  // Everything below runs on the unit's thread.
  auto report = [this, index](const Progress &progress) {
    QMetaObject::invokeMethod(
        &context_,
        [this, index, progress] {
          if (Progressed && units_[index]->pending) Progressed(index, progress);
        },
        Qt::QueuedConnection);
  };
  auto finish = [this, &unit](bool ok, const std::string &message, bool interrupted) {
    if (unit.over) return;
    unit.over = true;
    UnitResult result{
        unit.serial,
        spec_.Name(),
        ok,
        message,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - unit.began).count(),
        interrupted,
        unit.record.Id().toStdString()};
    unit.record.End(Outcome(ok, interrupted), QString::fromLatin1(message),
                    unit.job ? unit.job->EndDetails() : jobs::NotBegunDetails(spec_.kind));
    // The job goes outside its own handlers; its port closes here, waiting for what it sent.
    QMetaObject::invokeMethod(
        unit.context,
        [this, &unit, result] {
          unit.job.reset();
          if (unit.session && unit.session->Port) unit.session->Port->ClearRts(false);  // RTS set
          unit.session.reset();
          QMetaObject::invokeMethod(
              &context_, [this, index = unit.index, result] { UnitEnded(index, result); },
              Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
  };

  unit.finishInterrupted = [finish](const std::string &message) {
    finish(false, message.empty() ? std::string(kInterrupted) : message, true);
  };
  QMetaObject::invokeMethod(
      unit.context,
      [this, &unit, report, finish] {
        unit.began = std::chrono::steady_clock::now();
        unit.record.Start(journal_, QString::fromStdString(unit.serial), spec_.kind, spec_.details);
        if (interrupted_) {
          finish(false, std::string(kNotStarted), true);
          return;
        }
        unit.session = std::make_unique<Session>(unit.serial, spec_.logFolder);
        unit.session->LogName = "LOG_" + unit.serial + ".TXT";
        report({"opening", -1});
        try {
          unit.session->Port = OpenConfiguredPort(unit.serial, kOpenSettle);
        } catch (const std::exception &e) {
          // Listed, alive and still not to be had: another program holds the unit.
          finish(false, StillListed(unit.serial) ? BusyMessage(unit.serial) : e.what(), false);
          return;
        }
        if (interrupted_) {
          finish(false, std::string(kNotStarted), true);
          return;
        }
        unit.job = MakeJob(spec_, *unit.session);
        unit.job->Progressed = report;
        unit.job->Ended = [finish](bool ok, const std::string &message) {
          finish(ok, message, false);
        };
        unit.job->Begin();
      },
      Qt::QueuedConnection);
}

void Runner::UnitEnded(std::size_t index, UnitResult result) {
  Unit &unit = *units_[index];
  if (!unit.pending) return;
  unit.pending = false;
  unit.thread.quit();
  results_[index] = std::move(result);
  ++ended_;
  if (Ended) Ended(index, results_[index]);
  if (ended_ == units_.size()) {
    if (Finished) Finished();
    return;
  }
  if (oneAfterAnother_ && !interrupted_) StartNext();
}

void Runner::Interrupt() {
  if (interrupted_) return;
  interrupted_ = true;
  for (auto &unit : units_) {
    if (!unit->pending) continue;
    if (!unit->context) {
      // Not started (units in turn): interrupted before its start, with a record that says so.
      unit->pending = false;
      unit->record.Start(journal_, QString::fromStdString(unit->serial), spec_.kind, spec_.details);
      unit->record.End(history::Outcome::Interrupted, QString::fromLatin1(kNotStarted),
                       jobs::NotBegunDetails(spec_.kind));
      results_[unit->index] = {unit->serial,
                               spec_.Name(),
                               false,
                               std::string(kNotStarted),
                               0,
                               true,
                               unit->record.Id().toStdString()};
      ++ended_;
      if (Ended) Ended(unit->index, results_[unit->index]);
      continue;
    }
    Unit *u = unit.get();
    QMetaObject::invokeMethod(
        u->context,
        [u] {
          if (u->over) return;
          const std::string message = u->job ? u->job->InterruptedMessage() : std::string();
          if (u->job) u->job->Interrupt();
          u->finishInterrupted(message);
        },
        Qt::QueuedConnection);
  }
  if (ended_ == units_.size() && Finished) Finished();
}

}  // namespace cli
