// The history window's units view on a real history file: its columns, the comparison with a
// profile and a firmware file, sorting, the filter, a unit's jobs, and its CSV export against
// tolvane-cli's.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "app/history_window.h"
#include "tests/history/fleet_records.h"
#include "tests/support/modal_script.h"

namespace {

QStringList Column(QTableView *table, int column) {
  QStringList cells;
  for (int row = 0; row < table->model()->rowCount(); ++row)
    cells << table->model()->index(row, column).data().toString();
  return cells;
}

void ClickHeader(QTableView *table, int column) {
  QHeaderView *header = table->horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(column) + 4, header->height() / 2));
}

// Clicks `button` and chooses `file` in the file dialog it opens.
void Choose(QPushButton *button, const QString &file) {
  ModalScript script;
  script.Then(
      [&](QWidget *modal) { ModalScript::ChooseFile(qobject_cast<QFileDialog *>(modal), file); });
  button->click();
  EXPECT_TRUE(script.Done());
}

class UnitsViewTest : public ::testing::Test {
 protected:
  UnitsViewTest() : fleet(WriteFleet(folder)), window(fleet.history) {
    window.show();
    tabs = window.findChild<QTabWidget *>("HistoryTabs");
    table = window.findChild<QTableView *>("UnitsTable");
  }

  TempFolder folder;
  Fleet fleet;
  HistoryWindow window;
  QTabWidget *tabs = nullptr;
  QTableView *table = nullptr;
};

TEST_F(UnitsViewTest, ShowsOneRowPerUnitAndComparesThemWithAProfileAndAFirmwareFile) {
  ASSERT_TRUE(tabs && table);
  EXPECT_EQ(tabs->tabText(0), "Jobs");
  EXPECT_EQ(tabs->tabText(1), "Units");
  tabs->setCurrentIndex(1);
  // The view reads the summaries on a thread of its own.
  ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 3; }, 5000));
  QStringList headers;
  for (int c = 0; c < table->model()->columnCount(); ++c)
    headers << table->model()->headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(headers,
            QStringList({"Unit", "Firmware", "Parameters", "Message", "Last job", "Station"}));
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00001", "VRT00002", "VRT00003"}));
  EXPECT_TRUE(table->model()->index(1, 1).data().toString().startsWith("old-app.hex "));
  EXPECT_TRUE(
      table->model()->index(1, 2).data().toString().startsWith("std.ini written 2026-12-0"));

  auto *profile = window.findChild<QPushButton *>("ButtonCompareProfile");
  Choose(profile, fleet.profile);
  ASSERT_EQ(table->model()->columnCount(), 7);
  EXPECT_EQ(table->model()->headerData(6, Qt::Horizontal).toString(), "Differs from profile");
  EXPECT_EQ(Column(table, 6),
            QStringList({"no", "P05: 3 (profile 1); P17: *60 (profile *67)", "unknown"}));
  // A unit that differs says so by an icon too, not by colour.
  for (int row = 0; row < 3; ++row)
    EXPECT_FALSE(table->model()->index(row, 6).data(Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_NE(table->model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey(),
            table->model()->index(1, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey());

  // A file the firmware window would refuse is refused in a message box, and changes nothing.
  auto *firmware = window.findChild<QPushButton *>("ButtonCompareFirmware");
  {
    ModalScript script(ModalScript::kAnswerBoxes);
    script.Then([&](QWidget *modal) {
      ModalScript::ChooseFile(qobject_cast<QFileDialog *>(modal), fleet.profile);
    });
    firmware->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !script.boxes.empty(); }, 3000));
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_TRUE(script.boxes[0].text.contains("is no *.HEX file"))
        << script.boxes[0].text.toStdString();
  }
  EXPECT_EQ(table->model()->columnCount(), 7);
  Choose(firmware, fleet.firmware);
  ASSERT_EQ(table->model()->columnCount(), 8);
  EXPECT_EQ(table->model()->headerData(7, Qt::Horizontal).toString(), "Firmware differs");
  EXPECT_EQ(table->model()->index(0, 7).data().toString(), "no");
  EXPECT_EQ(table->model()->index(1, 7).data().toString(), "yes");
  // The unit whose download was cut after it answered "Y".
  EXPECT_EQ(table->model()->index(2, 1).data().toString(), "in its loader");
  EXPECT_EQ(table->model()->index(2, 7).data().toString(), "unknown");

  // The export of the view shown is tolvane-cli's CSV of the same comparison, byte for byte.
  const QString csv = QString::fromStdString(folder.File("units.csv"));
  Choose(window.findChild<QPushButton *>("ButtonExportCsv"), csv);
  QProcess cli;
  cli.start(TOLVANE_CLI_PROGRAM, {"summary", "--csv", "--history", fleet.history, "--profile",
                                  fleet.profile, "--firmware", fleet.firmware});
  ASSERT_TRUE(cli.waitForFinished(10000));
  QFile exported(csv);
  ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
  EXPECT_EQ(exported.readAll(), cli.readAllStandardOutput());
}

TEST_F(UnitsViewTest, SortsByTheClickedHeaderFiltersByAnyCellAndShowsAUnitsJobs) {
  tabs->setCurrentIndex(1);
  // The view reads the summaries on a thread of its own.
  ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 3; }, 5000));
  ClickHeader(table, 1);  // "Firmware"
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00001", "VRT00003", "VRT00002"}));
  ClickHeader(table, 1);
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00002", "VRT00003", "VRT00001"}));
  ClickHeader(table, 4);  // "Last job"
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00001", "VRT00002", "VRT00003"}));

  auto *filter = window.findChild<QLineEdit *>("UnitsFilter");
  ASSERT_NE(filter, nullptr);
  QTest::keyClicks(filter, "BENCH-2");
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00002"}));
  filter->setText("interrupted");
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00003"}));
  filter->setText("old-app");
  EXPECT_EQ(Column(table, 0), QStringList({"VRT00002"}));
  filter->clear();
  ASSERT_EQ(table->model()->rowCount(), 3);

  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QRect second = table->visualRect(table->model()->index(1, 0));
  ASSERT_TRUE(table->viewport()->rect().contains(second.center()));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, second.center());
  QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, second.center());
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(window.findChild<QComboBox *>("HistoryUnit")->currentText(), "VRT00002");
  auto *jobs = window.findChild<QTableView *>("HistoryTable");
  // The jobs view reads its rows on a thread of its own.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return Column(jobs, 1) == QStringList({"VRT00002", "VRT00002"});
      },
      5000))
      << Column(jobs, 1).join(' ').toStdString();

  // Enter on the current unit does what a double click does.
  tabs->setCurrentIndex(1);
  table->setFocus();
  table->setCurrentIndex(table->model()->index(2, 0));
  QTest::keyClick(table, Qt::Key_Return);
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(window.findChild<QComboBox *>("HistoryUnit")->currentText(), "VRT00003");
}

}  // namespace
