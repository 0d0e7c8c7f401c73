// The workshop's history as a reader sees it: every bench's jobs from the server together with
// the records this bench still holds for it, gathered into a history file of their own that the
// readers of history/store.h read as they read the bench's.
#pragma once

#include <QString>
#include <functional>
#include <thread>

#include "history/job_record.h"
#include "history/job_source.h"
#include "history/server_address.h"

namespace history {

// Makes `merged` (a history file made anew) hold the server's jobs that `query` asks for and
// every record of `benchFile` (empty: none) that waits for this server, which is newer than the
// server's copy. Blocks its thread until the server answers or the connection's deadlines, or
// until `stopFd` (-1: none) becomes readable. Empty when done, else why the server could not be
// read (the readers then read the bench's file and say so).
QString ReadSharedHistory(const ServerAddress &server, const QString &benchFile,
                          const JobQuery &query, const QString &merged, int stopFd = -1,
                          BenchRecords bench = {});

// ReadSharedHistory on a thread of its own, for a reader that must not wait (a window).
class SharedReader {
 public:
  SharedReader();
  // Stops a read under way at once and waits for its thread.
  ~SharedReader();
  SharedReader(const SharedReader &) = delete;
  SharedReader &operator=(const SharedReader &) = delete;

  // Starts a read (after the previous one has ended); `done` is called on the reader's thread
  // with its result.
  void Start(const ServerAddress &server, const QString &benchFile, const JobQuery &query,
             const QString &merged, std::function<void(const QString &reason)> done);

 private:
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace history
