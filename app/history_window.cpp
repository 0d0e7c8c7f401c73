#include "app/history_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
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
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>
#include <optional>

#include "app/units_view.h"
#include "history/format.h"
#include "history/job_record.h"
#include "history/job_source.h"
#include "settings/parameters.h"
#include "ui/buttons.h"
#include "ui/guarded.h"
#include "ui/open_dialog.h"
#include "ui/window_fit.h"

namespace {

// The columns of `jobs` but `details`, in a person's order, as the window names them.
enum Column {
  kStarted,
  kUnit,
  kJob,
  kOutcome,
  kMessage,
  kStation,
  kOperator,
  kProgram,
  kEnded,
  kId
};
constexpr int kColumns = 10;
const char *const kHeaders[kColumns] = {"Started", "Unit",     "Job",     "Outcome", "Message",
                                        "Station", "Operator", "Program", "Ended",   "Id"};
// The columns the history can be sorted by, as the readers name them.
const char *const kSortKeys[] = {"started", "unit", "job", "outcome"};

// The outcomes in the order a person looks for them.
constexpr history::Outcome kOutcomeOrder[] = {history::Outcome::Ok, history::Outcome::Failed,
                                              history::Outcome::Interrupted,
                                              history::Outcome::Running};

QIcon OutcomeIcon(const QString &text) {
  QStyle *style = QApplication::style();
  switch (history::OutcomeOf(text).value_or(history::Outcome::Running)) {
    case history::Outcome::Ok:
      return style->standardIcon(QStyle::SP_DialogApplyButton);
    case history::Outcome::Failed:
      return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case history::Outcome::Interrupted:
      return style->standardIcon(QStyle::SP_BrowserStop);
    case history::Outcome::Running:
      break;
  }
  return style->standardIcon(QStyle::SP_BrowserReload);
}

}  // namespace

QString ZoneText(const QDateTime &when) {
  const int offset = when.offsetFromUtc();
  const QString sign = offset < 0 ? "-" : "+";
  const int minutes = std::abs(offset) / 60;
  return QString("Times are local: %1 (UTC%2%3:%4)")
      .arg(when.timeZoneAbbreviation(), sign)
      .arg(minutes / 60, 2, 10, QChar('0'))
      .arg(minutes % 60, 2, 10, QChar('0'));
}

namespace {

QString Line(const QString &name, const QJsonValue &value) {
  QString text;
  if (value.isBool())
    text = value.toBool() ? "yes" : "no";
  else if (value.isDouble())
    text = QString::number(value.toDouble());
  else if (value.isString())
    text = value.toString();
  else if (value.isNull() || value.isUndefined())
    text = "-";
  else
    text = QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
  return name + ": " + (text.isEmpty() ? QString("-") : text);
}

}  // namespace

QString DetailsText(const history::JobRecord &record) {
  QStringList lines;
  lines << record.job + " on " + record.unit + ": " + record.outcome;
  lines << "Started " + history::LocalTime(record.started) +
               (record.ended ? ", ended " + history::LocalTime(*record.ended) : QString());
  if (!record.message.isEmpty()) lines << "Message: " + record.message;
  QJsonObject details = QJsonDocument::fromJson(record.details).object();
  const QString log = details.take("log").toString();
  lines << QString();
  const std::optional<history::JobKind> kind = history::JobKindOf(record.job);
  if (kind == history::JobKind::Settings) {
    const QJsonObject values = details.take("values").toObject();
    lines << Line("Profile", details.take("profile"));
    // In the order of the write, each as the settings window shows it.
    for (const params::Parameter &p : params::Table()) {
      const QString word = QString::fromLatin1(p.word.data(), qsizetype(p.word.size()));
      if (!values.contains(word)) continue;
      const std::string wire = values.value(word).toString().toLatin1().toStdString();
      lines << word + " \u00b7 " +
                   QString::fromLatin1(p.label.data(), qsizetype(p.label.size())).trimmed() +
                   " \u00b7 " + QString::fromLatin1(params::ShownValue(p, wire));
    }
  } else if (kind == history::JobKind::Firmware) {
    lines << Line("File", details.take("file")) << Line("SHA-256", details.take("sha256"));
    lines << QString("Lines sent: %1 of %2")
                 .arg(details.take("sent").toInt())
                 .arg(details.take("lines").toInt());
    lines << Line("Fast transfer", details.take("fast"));
  } else if (kind == history::JobKind::Record) {
    lines << Line("File", details.take("file")) << Line("SHA-256", details.take("sha256"));
    lines << Line("Sound output", details.take("output"));
    lines << QString("Seconds recorded: %1").arg(details.take("seconds").toDouble(), 0, 'f', 1);
  } else if (kind == history::JobKind::Send) {
    lines << Line("Line", details.take("line"));
    lines << "Replies:"
          << QString(details.take("replies").toString()).replace("\r\n", "\n").trimmed();
  }
  for (auto it = details.begin(); it != details.end(); ++it) lines << Line(it.key(), it.value());
  if (!log.isEmpty()) lines << QString() << "Transfer log:" << QString(log).replace("\r\n", "\n");
  lines << QString() << "Id: " + record.id;
  return lines.join('\n').trimmed();
}

