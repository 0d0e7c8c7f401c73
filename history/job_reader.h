#pragma once
// A query's jobs read a part at a time, wherever they are: a row's place in the query's order
// (its key), the one interface of the bench's file's reader and the server's, and the server's
// rows with this bench's records that still wait for it merged in. Nothing here gathers a
// query's rows: they are handed on one by one, and a part starts at a key, never at an offset.

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "history/job_record.h"

namespace history {

// A row's place in a query's order: the value of the column the query is sorted by (empty when
// by `started`), then `started`, `unit` and `id`.
struct JobKey {
  QString value, started, unit, id;
  bool operator==(const JobKey &) const = default;
};

// One term of a query's order: a column and whether it descends.
struct OrderTerm {
  QString column;
  bool descending = false;
};
// The terms of the query's order: the column asked for, then `started`, `unit` and `id`.
std::vector<OrderTerm> OrderTerms(const JobQuery &query);

JobKey KeyOf(const JobQuery &query, const JobRecord &record);
// Whether `a` comes before `b` in the query's order (byte order of the texts, as both readers).
bool Before(const JobQuery &query, const JobKey &a, const JobKey &b);
// Whether the record is one of the query's rows (its filters; its limit aside).
bool Matches(const JobQuery &query, const JobRecord &record);

// The SQL condition "at or after `key` in the query's order", for either reader: `place(column,
// value)` binds a value compared with a column and gives its placeholder. The first term bounds
// the range on its own, so that an index of the order serves it.
QString AtOrAfter(const JobQuery &query, const JobKey &key,
                  const std::function<QString(const QString &column, const QString &value)> &place);

// Where a reading starts and what it leaves out.
struct JobRange {
  std::optional<JobKey> from;  // the rows at or after it; none: from the first
  QStringList without;         // the ids left out
};

// The start of a part of a query's rows: its row number and the key of that row (none for the
// first part, which starts at the first row).
struct JobAnchor {
  qint64 row = 0;
  std::optional<JobKey> key;
};

// A reader of jobs on one connection, used on the thread that made it.
class JobReader {
 public:
  virtual ~JobReader() = default;
  // Gets each row; false stops the reading.
  using Each = std::function<bool(const JobRecord &)>;

  // The query's rows in its order (its limit among them) from the range's start, `details`
  // without the transfer log; false when the reading failed (Error()).
  virtual bool Read(const JobQuery &query, const JobRange &range, const Each &each) = 0;
  // How many rows the query has (its limit aside), without the ids of `without`.
  virtual std::optional<qint64> Count(const JobQuery &query, const QStringList &without) = 0;
  // The keys of rows 0, every, 2 every, ... of the query (its limit aside), without `without`.
  virtual std::optional<std::vector<JobKey>> Keys(const JobQuery &query, const QStringList &without,
                                                  qint64 every) = 0;
  // One job whole, with its transfer log; none when there is none (or the reading failed:
  // Error() says so).
  virtual std::optional<JobRecord> Job(const QString &id) = 0;
  // The ids that begin with `prefix`, in order, at most `limit`.
  virtual std::optional<QStringList> IdsBeginningWith(const QString &prefix, int limit) = 0;
  virtual QString Error() const = 0;
};

// The rows of a reader with records that are newer than its copy merged in (this bench's
// records that wait for the server): each of them stands in the place of the reader's row of its
// id. The records are few: they are held, filtered and ordered here.
class MergedJobs : public JobReader {
 public:
  MergedJobs(JobReader &base, std::vector<JobRecord> newer);

  bool Read(const JobQuery &query, const JobRange &range, const Each &each) override;
  std::optional<qint64> Count(const JobQuery &query, const QStringList &without) override;
  std::optional<std::vector<JobKey>> Keys(const JobQuery &query, const QStringList &without,
                                          qint64 every) override;
  std::optional<JobRecord> Job(const QString &id) override;
  std::optional<QStringList> IdsBeginningWith(const QString &prefix, int limit) override;
  QString Error() const override { return base_.Error(); }

  // The parts of the query's rows: one starting at the first row, then one at each `every`th row
  // of the reader's own, each part read by Read from its key with the next one's row as its
  // limit. None when the reading failed.
  std::optional<std::vector<JobAnchor>> Anchors(const JobQuery &query, qint64 every);

 private:
  // The newer records that the query shows, in its order.
  std::vector<const JobRecord *> Shown(const JobQuery &query) const;
  QStringList Without(const QStringList &without) const;

  JobReader &base_;
  std::vector<JobRecord> newer_;
  QStringList ids_;
};

}  // namespace history
