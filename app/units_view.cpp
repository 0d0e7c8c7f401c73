#include "app/units_view.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "history/format.h"
#include "ui/buttons.h"
#include "ui/message_boxes.h"
#include "ui/open_dialog.h"

void UnitsModel::Compare(Row &row) const {
  row.comparison = jobs::Compare(row.summary, standard_);
  row.utc = jobs::UnitCells(row.summary, row.comparison, standard_, jobs::UtcTime);
  row.local.clear();
}

void UnitsModel::SetUnits(std::vector<history::UnitSummary> units) {
  beginResetModel();
  rows_.clear();
  rows_.reserve(units.size());
  for (history::UnitSummary &unit : units) {
    Row &row = rows_.emplace_back();
    row.summary = std::move(unit);
    Compare(row);
  }
  endResetModel();
}

void UnitsModel::SetStandard(const jobs::Standard &standard) {
  beginResetModel();
  standard_ = standard;
  headers_ = jobs::UnitHeaders(standard_);
  for (Row &row : rows_) Compare(row);
  endResetModel();
}

QString UnitsModel::Unit(int row) const {
  return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].summary.unit
                                      : QString();
}

QByteArray UnitsModel::CsvRow(int row) const {
  return jobs::CsvLine(rows_[static_cast<std::size_t>(row)].utc);
}

QByteArray UnitsModel::CsvHeader() const {
  return jobs::CsvLine(headers_);
}

int UnitsModel::rowCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int UnitsModel::columnCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant UnitsModel::Icon(const Row &row, int column) const {
  const QString header = headers_[column];
  std::optional<jobs::Verdict> verdict;
  if (header == jobs::kProfileColumn)
    verdict = row.comparison.parameters;
  else if (header == jobs::kFirmwareColumn)
    verdict = row.comparison.firmware;
  else if (column == 0 && (standard_.profile || standard_.firmware))
    verdict = row.comparison.Overall();
  if (!verdict) return {};
  QStyle *style = QApplication::style();
  switch (*verdict) {
    case jobs::Verdict::Same:
      return style->standardIcon(QStyle::SP_DialogApplyButton);
    case jobs::Verdict::Differs:
      return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case jobs::Verdict::Unknown:
      break;
  }
  return style->standardIcon(QStyle::SP_MessageBoxQuestion);
}

QVariant UnitsModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const Row &row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case kSortRole:
      return row.utc[index.column()];
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      if (row.local.isEmpty())
        row.local = jobs::UnitCells(row.summary, row.comparison, standard_,
                                    [](const QString &utc) { return history::LocalTime(utc); });
      return row.local[index.column()];
    case Qt::DecorationRole:
      return Icon(row, index.column());
    default:
      return {};
  }
}

QVariant UnitsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
      section >= columnCount())
    return QAbstractTableModel::headerData(section, orientation, role);
  return headers_[section];
}