void HistoryModel::SetQuery(history::JobPages *pages, const history::JobQuery &query) {
  beginResetModel();
  pages_ = pages;
  query_ = query;
  ++generation_;
  rows_ = 0;
  anchors_.clear();
  kept_.clear();
  used_.clear();
  asked_.clear();
  reading_ = pages_ != nullptr;
  if (pages_) pages_->SetQuery(generation_, query_);
  endResetModel();
}

qint64 HistoryModel::PageOf(qint64 row) const {
  if (anchors_.empty()) return 0;
  const auto after =
      std::upper_bound(anchors_.begin(), anchors_.end(), row,
                       [](qint64 r, const history::JobAnchor &a) { return r < a.row; });
  return (after - anchors_.begin()) - 1;
}

qint64 HistoryModel::PageStart(qint64 page) const {
  return anchors_.empty() ? 0 : anchors_[static_cast<std::size_t>(page)].row;
}

qint64 HistoryModel::PageRows(qint64 page) const {
  const auto next = static_cast<std::size_t>(page) + 1;
  return (next < anchors_.size() ? anchors_[next].row : rows_) - PageStart(page);
}

void HistoryModel::Keep(qint64 page, std::vector<history::JobRecord> rows) {
  if (!kept_.count(page) && kept_.size() >= kPagesKept) {
    kept_.erase(used_.back());
    asked_.erase(used_.back());
    used_.pop_back();
  }
  used_.remove(page);
  used_.push_front(page);
  kept_[page] = std::move(rows);
}

const history::JobRecord *HistoryModel::Record(int row) const {
  if (!pages_ || row < 0 || row >= rows_) return nullptr;
  const qint64 page = PageOf(row);
  const auto it = kept_.find(page);
  if (it == kept_.end()) {
    // Asked for once; until the starts of the pages are read, only the first page is known.
    if (!anchors_.empty() && asked_.insert(page).second) {
      const history::JobAnchor &anchor = anchors_[static_cast<std::size_t>(page)];
      pages_->WantPage(generation_, page, anchor.key, PageRows(page));
    }
    return nullptr;
  }
  const auto at = static_cast<std::size_t>(row - PageStart(page));
  return at < it->second.size() ? &it->second[at] : nullptr;
}

bool HistoryModel::Take(history::JobPagesResult &result) {
  if (result.generation != generation_) return false;
  using Kind = history::JobPagesResult::Kind;
  if (result.kind == Kind::First) {
    reading_ = false;
    const int rows = static_cast<int>(std::min<qint64>(result.count, INT_MAX));
    if (rows > 0) {
      beginInsertRows({}, 0, rows - 1);
      rows_ = rows;
      Keep(0, std::move(result.rows));
      endInsertRows();
    }
  } else if (result.kind == Kind::Anchors) {
    anchors_ = std::move(result.anchors);
    // The first page as read at once may end before the first page by the anchors does (records
    // waiting for the server merged in before it): it is read again.
    const auto first = kept_.find(0);
    if (first != kept_.end() && static_cast<qint64>(first->second.size()) != PageRows(0)) {
      kept_.erase(first);
      used_.remove(0);
    }
    if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, columnCount() - 1));
  } else if (result.kind == Kind::Page) {
    const qint64 start = PageStart(result.page);
    const qint64 end = start + static_cast<qint64>(result.rows.size());
    Keep(result.page, std::move(result.rows));
    if (end > start)
      emit dataChanged(index(static_cast<int>(start), 0),
                       index(static_cast<int>(end - 1), columnCount() - 1));
  } else if (result.kind == Kind::Failed) {
    reading_ = false;
  }
  return true;
}

