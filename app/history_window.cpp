#include "app/history_window.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShowEvent>
#include <QSplitter>
#include <QTableView>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include "history/format.h"
#include "ui/buttons.h"
#include "ui/guarded.h"
#include "ui/open_dialog.h"

namespace {
constexpr int kColumns = 10;  // the columns of `jobs` but `details`
}

void HistoryModel::SetQuery(history::Store *store, const history::JobQuery &query) {
  beginResetModel();
  store_ = store;
  query_ = query;
  pages_.clear();
  used_.clear();
  rows_ = store_ ? static_cast<int>(std::min<qint64>(store_->Count(query_), INT_MAX)) : 0;
  endResetModel();
}

const history::JobRecord *HistoryModel::Record(int row) const {
  if (!store_ || row < 0 || row >= rows_) return nullptr;
  const qint64 page = row / kPageRows;
  auto it = pages_.find(page);
  if (it == pages_.end()) {
    if (pages_.size() >= kPagesKept) {
      pages_.erase(used_.back());
      used_.pop_back();
    }
    it = pages_.emplace(page, store_->Page(query_, page * kPageRows, kPageRows, rows_)).first;
  } else {
    used_.remove(page);
  }
  used_.push_front(page);
  const auto &records = it->second;
  const auto at = static_cast<std::size_t>(row % kPageRows);
  return at < records.size() ? &records[at] : nullptr;
}

int HistoryModel::rowCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : rows_;
}

int HistoryModel::columnCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  const history::JobRecord *r = Record(index.row());
  if (!r) return {};
  switch (index.column()) {
    case 0:
      return r->id;
    case 1:
      return r->unit;
    case 2:
      return r->job;
    case 3:
      return history::LocalTime(r->started);
    case 4:
      return r->ended ? history::LocalTime(*r->ended) : QString();
    case 5:
      return r->outcome;
    case 6:
      return QString(r->message).replace("\r\n", " / ").replace('\n', " / ");
    case 7:
      return r->station;
    case 8:
      return r->operator_;
    case 9:
      return r->program;
    default:
      return {};
  }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
      section >= kColumns)
    return QAbstractTableModel::headerData(section, orientation, role);
  const QString &name = history::ColumnNames()[section];
  // `started` and `ended` are shown in local time.
  return section == 3 || section == 4 ? history::LocalTimeHeader(name) : name;
}

QString SummaryText(const history::UnitSummary &s) {
  QStringList lines;
  lines << s.unit + "  last job " + history::LocalTime(s.last);
  lines << "Firmware: " +
               (s.firmware ? s.firmware->file + "  SHA-256 " + s.firmware->sha256 + "  " +
                                 history::LocalTime(s.firmware->when) + "  " + s.firmware->station
                           : QString("-"));
  QString parameters = "-";
  if (s.parameters) {
    QString values = "defaults";
    if (s.parameters->values) {
      QStringList pairs;
      for (auto it = s.parameters->values->begin(); it != s.parameters->values->end(); ++it)
        pairs << it.key() + "=" + it.value().toString();
      values = pairs.join(' ');
    }
    parameters =
        values + "  " + history::LocalTime(s.parameters->when) + "  " + s.parameters->station;
  }
  lines << "Parameters: " + parameters;
  lines << "Message: " + (s.message ? s.message->file + "  SHA-256 " + s.message->sha256 + "  " +
                                          history::LocalTime(s.message->when)
                                    : QString("-"));
  return lines.join('\n');
}

