#pragma once
// The jobs a reader of the history reads, on the thread that opens them: with the workshop's
// server, the server's jobs queried where they are, with this bench's records that still wait
// for it merged in (they are newer than the server's copy); without one, the bench's own file.
// Nothing is copied: every reading is a query.

#include <QString>
#include <memory>

#include "history/job_reader.h"
#include "history/server_address.h"
#include "history/server_connection.h"
#include "history/server_store.h"
#include "history/store.h"

namespace history {

// How a reader treats the bench's records that wait for the server.
struct BenchRecords {
  bool sendFirst = false;   // send them before reading (the command line's readers)
  bool unaddressed = true;  // the server is VERT.ini's: the records made with no server too
};

class JobSource {
 public:
  // The server's jobs and the records of `benchFile` (empty: none) that wait for it. Waits until
  // the server answers or the connection's deadlines, or until `stopFd` (-1: none) becomes
  // readable. None, with `reason`, when the server cannot be read.
  static std::unique_ptr<JobSource> OpenShared(const ServerAddress &server,
                                               const QString &benchFile, int stopFd,
                                               BenchRecords bench, QString *reason);
  // The bench's file; none, with `error`, when it cannot be read.
  static std::unique_ptr<JobSource> OpenBench(const QString &file, QString *error);
  ~JobSource();

  MergedJobs &Jobs() { return *merged_; }
  bool Shared() const { return connection_ != nullptr; }
  // The bench's file when it is what is read (its CSV made by SQLite), else none.
  Store *BenchFile() { return Shared() ? nullptr : &bench_; }
  // Stops a statement under way on the server (the stop of OpenShared's `stopFd`): whether the
  // connection broke off.
  bool Broken() const { return connection_ && connection_->Broken(); }

 private:
  JobSource() = default;

  Store bench_;
  std::unique_ptr<ServerConnection> connection_;
  std::unique_ptr<JobReader> reader_;
  std::unique_ptr<MergedJobs> merged_;
};

}  // namespace history