int HistoryModel::rowCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : rows_;
}

int HistoryModel::columnCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DecorationRole && index.column() == kOutcome) {
    const history::JobRecord *r = Record(index.row());
    return r ? QVariant(OutcomeIcon(r->outcome)) : QVariant();
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  const history::JobRecord *r = Record(index.row());
  if (!r) return {};
  switch (index.column()) {
    case kStarted:
      return history::LocalTime(r->started);
    case kUnit:
      return r->unit;
    case kJob:
      return r->job;
    case kOutcome:
      return r->outcome;
    case kMessage:
      return QString(r->message).replace("\r\n", " / ").replace('\n', " / ");
    case kStation:
      return r->station;
    case kOperator:
      return r->operator_;
    case kProgram:
      return r->program;
    case kEnded:
      return r->ended ? history::LocalTime(*r->ended) : QString();
    case kId:
      return r->id;
    default:
      return {};
  }
}

void HistoryModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= static_cast<int>(std::size(kSortKeys))) return;
  history::JobQuery query = query_;
  query.orderBy = kSortKeys[column];
  query.ascending = order == Qt::AscendingOrder;
  if (query.orderBy == query_.orderBy && query.ascending == query_.ascending) return;
  SetQuery(pages_, query);
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
      section >= kColumns)
    return QAbstractTableModel::headerData(section, orientation, role);
  return QString(kHeaders[section]);
}

QString SummaryText(const history::UnitSummary &s) {
  const auto local = [](const QString &utc) { return history::LocalTime(utc); };
  QStringList lines;
  lines << s.unit + "  last job " + history::LocalTime(s.last);
  if (s.firmwareUnsettled)
    lines << history::UnsettledLine(s.firmwareUnsettled, history::JobKind::Firmware, local);
  else
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
  if (s.parametersUnsettled)
    lines << history::UnsettledLine(s.parametersUnsettled, history::JobKind::Settings, local);
  else
    lines << "Parameters: " + parameters;
  if (s.messageUnsettled)
    lines << history::UnsettledLine(s.messageUnsettled, history::JobKind::Record, local);
  else
    lines << "Message: " + (s.message ? s.message->file + "  SHA-256 " + s.message->sha256 + "  " +
                                            history::LocalTime(s.message->when)
                                      : QString("-"));
  return lines.join('\n');
}

