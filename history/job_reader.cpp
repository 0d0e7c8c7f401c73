#include "history/job_reader.h"

#include <algorithm>
#include <set>

namespace history {

namespace {

// The column a query is sorted by before `started`; empty for none.
QString Asked(const JobQuery &query) {
  static const QStringList sortable = {"unit", "job", "outcome"};
  return sortable.contains(query.orderBy) ? query.orderBy : QString();
}

// The key's texts in the order of the query's terms.
std::vector<QString> Parts(const JobQuery &query, const JobKey &key) {
  std::vector<QString> parts;
  if (!Asked(query).isEmpty()) parts.push_back(key.value);
  parts.insert(parts.end(), {key.started, key.unit, key.id});
  return parts;
}

int CompareBytes(const QString &a, const QString &b) {
  const QByteArray x = a.toUtf8(), y = b.toUtf8();
  return x < y ? -1 : y < x ? 1 : 0;
}

}  // namespace

std::vector<OrderTerm> OrderTerms(const JobQuery &query) {
  std::vector<OrderTerm> terms;
  const QString asked = Asked(query);
  if (!asked.isEmpty()) terms.push_back({asked, !query.ascending});
  terms.push_back({"started", !(asked.isEmpty() && query.ascending)});
  terms.push_back({"unit", false});
  terms.push_back({"id", false});
  return terms;
}

JobKey KeyOf(const JobQuery &query, const JobRecord &record) {
  const QString asked = Asked(query);
  const QString value = asked == "unit"   ? record.unit
                        : asked == "job"  ? record.job
                        : asked.isEmpty() ? QString()
                                          : record.outcome;
  return {value, record.started, record.unit, record.id};
}

bool Before(const JobQuery &query, const JobKey &a, const JobKey &b) {
  const std::vector<OrderTerm> terms = OrderTerms(query);
  const std::vector<QString> x = Parts(query, a), y = Parts(query, b);
  for (std::size_t i = 0; i < terms.size(); ++i)
    if (const int c = CompareBytes(x[i], y[i]); c != 0) return terms[i].descending ? c > 0 : c < 0;
  return false;
}

bool Matches(const JobQuery &query, const JobRecord &record) {
  return (query.units.isEmpty() || query.units.contains(record.unit)) &&
         (query.job.isEmpty() || record.job == query.job) &&
         (query.outcome.isEmpty() || record.outcome == query.outcome) &&
         (!query.since || CompareBytes(record.started, *query.since) >= 0);
}

QString AtOrAfter(
    const JobQuery &query, const JobKey &key,
    const std::function<QString(const QString &column, const QString &value)> &place) {
  const std::vector<OrderTerm> terms = OrderTerms(query);
  const std::vector<QString> parts = Parts(query, key);
  const auto beyond = [&](std::size_t i, bool orEqual) {
    return terms[i].column + (terms[i].descending ? " <" : " >") + (orEqual ? "= " : " ") +
           place(terms[i].column, parts[i]);
  };
  // Made from left to right, so that the placeholders are bound in their order in the text.
  const std::function<QString(std::size_t)> from = [&](std::size_t i) {
    if (i + 1 == terms.size()) return beyond(i, true);
    QString text = "(" + beyond(i, false) + " OR (" + terms[i].column + " = ";
    text += place(terms[i].column, parts[i]);
    text += " AND ";
    text += from(i + 1);
    return text + "))";
  };
  QString condition = "(" + beyond(0, true);
  condition += " AND ";
  condition += from(0);
  return condition + ")";
}

MergedJobs::MergedJobs(JobReader &base, std::vector<JobRecord> newer)
    : base_(base), newer_(std::move(newer)) {
  for (const JobRecord &r : newer_) ids_ << r.id;
}

std::vector<const JobRecord *> MergedJobs::Shown(const JobQuery &query) const {
  std::vector<const JobRecord *> shown;
  for (const JobRecord &r : newer_)
    if (Matches(query, r)) shown.push_back(&r);
  std::sort(shown.begin(), shown.end(), [&](const JobRecord *a, const JobRecord *b) {
    return Before(query, KeyOf(query, *a), KeyOf(query, *b));
  });
  return shown;
}

QStringList MergedJobs::Without(const QStringList &without) const {
  return without.isEmpty() ? ids_ : without + ids_;
}

bool MergedJobs::Read(const JobQuery &query, const JobRange &range, const Each &each) {
  std::vector<const JobRecord *> shown = Shown(query);
  std::erase_if(shown, [&](const JobRecord *r) {
    return (range.from && Before(query, KeyOf(query, *r), *range.from)) ||
           range.without.contains(r->id);
  });
  auto next = shown.begin();
  qint64 left = query.limit;
  bool stopped = false;
  // Hands on a row while the limit allows; false once the reader is to stop. The reader's rows
  // past the limit (as many as newer records came before them) are let pass: stopping a
  // statement on the server would break its connection off.
  const auto give = [&](const JobRecord &r) {
    if (left == 0) return true;
    if (!each(r)) {
      stopped = true;
      return false;
    }
    if (left > 0) --left;
    return true;
  };
  const bool read =
      base_.Read(query, {range.from, Without(range.without)}, [&](const JobRecord &r) {
        const JobKey key = KeyOf(query, r);
        for (; next != shown.end() && Before(query, KeyOf(query, **next), key); ++next)
          if (!give(**next)) return false;
        return give(r);
      });
  if (!read && !stopped) return false;
  for (; !stopped && left != 0 && next != shown.end(); ++next) give(**next);
  return true;
}

std::optional<qint64> MergedJobs::Count(const JobQuery &query, const QStringList &without) {
  const std::optional<qint64> count = base_.Count(query, Without(without));
  if (!count) return count;
  qint64 shown = 0;
  for (const JobRecord *r : Shown(query)) shown += !without.contains(r->id);
  return *count + shown;
}

std::optional<std::vector<JobKey>> MergedJobs::Keys(const JobQuery &query,
                                                    const QStringList &without, qint64 every) {
  return base_.Keys(query, Without(without), every);
}

std::optional<std::vector<JobAnchor>> MergedJobs::Anchors(const JobQuery &query, qint64 every) {
  const std::optional<std::vector<JobKey>> keys = base_.Keys(query, ids_, every);
  if (!keys) return std::nullopt;
  const std::vector<const JobRecord *> shown = Shown(query);
  std::vector<JobAnchor> anchors{{0, std::nullopt}};
  for (std::size_t i = 1; i < keys->size(); ++i) {
    // The newer records before the key come before its row.
    const auto newerBefore = std::partition_point(
        shown.begin(), shown.end(),
        [&](const JobRecord *r) { return Before(query, KeyOf(query, *r), (*keys)[i]); });
    anchors.push_back({static_cast<qint64>(i) * every + (newerBefore - shown.begin()), (*keys)[i]});
  }
  return anchors;
}

std::optional<JobRecord> MergedJobs::Job(const QString &id) {
  for (const JobRecord &r : newer_)
    if (r.id == id) return r;
  return base_.Job(id);
}

std::optional<QStringList> MergedJobs::IdsBeginningWith(const QString &prefix, int limit) {
  std::optional<QStringList> ids = base_.IdsBeginningWith(prefix, limit);
  if (!ids) return ids;
  std::set<QString> all(ids->begin(), ids->end());
  for (const JobRecord &r : newer_)
    if (r.id.startsWith(prefix)) all.insert(r.id);
  QStringList found;
  for (const QString &id : all) {
    if (found.size() >= limit) break;
    found << id;
  }
  return found;
}

}  // namespace history