UnitsView::UnitsView(QWidget *parent) : QWidget(parent) {
  setObjectName("UnitsView");
  auto *layout = new QVBoxLayout(this);
  auto *top = new QHBoxLayout;
  auto *filterLabel = new QLabel("Filter:", this);
  UnitsFilter = new QLineEdit(this);
  UnitsFilter->setObjectName("UnitsFilter");
  UnitsFilter->setAccessibleName("Units filter");
  UnitsFilter->setPlaceholderText("any text of a unit's row");
  UnitsFilter->setClearButtonEnabled(true);
  filterLabel->setBuddy(UnitsFilter);
  ButtonCompareProfile = MakeButton(this, "ButtonCompareProfile", "Compare with profile...");
  ButtonCompareFirmware = MakeButton(this, "ButtonCompareFirmware", "Compare with firmware...");
  top->addWidget(filterLabel);
  top->addWidget(UnitsFilter, 1);
  top->addWidget(ButtonCompareProfile);
  top->addWidget(ButtonCompareFirmware);
  layout->addLayout(top);

  model_ = new UnitsModel(this);
  proxy_ = new QSortFilterProxyModel(this);
  proxy_->setSourceModel(model_);
  proxy_->setSortRole(UnitsModel::kSortRole);
  proxy_->setFilterKeyColumn(-1);
  proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
  UnitsTable = new QTableView(this);
  UnitsTable->setObjectName("UnitsTable");
  UnitsTable->setAccessibleName("Units table");
  UnitsTable->setModel(proxy_);
  UnitsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  UnitsTable->setSelectionMode(QAbstractItemView::SingleSelection);
  UnitsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  UnitsTable->setTabKeyNavigation(false);
  UnitsTable->verticalHeader()->setDefaultSectionSize(UnitsTable->fontMetrics().height() + 8);
  UnitsTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  UnitsTable->verticalHeader()->hide();
  UnitsTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  UnitsTable->horizontalHeader()->setStretchLastSection(true);
  UnitsTable->horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
  UnitsTable->setSortingEnabled(true);
  SetColumnWidths();
  layout->addWidget(UnitsTable, 1);

  connect(UnitsFilter, &QLineEdit::textChanged, proxy_,
          &QSortFilterProxyModel::setFilterFixedString);
  // A double click on a unit, or Enter on the current one.
  const auto choose = [this](const QModelIndex &index) {
    const QString unit = model_->Unit(proxy_->mapToSource(index).row());
    if (!unit.isEmpty()) emit UnitChosen(unit);
  };
  connect(UnitsTable, &QTableView::doubleClicked, this, choose);
  for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto *enter =
        new QShortcut(QKeySequence(key), UnitsTable, nullptr, nullptr, Qt::WidgetShortcut);
    connect(enter, &QShortcut::activated, this,
            [this, choose] { choose(UnitsTable->currentIndex()); });
  }
  connect(ButtonCompareProfile, &QPushButton::clicked, this, &UnitsView::ButtonCompareProfileClick);
  connect(ButtonCompareFirmware, &QPushButton::clicked, this,
          &UnitsView::ButtonCompareFirmwareClick);
}

void UnitsView::SetColumnWidths() {
  // Widths set from the font, not measured: measuring would read every row.
  const int digit = UnitsTable->fontMetrics().horizontalAdvance('0');
  const int characters[] = {14, 36, 34, 24, 38, 14, 46};
  for (int column = 0; column < model_->columnCount(); ++column)
    UnitsTable->setColumnWidth(
        column, characters[std::min<std::size_t>(column, std::size(characters) - 1)] * digit);
}

void UnitsView::SetUnits(std::vector<history::UnitSummary> units) {
  model_->SetUnits(std::move(units));
}

QString UnitsView::ChooseFile(const char *name, const QString &title, const QStringList &filters,
                              QString &folder) {
  QFileDialog dialog(this, title);
  dialog.setObjectName(name);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters(filters);
  dialog.setDirectory(DialogStartFolder(folder.toStdString()));
  if (!RunFileDialog(dialog, window())) return {};
  const QString file = dialog.selectedFiles().first();
  folder = QFileInfo(file).absolutePath();
  return file;
}

void UnitsView::CompareWith(const QString &file,
                            std::string (*read)(const QString &, jobs::Standard &)) {
  if (file.isEmpty()) return;
  jobs::Standard standard = model_->Standard();
  if (const std::string refused = read(file, standard); !refused.empty()) {
    ShowError(QString::fromStdString(refused));
    return;
  }
  model_->SetStandard(standard);
  SetColumnWidths();
}

void UnitsView::ButtonCompareProfileClick() {
  CompareWith(ChooseFile("OpenDialogProfile", "Compare with profile",
                         {"Profiles (*.ini)", "All files (*)"}, profileFolder_),
              jobs::ReadStandardProfile);
}

void UnitsView::ButtonCompareFirmwareClick() {
  CompareWith(
      ChooseFile("OpenDialogFirmware", "Compare with firmware",
                 {"File with programm *.HEX (*.HEX *.hex)", "All files (*)"}, firmwareFolder_),
      jobs::ReadStandardFirmware);
}

QString UnitsView::ExportCsv(const QString &fileName) const {
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly))
    return "Cannot write " + fileName + ": " + file.errorString();
  QByteArray text = model_->CsvHeader();
  for (int row = 0; row < proxy_->rowCount(); ++row)
    text += model_->CsvRow(proxy_->mapToSource(proxy_->index(row, 0)).row());
  file.write(text);
  if (!file.commit()) return "Cannot write " + fileName + ": " + file.errorString();
  return {};
}