HistoryWindow::HistoryWindow(QString fileName, QString serverUrl, QWidget *parent)
    : QDialog(parent), fileName_(std::move(fileName)), serverUrl_(serverUrl.trimmed()) {
  if (!serverUrl_.isEmpty()) server_ = history::ParseServerUrl(serverUrl_, &badUrl_);
  if (server_) {
    unitsRead_ = std::make_unique<history::BackgroundRead>();
    summaryRead_ = std::make_unique<history::BackgroundRead>();
  }
  unitsViewReader_ = std::make_unique<history::BackgroundRead>();
  if (!fileName_.isEmpty() || server_)
    pages_ = std::make_unique<history::JobPages>(
        fileName_, server_, [this](history::JobPagesResult result) {
          auto shared = std::make_shared<history::JobPagesResult>(std::move(result));
          QMetaObject::invokeMethod(
              this, [this, shared] { Take(std::move(*shared)); }, Qt::QueuedConnection);
        });
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
  HistoryUnit->setMinimumContentsLength(12);
  HistoryUnit->setAccessibleName("Unit filter");
  unitLabel->setBuddy(HistoryUnit);
  auto *jobLabel = new QLabel("Job:", this);
  HistoryJob = new QComboBox(this);
  HistoryJob->setObjectName("HistoryJob");
  HistoryJob->setAccessibleName("Job filter");
  HistoryJob->addItem("any job", QString());
  for (std::size_t i = 0; i < history::kJobKindTexts.size(); ++i) {
    const QString job = history::TextOf(static_cast<history::JobKind>(i));
    HistoryJob->addItem(job, job);
  }
  jobLabel->setBuddy(HistoryJob);
  auto *outcomeLabel = new QLabel("Outcome:", this);
  HistoryOutcome = new QComboBox(this);
  HistoryOutcome->setObjectName("HistoryOutcome");
  HistoryOutcome->setAccessibleName("Outcome filter");
  HistoryOutcome->addItem("any outcome", QString());
  for (const history::Outcome value : kOutcomeOrder) {
    const QString outcome = history::TextOf(value);
    HistoryOutcome->addItem(OutcomeIcon(outcome), outcome, outcome);
  }
  outcomeLabel->setBuddy(HistoryOutcome);
  auto *sinceLabel = new QLabel("Since:", this);
  HistorySince = new QDateEdit(this);
  HistorySince->setObjectName("HistorySince");
  HistorySince->setAccessibleName("Since date filter");
  HistorySince->setDisplayFormat("yyyy-MM-dd");
  HistorySince->setCalendarPopup(true);
  // Its least date is no filter at all.
  HistorySince->setMinimumDate(QDate(2000, 1, 1));
  HistorySince->setSpecialValueText("any date");
  HistorySince->setDate(HistorySince->minimumDate());
  sinceLabel->setBuddy(HistorySince);
  ButtonExportCsv = MakeButton(this, "ButtonExportCsv", "Export CSV...");
  for (QWidget *w :
       std::initializer_list<QWidget *>{unitLabel, HistoryUnit, jobLabel, HistoryJob, outcomeLabel,
                                        HistoryOutcome, sinceLabel, HistorySince})
    top->addWidget(w);
  top->addStretch();

  // Above the two views: where the history was read, the zone of the times, and the export of
  // the view shown.
  auto *state = new QHBoxLayout;
  LabelState = new QLabel(this);
  LabelState->setObjectName("LabelState");
  LabelState->setAccessibleName("History read from");
  KeepNarrow(LabelState);
  state->addWidget(LabelState, 1);
  state->addWidget(ButtonExportCsv);
  layout->addLayout(state);

  HistoryTabs = new QTabWidget(this);
  HistoryTabs->setObjectName("HistoryTabs");
  auto *jobsPage = new QWidget(HistoryTabs);
  auto *jobsLayout = new QVBoxLayout(jobsPage);
  jobsLayout->addLayout(top);
  Units = new UnitsView(HistoryTabs);
  HistoryTabs->addTab(jobsPage, "Jobs");
  HistoryTabs->addTab(Units, "Units");

  HistorySummary = new QLabel(this);
  HistorySummary->setObjectName("HistorySummary");
  HistorySummary->setAccessibleName("Unit summary");
  KeepNarrow(HistorySummary);
  HistorySummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  jobsLayout->addWidget(HistorySummary);

  LabelZone = new QLabel(ZoneText(QDateTime::currentDateTime()), this);
  LabelZone->setObjectName("LabelZone");
  layout->insertWidget(1, LabelZone);

  auto *split = new QSplitter(Qt::Vertical, this);
  HistoryTable = new QTableView(split);
  HistoryTable->setObjectName("HistoryTable");
  HistoryTable->setAccessibleName("Jobs table");
  model_ = new HistoryModel(this);
  HistoryTable->setModel(model_);
  HistoryTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  HistoryTable->setSelectionMode(QAbstractItemView::SingleSelection);
  HistoryTable->setTabKeyNavigation(false);  // Tab and Shift+Tab leave the table
  HistoryTable->verticalHeader()->setDefaultSectionSize(HistoryTable->fontMetrics().height() + 8);
  HistoryTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  HistoryTable->verticalHeader()->hide();
  HistoryTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  HistoryTable->horizontalHeader()->setStretchLastSection(true);
  HistoryTable->horizontalHeader()->setSortIndicator(kStarted, Qt::DescendingOrder);
  HistoryTable->setSortingEnabled(true);
  // Widths set from the font, not measured: measuring would read the rows.
  const int digit = HistoryTable->fontMetrics().horizontalAdvance('0');
  for (const auto &[column, characters] : {std::pair{kStarted, 22},
                                           {kUnit, 13},
                                           {kJob, 11},
                                           {kOutcome, 15},
                                           {kMessage, 28},
                                           {kStation, 12},
                                           {kOperator, 11},
                                           {kProgram, 22},
                                           {kEnded, 22}})
    HistoryTable->setColumnWidth(column, characters * digit);
  HistoryDetails = new QPlainTextEdit(split);
  HistoryDetails->setObjectName("HistoryDetails");
  HistoryDetails->setAccessibleName("Job details");
  HistoryDetails->setReadOnly(true);
  HistoryDetails->setTabChangesFocus(true);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  jobsLayout->addWidget(split, 1);
  layout->addWidget(HistoryTabs, 1);
  GiveAccessKeys(this);

  connect(HistoryJob, &QComboBox::activated, this, &HistoryWindow::FiltersChanged);
  connect(HistoryOutcome, &QComboBox::activated, this, &HistoryWindow::FiltersChanged);
  connect(HistorySince, &QDateEdit::editingFinished, this, &HistoryWindow::FiltersChanged);
  connect(HistorySince, &QDateEdit::dateChanged, this, [this] {
    if (!HistorySince->hasFocus()) FiltersChanged();
  });
  connect(HistoryUnit->lineEdit(), &QLineEdit::editingFinished, this,
          &HistoryWindow::HistoryUnitChanged);
  connect(HistoryUnit, &QComboBox::activated, this, &HistoryWindow::HistoryUnitChanged);
  connect(HistoryTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &HistoryWindow::RowChosen);
  connect(ButtonExportCsv, &QPushButton::clicked, this, &HistoryWindow::ButtonExportCsvClick);
  connect(HistoryTabs, &QTabWidget::currentChanged, this, &HistoryWindow::ReadUnitsView);
  connect(Units, &UnitsView::UnitChosen, this, &HistoryWindow::ShowJobsOf);
}