HistoryWindow::HistoryWindow(QString fileName, QString serverUrl, QWidget *parent)
    : QDialog(parent), fileName_(std::move(fileName)), serverUrl_(serverUrl.trimmed()) {
  if (!serverUrl_.isEmpty()) {
    server_ = history::ParseServerUrl(serverUrl_, &sharedReason_);
    folder_ = std::make_unique<QTemporaryDir>();
    reader_ = std::make_unique<history::SharedReader>();
  }
  setObjectName("HistoryWindow");
  setWindowTitle("History");
  resize(980, 620);

  auto *layout = new QVBoxLayout(this);
  auto *top = new QHBoxLayout;
  auto *unitLabel = new QLabel("Unit:", this);
  HistoryUnit = new QComboBox(this);
  HistoryUnit->setObjectName("HistoryUnit");
  HistoryUnit->setEditable(true);
  HistoryUnit->setInsertPolicy(QComboBox::NoInsert);
  HistoryUnit->setMinimumWidth(180);
  unitLabel->setBuddy(HistoryUnit);
  LabelState = new QLabel(this);
  LabelState->setObjectName("LabelState");
  ButtonExportCsv = MakeButton(this, "ButtonExportCsv", "Export CSV...", QRect(0, 0, 120, 30));
  top->addWidget(unitLabel);
  top->addWidget(HistoryUnit);
  top->addWidget(LabelState, 1);
  top->addWidget(ButtonExportCsv);
  layout->addLayout(top);

  HistorySummary = new QLabel(this);
  HistorySummary->setObjectName("HistorySummary");
  HistorySummary->setTextFormat(Qt::PlainText);
  HistorySummary->setWordWrap(true);
  HistorySummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(HistorySummary);

  auto *split = new QSplitter(Qt::Vertical, this);
  HistoryTable = new QTableView(split);
  HistoryTable->setObjectName("HistoryTable");
  model_ = new HistoryModel(this);
  HistoryTable->setModel(model_);
  HistoryTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  HistoryTable->setSelectionMode(QAbstractItemView::SingleSelection);
  HistoryTable->verticalHeader()->setDefaultSectionSize(22);
  HistoryTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  HistoryTable->verticalHeader()->hide();
  HistoryTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  HistoryTable->horizontalHeader()->setStretchLastSection(true);
  // Widths set, not measured: measuring would read the rows.
  for (const auto &[column, width] : {std::pair{0, 270},
                                      {1, 90},
                                      {2, 70},
                                      {3, 140},
                                      {4, 140},
                                      {5, 85},
                                      {6, 220},
                                      {7, 90},
                                      {8, 80}})
    HistoryTable->setColumnWidth(column, width);
  HistoryDetails = new QPlainTextEdit(split);
  HistoryDetails->setObjectName("HistoryDetails");
  HistoryDetails->setReadOnly(true);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  layout->addWidget(split, 1);

  connect(HistoryUnit->lineEdit(), &QLineEdit::editingFinished, this,
          &HistoryWindow::HistoryUnitChanged);
  connect(HistoryUnit, &QComboBox::activated, this, &HistoryWindow::HistoryUnitChanged);
  connect(HistoryTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &HistoryWindow::RowChosen);
  connect(ButtonExportCsv, &QPushButton::clicked, this, &HistoryWindow::ButtonExportCsvClick);
}

HistoryWindow::~HistoryWindow() {
  // The unit filter's line edit finishes its editing when the dialog hides it on the way out:
  // that must not reach this window once it is being destroyed.
  HistoryUnit->lineEdit()->disconnect(this);
  HistoryTable->selectionModel()->disconnect(this);
  model_->SetQuery(nullptr, {});
  // A read of the server under way stops at once.
  reader_.reset();
  store_.reset();
}

void HistoryWindow::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  HistoryUnit->setEditText(unit_);
  Refresh();
}

void HistoryWindow::Refresh() {
  if (server_ && !reading_) StartSharedRead();
  OpenStore();
}

void HistoryWindow::StartSharedRead() {
  reading_ = true;
  const QString file = folder_->filePath(QString("shared-%1.sqlite").arg(++reads_));
  reader_->Start(*server_, fileName_, {}, file, [this, file](const QString &reason) {
    QMetaObject::invokeMethod(
        this, [this, file, reason] { SharedRead(file, reason); }, Qt::QueuedConnection);
  });
}

void HistoryWindow::SharedRead(const QString &file, const QString &reason) {
  reading_ = false;
  const QString old = merged_;
  sharedReason_ = reason;
  merged_ = reason.isEmpty() ? file : QString();
  OpenStore();
  if (!old.isEmpty() && old != merged_) QFile::remove(old);
  if (!reason.isEmpty()) QFile::remove(file);
}

