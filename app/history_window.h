// The history window: the jobs of the service history newest first, of every unit or of one,
// the unit's summary, the chosen job's details, and the export of the rows as CSV.
//
// The table reads the history page by page as it is scrolled, each page from its key on a thread
// of its own, so that a history of a million jobs opens at once and a jump anywhere costs the
// interface thread nothing; the unit list and the summary read the bench's file through a
// connection of their own, which never waits on the writers (write-ahead log).
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <list>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "history/job_pages.h"
#include "history/job_record.h"
#include "history/server_address.h"
#include "history/store.h"
#include "history/summary_read.h"

class QComboBox;
class QDateEdit;
class QDateTime;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class UnitsView;

// The jobs of a query, read in pages of kPageRows on the reader's thread as they are shown, each
// page from its key: rows not read yet are empty until their page comes. A few pages kept.
class HistoryModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr qint64 kPageRows = history::JobPages::kPageRows;
  static constexpr std::size_t kPagesKept = 16;

  explicit HistoryModel(QObject *parent = nullptr) : QAbstractTableModel(parent) {}

  // Reads through `pages` (none: no rows) with `query`, from the first row.
  void SetQuery(history::JobPages *pages, const history::JobQuery &query);
  const history::JobQuery &Query() const { return query_; }
  int Generation() const { return generation_; }
  // Whether the query's count and first page are still being read.
  bool Reading() const { return reading_; }
  // Whether the start of every page is known (before it, only the first page is read).
  bool Placed() const { return !anchors_.empty(); }
  // The record of a row; none past the end or while its page is being read.
  const history::JobRecord *Record(int row) const;
  // A result of the reader's thread, on the interface thread; false when it is an older query's.
  bool Take(history::JobPagesResult &result);

  int rowCount(const QModelIndex &parent = {}) const override;
  int columnCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  // By "Started", "Unit", "Job" or "Outcome"; the other columns keep the order.
  void sort(int column, Qt::SortOrder order) override;

 private:
  // The page of a row (by the anchors), and its first row and its rows' number.
  qint64 PageOf(qint64 row) const;
  qint64 PageStart(qint64 page) const;
  qint64 PageRows(qint64 page) const;
  void Keep(qint64 page, std::vector<history::JobRecord> rows);

  history::JobPages *pages_ = nullptr;
  history::JobQuery query_;
  int generation_ = 0;
  bool reading_ = false;
  int rows_ = 0;
  std::vector<history::JobAnchor> anchors_;  // empty until read: only the first page is known
  std::unordered_map<qint64, std::vector<history::JobRecord>> kept_;
  std::list<qint64> used_;  // pages, most recently used first
  mutable std::set<qint64> asked_;
};

class HistoryWindow : public QDialog {
  Q_OBJECT

 public:
  // Reads the history file `fileName` (empty: the history is off) each time it is shown;
  // `unit` is the chosen unit, which the filter starts with (empty: every unit). With the URL of
  // the workshop's server, the table shows the server's jobs with the file's waiting records
  // merged in, queried page by page, and the chosen job's transfer log alone; while the server
  // is away the window shows the file and says so.
  explicit HistoryWindow(QString fileName, QString serverUrl = {}, QWidget *parent = nullptr);
  ~HistoryWindow() override;

  HistoryModel *Model() const { return model_; }
  void SetUnit(const QString &unit) { unit_ = unit; }
  // Reads the history afresh: the units, the rows of the filter, the summary.
  void Refresh();

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void HistoryUnitChanged();
  void FiltersChanged();
  // The query of the unit, job, outcome and date filters, in the table's order.
  history::JobQuery Filters() const;
  void RowChosen();
  void ButtonExportCsvClick();
  void ShowSummary();
  // Fills the unit filter's list: with a server, read on a thread of its own.
  void FillUnits();
  void ShowUnits(const QStringList &units);
  // The source of the server's summaries and unit list.
  history::SummarySource SummarySourceOf() const;
  // Opens the bench's file for the unit list and the summary, and reads the table afresh.
  void OpenStore();
  void SetQuery(const history::JobQuery &query);
  void Take(history::JobPagesResult result);
  // Writes every row of the filter into `fileName`, or the units view's rows when it is shown;
  // an error's text, or empty.
  QString ExportCsv(const QString &fileName);
  // Reads every unit's summary into the units view while it is shown, else once it is; with a
  // server on a thread of its own, showing this bench's units while the server is away.
  void ReadUnitsView();
  // A unit chosen in the units view: its jobs in the jobs view.
  void ShowJobsOf(const QString &unit);

  QString fileName_;
  QString unit_;
  std::unique_ptr<history::Store> store_;
  HistoryModel *model_;

  QString serverUrl_;
  std::optional<history::ServerAddress> server_;
  QString badUrl_;       // why the server's URL is refused
  bool shared_ = false;  // the table shows the server's jobs
  std::unique_ptr<history::JobPages> pages_;
  // The server's unit list and unit summary, each read on a thread of its own.
  std::unique_ptr<history::BackgroundRead> unitsRead_, summaryRead_;
  std::unique_ptr<history::BackgroundRead> unitsViewReader_;  // the units view's, likewise
  QString exportFolder_;        // the folder of the last export; empty: none yet
  bool unitsViewRead_ = false;  // the units view shows the history as opened

  QTabWidget *HistoryTabs;
  UnitsView *Units;
  QComboBox *HistoryUnit;
  QComboBox *HistoryJob;
  QComboBox *HistoryOutcome;
  QDateEdit *HistorySince;  // its least date: any date
  QLabel *LabelZone;        // the zone of the local times shown
  QTableView *HistoryTable;
  QLabel *HistorySummary;
  QPlainTextEdit *HistoryDetails;
  QPushButton *ButtonExportCsv;
  QLabel *LabelState;
};

// The record's details as a person reads them: a settings job's parameters with their labels
// and values, a download's file, SHA-256, lines sent and transfer log, a send's line and
// replies.
QString DetailsText(const history::JobRecord &record);

// "Times are local: CET (UTC+01:00)": the zone of `when`, shown once above the table.
QString ZoneText(const QDateTime &when);

// A unit's summary as the window shows it.
QString SummaryText(const history::UnitSummary &summary);
