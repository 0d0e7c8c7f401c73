// The history window: the jobs of the service history newest first, of every unit or of one,
// the unit's summary, the chosen job's details, and the export of the rows as CSV.
//
// The table reads the history page by page as it is scrolled, so that a history of a million
// jobs opens at once; the window reads on the user-interface thread through a connection of its
// own, which never waits on the writers (write-ahead log).
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <list>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "history/job_record.h"
#include "history/server_address.h"
#include "history/shared_read.h"
#include "history/store.h"
#include "history/summary_read.h"

class QComboBox;
class QDateEdit;
class QDateTime;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTemporaryDir;

// The jobs of a query, read in pages of kPageRows as they are shown; a few pages kept.
class HistoryModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kPageRows = 256;
  static constexpr std::size_t kPagesKept = 16;

  explicit HistoryModel(QObject *parent = nullptr) : QAbstractTableModel(parent) {}

  // Reads from `store` (none: no rows) with `query`, from the first row.
  void SetQuery(history::Store *store, const history::JobQuery &query);
  const history::JobQuery &Query() const { return query_; }
  // The record of a row; none past the end.
  const history::JobRecord *Record(int row) const;

  int rowCount(const QModelIndex &parent = {}) const override;
  int columnCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  // By "Started", "Unit", "Job" or "Outcome"; the other columns keep the order.
  void sort(int column, Qt::SortOrder order) override;

 private:
  history::Store *store_ = nullptr;
  history::JobQuery query_;
  int rows_ = 0;
  mutable std::unordered_map<qint64, std::vector<history::JobRecord>> pages_;
  mutable std::list<qint64> used_;  // pages, most recently used first
};

class HistoryWindow : public QDialog {
  Q_OBJECT

 public:
  // Reads the history file `fileName` (empty: the history is off) each time it is shown;
  // `unit` is the chosen unit, which the filter starts with (empty: every unit). With the URL of
  // the workshop's server, each showing also reads the server's jobs together with the file's
  // waiting records on a thread of its own, and shows them once read; while the server is away
  // the window shows the file and says so.
  explicit HistoryWindow(QString fileName, QString serverUrl = {}, QWidget *parent = nullptr);
  ~HistoryWindow() override;

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
  // Opens the history to show (the workshop's as last read, else the file) and shows it.
  void OpenStore();
  void StartSharedRead();
  void SharedRead(const QString &file, const QString &reason);
  // Writes every row of the filter into `fileName`; an error's text, or empty.
  QString ExportCsv(const QString &fileName);

  QString fileName_;
  QString unit_;
  std::unique_ptr<history::Store> store_;
  HistoryModel *model_;

  QString serverUrl_;
  std::optional<history::ServerAddress> server_;
  QString sharedReason_;  // why the server could not be read; empty when it was
  QString merged_;        // the workshop's history as last read; empty: none yet
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<history::SharedReader> reader_;
  bool reading_ = false;
  int reads_ = 0;
  // The server's unit list and unit summary, each read on a thread of its own.
  std::unique_ptr<history::BackgroundRead> unitsRead_, summaryRead_;
  QString exportFolder_;  // the folder of the last export; empty: none yet

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
