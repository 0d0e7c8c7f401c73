#pragma once
// A query's jobs read a page at a time on a thread of their own, for a window that must never
// wait: the first page and the count at once, then the start of every page (a key every
// kPageRows rows, found by one statement), then each page asked for by its key, never by an
// offset, so that a page in the middle of a million jobs costs what the first one does. The
// newest page asked for is read first. With the workshop's server, its jobs with this bench's
// waiting records merged in; when it cannot be read, or without one, the bench's file.

#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "history/job_reader.h"
#include "history/server_address.h"

namespace history {

class JobSource;

// What the reader's thread hands on; `generation` is that of the query it was read for.
struct JobPagesResult {
  enum class Kind { First, Anchors, Page, Job, Failed };
  Kind kind = Kind::First;
  int generation = 0;
  // First: "" when the workshop's server was read, else why not ("" too without a server);
  // Failed: why the reading failed.
  QString reason;
  bool shared = false;  // First: the rows are the server's
  qint64 count = 0;     // First: the query's rows
  qint64 page = 0;      // Page: its number
  std::vector<JobRecord> rows;
  std::vector<JobAnchor> anchors;  // Anchors: the start of each page
  std::optional<JobRecord> job;    // Job: the record whole, with its transfer log
};

class JobPages {
 public:
  static constexpr qint64 kPageRows = 256;

  // `done` is called on the reader's thread with each result.
  JobPages(QString benchFile, std::optional<ServerAddress> server,
           std::function<void(JobPagesResult)> done);
  // Stops a statement on the server under way at once and waits for the thread.
  ~JobPages();
  JobPages(const JobPages &) = delete;
  JobPages &operator=(const JobPages &) = delete;

  // Opens the history afresh before the next query (the records waiting then, the server's
  // state).
  void Reopen();
  // Reads the query's count and first page, then its anchors; forgets what older queries asked.
  void SetQuery(int generation, const JobQuery &query);
  // Reads the rows of one page: `limit` rows from `from` (none: the first row).
  void WantPage(int generation, qint64 page, std::optional<JobKey> from, qint64 limit);
  // Reads one job whole.
  void WantJob(int generation, const QString &id);

 private:
  struct PageRequest {
    int generation;
    qint64 page;
    std::optional<JobKey> from;
    qint64 limit;
  };
  void Run();
  void Open();
  void ReadFirst(int generation, const JobQuery &query);

  QString benchFile_;
  std::optional<ServerAddress> server_;
  std::function<void(JobPagesResult)> done_;
  int stopFd_ = -1;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool reopen_ = true;
  std::optional<std::pair<int, JobQuery>> query_;
  std::deque<PageRequest> pages_;
  std::optional<std::pair<int, QString>> job_;
  int generation_ = 0;
  JobQuery current_;  // the query of `generation_`

  // The reader's thread's own.
  std::unique_ptr<JobSource> source_;
  QString reason_;
  std::thread thread_;
};

}  // namespace history
