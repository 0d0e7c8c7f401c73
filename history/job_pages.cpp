#include "history/job_pages.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "history/job_source.h"

namespace history {

namespace {

JobPagesResult Failure(int generation, const QString &reason) {
  JobPagesResult failed;
  failed.kind = JobPagesResult::Kind::Failed;
  failed.generation = generation;
  failed.reason = reason;
  return failed;
}

}  // namespace

JobPages::JobPages(QString benchFile, std::optional<ServerAddress> server,
                   std::function<void(JobPagesResult)> done)
    : benchFile_(std::move(benchFile)),
      server_(std::move(server)),
      done_(std::move(done)),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this] { Run(); }) {}

JobPages::~JobPages() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (stopFd_ >= 0) {
    const quint64 one = 1;
    [[maybe_unused]] const auto n = write(stopFd_, &one, sizeof one);
  }
  thread_.join();
  if (stopFd_ >= 0) close(stopFd_);
}

void JobPages::Reopen() {
  std::lock_guard lock(mutex_);
  reopen_ = true;
}

void JobPages::SetQuery(int generation, const JobQuery &query) {
  {
    std::lock_guard lock(mutex_);
    query_ = {generation, query};
    generation_ = generation;
    current_ = query;
    pages_.clear();
    job_.reset();
  }
  wake_.notify_all();
}

void JobPages::WantPage(int generation, qint64 page, std::optional<JobKey> from, qint64 limit) {
  {
    std::lock_guard lock(mutex_);
    pages_.push_back({generation, page, std::move(from), limit});
  }
  wake_.notify_all();
}

void JobPages::WantJob(int generation, const QString &id) {
  {
    std::lock_guard lock(mutex_);
    job_ = {generation, id};
  }
  wake_.notify_all();
}

void JobPages::Open() {
  source_.reset();
  reason_.clear();
  if (server_) {
    source_ = JobSource::OpenShared(*server_, benchFile_, stopFd_, {}, &reason_);
    if (source_) return;
  }
  if (benchFile_.isEmpty()) return;
  QString error;
  source_ = JobSource::OpenBench(benchFile_, &error);
  // Without a server, why the file cannot be read; with one, why the server cannot be read.
  if (!source_ && !server_) reason_ = error;
}

void JobPages::ReadFirst(int generation, const JobQuery &query) {
  JobPagesResult first;
  first.generation = generation;
  first.reason = reason_;
  first.shared = source_ && source_->Shared();
  if (source_) {
    MergedJobs &jobs = source_->Jobs();
    JobQuery page = query;
    page.limit = kPageRows;
    const bool read = jobs.Read(page, {}, [&](const JobRecord &r) {
      first.rows.push_back(r);
      return true;
    });
    const std::optional<qint64> count = jobs.Count(query, {});
    if (!read || !count) {
      done_(Failure(generation, jobs.Error()));
      return;
    }
    first.count = query.limit >= 0 ? std::min(*count, query.limit) : *count;
  }
  done_(std::move(first));
  if (!source_) return;
  std::optional<std::vector<JobAnchor>> anchors = source_->Jobs().Anchors(query, kPageRows);
  if (!anchors) {
    done_(Failure(generation, source_->Jobs().Error()));
    return;
  }
  JobPagesResult result;
  result.kind = JobPagesResult::Kind::Anchors;
  result.generation = generation;
  result.anchors = std::move(*anchors);
  done_(std::move(result));
}

void JobPages::Run() {
  for (;;) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stop_ || query_ || job_ || !pages_.empty(); });
    if (stop_) {
      lock.unlock();
      source_.reset();  // closed on the thread that opened it
      return;
    }
    const bool reopen = std::exchange(reopen_, false);
    if (query_) {
      const auto [generation, query] = *std::exchange(query_, std::nullopt);
      lock.unlock();
      if (reopen) Open();
      ReadFirst(generation, query);
      continue;
    }
    if (reopen) {
      lock.unlock();
      Open();
      continue;
    }
    const int generation = generation_;
    const JobQuery query = current_;
    JobPagesResult result;
    result.generation = generation;
    if (job_) {
      const auto [wanted, id] = *std::exchange(job_, std::nullopt);
      lock.unlock();
      if (wanted != generation || !source_) continue;
      result.kind = JobPagesResult::Kind::Job;
      result.job = source_->Jobs().Job(id);
      done_(std::move(result));
      continue;
    }
    // The newest page asked for first: the one a jump went to.
    const PageRequest wanted = pages_.back();
    pages_.pop_back();
    lock.unlock();
    if (wanted.generation != generation || !source_) continue;
    JobQuery page = query;
    page.limit = wanted.limit;
    result.kind = JobPagesResult::Kind::Page;
    result.page = wanted.page;
    const bool read = source_->Jobs().Read(page, {wanted.from, {}}, [&](const JobRecord &r) {
      result.rows.push_back(r);
      return true;
    });
    if (!read) result = Failure(generation, source_->Jobs().Error());
    done_(std::move(result));
  }
}

}  // namespace history