HistoryWindow::~HistoryWindow() {
  // The unit filter's line edit finishes its editing when the dialog hides it on the way out:
  // that must not reach this window once it is being destroyed.
  HistoryUnit->lineEdit()->disconnect(this);
  HistorySince->disconnect(this);
  HistoryTable->selectionModel()->disconnect(this);
  model_->SetQuery(nullptr, {});
  // A read of the server under way stops at once.
  pages_.reset();
  unitsRead_.reset();
  summaryRead_.reset();
  unitsViewReader_.reset();
  store_.reset();
}

void HistoryWindow::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  FitToScreen(this);
  LabelZone->setText(ZoneText(QDateTime::currentDateTime()));
  HistoryTable->setFocus(Qt::OtherFocusReason);
  HistoryUnit->setEditText(unit_);
  Refresh();
}

void HistoryWindow::Refresh() {
  if (pages_) pages_->Reopen();
  OpenStore();
}

void HistoryWindow::SetQuery(const history::JobQuery &query) {
  model_->SetQuery(pages_.get(), query);
  HistoryDetails->clear();
  ShowSummary();
}

void HistoryWindow::Take(history::JobPagesResult result) {
  using Kind = history::JobPagesResult::Kind;
  const int generation = result.generation;
  const bool first = result.kind == Kind::First;
  const QString reason = result.reason;
  std::optional<history::JobRecord> job = std::move(result.job);
  if (result.kind == Kind::Failed && generation == model_->Generation())
    SetNarrowText(LabelState, "The history cannot be read: " + reason);
  if (!model_->Take(result)) return;
  if (result.kind == Kind::Job) {
    // The chosen job whole, with its transfer log, if it is still the one chosen.
    const history::JobRecord *row = model_->Record(HistoryTable->currentIndex().row());
    if (job && row && row->id == job->id) HistoryDetails->setPlainText(DetailsText(*job));
    return;
  }
  if (!first) return;
  shared_ = result.shared;
  if (serverUrl_.isEmpty()) {
    SetNarrowText(LabelState,
                  reason.isEmpty() ? fileName_ : "The history cannot be read: " + reason);
    return;
  }
  const QString why = server_ ? reason : badUrl_;
  SetNarrowText(LabelState, shared_ ? "The workshop's history on " + server_->shown
                                    : "The workshop's server cannot be read (" + why +
                                          "): this bench's history only");
}

