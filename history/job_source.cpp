#include "history/job_source.h"

#include <climits>

#include "history/server_sender.h"

namespace history {

namespace {

// The bench's file as a reader of jobs.
class FileJobs : public JobReader {
 public:
  explicit FileJobs(Store &store) : store_(store) {}
  bool Read(const JobQuery &query, const JobRange &range, const Each &each) override {
    return store_.Read(query, range, each);
  }
  std::optional<qint64> Count(const JobQuery &query, const QStringList &without) override {
    return store_.Count(query, without);
  }
  std::optional<std::vector<JobKey>> Keys(const JobQuery &query, const QStringList &without,
                                          qint64 every) override {
    return store_.Keys(query, without, every);
  }
  std::optional<JobRecord> Job(const QString &id) override { return store_.Job(id); }
  std::optional<QStringList> IdsBeginningWith(const QString &prefix, int limit) override {
    return store_.IdsBeginningWith(prefix, limit);
  }
  QString Error() const override { return store_.Error(); }

 private:
  Store &store_;
};

}  // namespace

JobSource::~JobSource() = default;

std::unique_ptr<JobSource> JobSource::OpenShared(const ServerAddress &server,
                                                 const QString &benchFile, int stopFd,
                                                 BenchRecords bench, QString *reason) {
  std::unique_ptr<JobSource> source(new JobSource);
  Store &file = source->bench_;
  file.SetServer(server.key, bench.unaddressed);
  // The bench's file is written (the records the server confirms) only when they are sent.
  const bool benchOpen =
      !benchFile.isEmpty() && ((bench.sendFirst && file.Open(benchFile, Store::Mode::Write)) ||
                               file.Open(benchFile, Store::Mode::Read));
  QString error;
  source->connection_ = ServerConnection::Open(server, stopFd, &error);
  if (source->connection_) error = CheckServerSchema(*source->connection_);
  if (error.isEmpty() && benchOpen && bench.sendFirst) {
    bool allSent = false;
    // What the server refuses waits in the bench's file, as the sender leaves it.
    const QString failure = SendWaiting(*source->connection_, file, 1000, &allSent);
    if (!failure.isEmpty() && source->connection_->Broken()) error = failure;
  }
  if (!error.isEmpty()) {
    if (reason) *reason = error;
    return nullptr;
  }
  std::vector<JobRecord> waiting;
  if (benchOpen)
    for (WaitingRecord &w : file.WaitingForServer(INT_MAX)) waiting.push_back(std::move(w.record));
  source->reader_ = std::make_unique<ServerJobs>(*source->connection_);
  source->merged_ = std::make_unique<MergedJobs>(*source->reader_, std::move(waiting));
  return source;
}

std::unique_ptr<JobSource> JobSource::OpenBench(const QString &file, QString *error) {
  std::unique_ptr<JobSource> source(new JobSource);
  if (!source->bench_.Open(file, Store::Mode::Read)) {
    if (error) *error = source->bench_.Error();
    return nullptr;
  }
  source->reader_ = std::make_unique<FileJobs>(source->bench_);
  source->merged_ = std::make_unique<MergedJobs>(*source->reader_, std::vector<JobRecord>{});
  return source;
}

}  // namespace history
