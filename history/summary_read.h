// The units' summaries and the unit list of the workshop's history, read where the data is: one
// statement on the server (history/server_summary.h) merged with the records this bench still
// holds for it, the newer of the two winning; neither the server's table nor a transfer log is
// copied. The bench's own file answers the same through Store::Summaries and Store::Units.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <thread>
#include <vector>

#include "history/server_address.h"
#include "history/store.h"

namespace history {

// Where a summary's read goes with a server.
struct SummarySource {
  ServerAddress server;
  QString benchFile;        // the bench's history file; empty: none
  bool sendFirst = false;   // its waiting records are sent first (the command line's readers)
  bool unaddressed = true;  // the server is VERT.ini's: the records made with no server too
};

// The summaries of these units (every unit when empty), by serial. Empty when read, else why the
// server could not be read. Blocks its thread until the server answers or the connection's
// deadlines, or until `stopFd` (-1: none) becomes readable.
QString ReadSharedSummaries(const SummarySource &source, const QStringList &units,
                            std::vector<UnitSummary> *summaries, int stopFd = -1);
// The units that have jobs, in order; as ReadSharedSummaries.
QString ReadSharedUnits(const SummarySource &source, QStringList *units, int stopFd = -1);

// A read on a thread of its own, for a reader that must not wait (a window). A new Start, and the
// destructor, stop the read under way at once and wait for its thread.
class BackgroundRead {
 public:
  BackgroundRead();
  ~BackgroundRead();
  BackgroundRead(const BackgroundRead &) = delete;
  BackgroundRead &operator=(const BackgroundRead &) = delete;

  // Runs `read` on the thread, with the descriptor that becomes readable when it is to stop.
  void Start(std::function<void(int stopFd)> read);

 private:
  void Stop();

  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace history