void HistoryWindow::OpenStore() {
  model_->SetQuery(nullptr, {});
  store_.reset();
  HistoryDetails->clear();
  const QString unit = HistoryUnit->currentText().trimmed();
  const QString file = merged_.isEmpty() ? fileName_ : merged_;
  QString said;
  if (!serverUrl_.isEmpty()) {
    const QString shown = server_ ? server_->shown : serverUrl_;
    if (!merged_.isEmpty())
      said = "The workshop's history on " + shown;
    else if (reading_)
      said = "Reading the workshop's history on " + shown + "...";
    else
      said =
          "The workshop's server cannot be read (" + sharedReason_ + "): this bench's history only";
    if (reading_ && !merged_.isEmpty()) said += " (reading it again...)";
  }
  if (file.isEmpty()) {
    LabelState->setText(said.isEmpty() ? QString("The history is off") : said);
  } else {
    store_ = std::make_unique<history::Store>();
    if (!store_->Open(file, history::Store::Mode::Read)) {
      LabelState->setText("The history cannot be read: " + store_->Error());
      store_.reset();
    } else {
      LabelState->setText(said.isEmpty() ? file : said);
    }
  }
  HistoryUnit->blockSignals(true);
  HistoryUnit->clear();
  HistoryUnit->addItem(QString());
  if (store_) HistoryUnit->addItems(store_->Units());
  HistoryUnit->setEditText(unit);
  HistoryUnit->blockSignals(false);
  HistoryUnitChanged();
}

void HistoryWindow::HistoryUnitChanged() {
  const QString unit = HistoryUnit->currentText().trimmed();
  history::JobQuery query;
  if (!unit.isEmpty()) query.units = QStringList{unit};
  if (store_ && model_->Query().units == query.units && model_->rowCount() > 0) return;
  model_->SetQuery(store_.get(), query);
  HistoryDetails->clear();
  ShowSummary();
}

void HistoryWindow::ShowSummary() {
  const QStringList units = model_->Query().units;
  if (!store_ || units.isEmpty()) {
    HistorySummary->clear();
    return;
  }
  const auto summaries = store_->Summaries(units);
  HistorySummary->setText(summaries.empty() ? units.first() + ": no job in the history"
                                            : SummaryText(summaries.front()));
}

void HistoryWindow::RowChosen() {
  const history::JobRecord *row = model_->Record(HistoryTable->currentIndex().row());
  if (!row || !store_) {
    HistoryDetails->clear();
    return;
  }
  // The whole record, with the download's transfer log.
  const std::optional<history::JobRecord> record = store_->Job(row->id);
  if (!record) return;
  QJsonObject details = QJsonDocument::fromJson(record->details).object();
  const QString log = details.take("log").toString();
  QString text = QString::fromUtf8(QJsonDocument(details).toJson(QJsonDocument::Indented));
  if (!record->message.isEmpty()) text = "Message: " + record->message + "\n\n" + text;
  if (!log.isEmpty()) text += "\nTransfer log:\n" + QString(log).replace("\r\n", "\n");
  HistoryDetails->setPlainText(text);
}

QString HistoryWindow::ExportCsv(const QString &fileName) {
  if (!store_) return "The history cannot be read";
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly))
    return "Cannot write " + fileName + ": " + file.errorString();
  history::JobQuery query = model_->Query();
  query.limit = -1;
  QByteArray buffer = history::CsvHeader();
  const bool read = store_->CsvRows(query, [&](const QByteArray &row) {
    buffer += row;
    if (buffer.size() >= (1 << 20)) {
      file.write(buffer);
      buffer.clear();
    }
  });
  file.write(buffer);
  if (!read) {
    file.cancelWriting();
    return "The history cannot be read: " + store_->Error();
  }
  if (!file.commit()) return "Cannot write " + fileName + ": " + file.errorString();
  return {};
}

void HistoryWindow::ButtonExportCsvClick() {
  QFileDialog dialog(this, "Export CSV");
  dialog.setObjectName("SaveDialog1");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix("csv");
  dialog.setNameFilter("CSV files (*.csv)");
  dialog.setDirectory(DialogStartFolder(exportFolder_.toStdString()));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  exportFolder_ = QFileInfo(dialog.selectedFiles().first()).absolutePath();
  const QString error = ExportCsv(dialog.selectedFiles().first());
  if (!error.isEmpty()) ShowError(error);
}