void HistoryWindow::OpenStore() {
  store_.reset();
  HistoryDetails->clear();
  if (fileName_.isEmpty() && !server_) {
    SetNarrowText(LabelState, serverUrl_.isEmpty() ? QString("The history is off")
                                                   : "The workshop's server cannot be read (" +
                                                         badUrl_ + "): this bench's history only");
  } else {
    if (server_)
      SetNarrowText(LabelState, "Reading the workshop's history on " + server_->shown + "...");
    else
      SetNarrowText(LabelState, fileName_);
  }
  if (!fileName_.isEmpty()) {
    store_ = std::make_unique<history::Store>();
    if (!store_->Open(fileName_, history::Store::Mode::Read)) {
      if (!server_) SetNarrowText(LabelState, "The history cannot be read: " + store_->Error());
      store_.reset();
    }
  }
  FillUnits();
  SetQuery(Filters());
  unitsViewRead_ = false;
  ReadUnitsView();
}

history::SummarySource HistoryWindow::SummarySourceOf() const {
  return {*server_, fileName_, false, true};
}

void HistoryWindow::FillUnits() {
  if (!server_) {
    ShowUnits(store_ ? store_->Units() : QStringList());
    return;
  }
  unitsRead_->Start([this, source = SummarySourceOf()](int stopFd) {
    QStringList units;
    const QString reason = history::ReadSharedUnits(source, &units, stopFd);
    QMetaObject::invokeMethod(
        this,
        [this, units, reason] {
          // The server away: the units of the history shown.
          ShowUnits(reason.isEmpty() ? units : store_ ? store_->Units() : QStringList());
        },
        Qt::QueuedConnection);
  });
}

void HistoryWindow::ShowUnits(const QStringList &units) {
  const QString unit = HistoryUnit->currentText().trimmed();
  HistoryUnit->blockSignals(true);
  HistoryUnit->clear();
  HistoryUnit->addItem(QString());
  HistoryUnit->addItems(units);
  HistoryUnit->setEditText(unit);
  HistoryUnit->blockSignals(false);
}

void HistoryWindow::ReadUnitsView() {
  if (unitsViewRead_ || HistoryTabs->currentWidget() != Units) return;
  unitsViewRead_ = true;
  if (!store_ && !server_) return Units->SetUnits({});
  // The workshop's units (one read of the server with this bench's waiting records), or those of
  // this bench's history when there is no server or it is away: on a thread of its own, since a
  // fleet's summary takes a while.
  const std::optional<history::SummarySource> source =
      server_ ? std::optional(SummarySourceOf()) : std::nullopt;
  const QString benchFile = store_ ? fileName_ : QString();
  unitsViewReader_->Start([this, source, benchFile](int stopFd) {
    std::vector<history::UnitSummary> summaries;
    if (!source || !history::ReadSharedSummaries(*source, {}, &summaries, stopFd).isEmpty()) {
      summaries.clear();
      history::Store bench;
      if (!benchFile.isEmpty() && bench.Open(benchFile, history::Store::Mode::Read))
        summaries = bench.Summaries({});
    }
    QMetaObject::invokeMethod(
        this,
        [this, summaries = std::move(summaries)]() mutable {
          Units->SetUnits(std::move(summaries));
        },
        Qt::QueuedConnection);
  });
}

void HistoryWindow::ShowJobsOf(const QString &unit) {
  HistoryTabs->setCurrentIndex(0);  // "Jobs"
  HistoryUnit->setEditText(unit);
  HistoryUnitChanged();
}

