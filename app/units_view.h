// The history window's units view: one row per unit of the history's summary (jobs/fleet.h),
// sorted by any column, filtered by a text, and compared with a profile and a firmware file.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QSortFilterProxyModel>
#include <QWidget>
#include <vector>

#include "history/store.h"
#include "jobs/fleet.h"

class QLineEdit;
class QPushButton;
class QTableView;

// The units and their comparison with the standard. The cells with UTC times are made when the
// units are set (sorting goes by them); those with local times for people as they are shown.
class UnitsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kSortRole = Qt::UserRole + 1;

  explicit UnitsModel(QObject *parent = nullptr) : QAbstractTableModel(parent) {}

  void SetUnits(std::vector<history::UnitSummary> units);
  void SetStandard(const jobs::Standard &standard);
  const jobs::Standard &Standard() const { return standard_; }
  // The unit of a row; its CSV row; the header's.
  QString Unit(int row) const;
  QByteArray CsvRow(int row) const;
  QByteArray CsvHeader() const;

  int rowCount(const QModelIndex &parent = {}) const override;
  int columnCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  struct Row {
    history::UnitSummary summary;
    jobs::Comparison comparison;
    QStringList utc;            // the cells with the records' UTC times
    mutable QStringList local;  // the cells as shown; empty until first shown
  };
  void Compare(Row &row) const;
  QVariant Icon(const Row &row, int column) const;

  std::vector<Row> rows_;
  jobs::Standard standard_;
  QStringList headers_ = jobs::UnitColumns();
};

class UnitsView : public QWidget {
  Q_OBJECT

 public:
  explicit UnitsView(QWidget *parent = nullptr);

  // Shows these units, compared with the standard chosen so far.
  void SetUnits(std::vector<history::UnitSummary> units);
  // Writes the rows shown, in their order, as RFC 4180 CSV; an error's text, or empty.
  QString ExportCsv(const QString &fileName) const;
  QTableView *Table() const { return UnitsTable; }

 signals:
  // A double click on a unit's row.
  void UnitChosen(const QString &unit);

 private:
  void ButtonCompareProfileClick();
  void ButtonCompareFirmwareClick();
  void SetColumnWidths();
  // Adds the part of the standard that `read` takes from `file` (none chosen: nothing), or shows
  // why it is refused.
  void CompareWith(const QString &file, std::string (*read)(const QString &, jobs::Standard &));
  // A file chosen in a dialog of `title` with these filters, starting in `folder`; empty: none.
  QString ChooseFile(const char *name, const QString &title, const QStringList &filters,
                     QString &folder);

  UnitsModel *model_;
  QSortFilterProxyModel *proxy_;
  QString profileFolder_, firmwareFolder_;

  QLineEdit *UnitsFilter;
  QPushButton *ButtonCompareProfile;
  QPushButton *ButtonCompareFirmware;
  QTableView *UnitsTable;
};