history::JobQuery HistoryWindow::Filters() const {
  history::JobQuery query = model_->Query();  // its order
  const QString unit = HistoryUnit->currentText().trimmed();
  query.units = unit.isEmpty() ? QStringList() : QStringList{unit};
  query.job = HistoryJob->currentData().toString();
  query.outcome = HistoryOutcome->currentData().toString();
  query.since.reset();
  if (HistorySince->date() > HistorySince->minimumDate())
    query.since = history::ParseSince(HistorySince->date().toString(Qt::ISODate));
  return query;
}

void HistoryWindow::HistoryUnitChanged() {
  const history::JobQuery query = Filters();
  if (model_->Query().units == query.units) return;
  SetQuery(query);
}

void HistoryWindow::FiltersChanged() {
  const history::JobQuery query = Filters();
  const history::JobQuery &shown = model_->Query();
  if (shown.units == query.units && shown.job == query.job && shown.outcome == query.outcome &&
      shown.since == query.since)
    return;
  SetQuery(query);
}

void HistoryWindow::ShowSummary() {
  const QStringList units = model_->Query().units;
  if ((!store_ && !server_) || units.isEmpty()) {
    HistorySummary->clear();
    return;
  }
  const auto show = [this, units](const std::vector<history::UnitSummary> &summaries) {
    HistorySummary->setText(summaries.empty() ? units.first() + ": no job in the history"
                                              : SummaryText(summaries.front()));
  };
  if (!server_) return show(store_->Summaries(units));
  summaryRead_->Start([this, units, show, source = SummarySourceOf()](int stopFd) {
    std::vector<history::UnitSummary> summaries;
    const QString reason = history::ReadSharedSummaries(source, units, &summaries, stopFd);
    QMetaObject::invokeMethod(
        this,
        [this, units, show, reason, summaries] {
          if (model_->Query().units != units) return;  // another unit chosen meanwhile
          // The server away: the summary of the history shown.
          if (!reason.isEmpty())
            return store_ ? show(store_->Summaries(units)) : HistorySummary->clear();
          show(summaries);
        },
        Qt::QueuedConnection);
  });
}

void HistoryWindow::RowChosen() {
  const history::JobRecord *row = model_->Record(HistoryTable->currentIndex().row());
  if (!row || !pages_) {
    HistoryDetails->clear();
    return;
  }
  // The row as listed at once; the whole record, with the download's transfer log, when read.
  HistoryDetails->setPlainText(DetailsText(*row));
  pages_->WantJob(model_->Generation(), row->id);
}

QString HistoryWindow::ExportCsv(const QString &fileName) {
  if (HistoryTabs->currentWidget() == Units) return Units->ExportCsv(fileName);
  // The workshop's history as the table shows it, else the bench's file.
  std::unique_ptr<history::JobSource> shared;
  QString reason;
  if (shared_ && server_)
    shared = history::JobSource::OpenShared(*server_, fileName_, -1, {}, &reason);
  if (shared_ && !shared) return "The workshop's server cannot be read: " + reason;
  if (!shared && !store_) return "The history cannot be read";
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly))
    return "Cannot write " + fileName + ": " + file.errorString();
  // The rows of the filters in the command line's order, as `history --csv` gives them.
  history::JobQuery query = Filters();
  query.orderBy.clear();
  query.ascending = false;
  query.limit = -1;
  QByteArray buffer = history::CsvHeader();
  const auto write = [&](const QByteArray &row) {
    buffer += row;
    if (buffer.size() >= (1 << 20)) {
      file.write(buffer);
      buffer.clear();
    }
    return true;
  };
  const bool read =
      shared
          ? shared->Jobs().Read(
                query, {}, [&](const history::JobRecord &r) { return write(history::CsvRow(r)); })
          : store_->CsvRows(query, write);
  file.write(buffer);
  if (!read) {
    file.cancelWriting();
    return "The history cannot be read: " + (shared ? shared->Jobs().Error() : store_->Error());
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
  if (!RunFileDialog(dialog, this)) return;
  exportFolder_ = QFileInfo(dialog.selectedFiles().first()).absolutePath();
  const QString error = ExportCsv(dialog.selectedFiles().first());
  if (!error.isEmpty()) ShowError(error);
}
