// What start-up makes before it returns (the six windows, complete, the main window's caption, the
// desktop entry its windows belong to and their icon) and what follows the first paint.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <link.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <memory>
#include <set>

#include "app/main_window.h"

#include "sim/in_process.h"

#include "tests/support/fake_ftdi.h"
#include "tests/support/temp_folder.h"

namespace {

// The value of `key` in the desktop entry's main group.
QString DesktopValue(const QString &file, const QString &key) {
  QFile entry(file);
  if (!entry.open(QIODevice::ReadOnly)) return {};
  bool inMain = false;
  for (const QByteArray &raw : entry.readAll().split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.startsWith('[')) inMain = line == QLatin1String("[Desktop Entry]");
    if (inMain && line.startsWith(key + "=")) return line.mid(key.size() + 1);
  }
  return {};
}

QImage Image(const QIcon &icon, int size) {
  return icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Every named object under the main window, by the names of the window it lies in and its own.
std::set<std::pair<QString, QString>> NamedObjects(QWidget *main) {
  std::set<std::pair<QString, QString>> names;
  for (QObject *object : main->findChildren<QObject *>()) {
    if (object->objectName().isEmpty() || object->objectName().startsWith("qt_")) continue;
    QObject *window = object->parent();
    while (window != main &&
           !(window->isWidgetType() && static_cast<QWidget *>(window)->isWindow()))
      window = window->parent();
    names.emplace(window->objectName(), object->objectName());
  }
  return names;
}

// The status label's text at the main window's first paint.
class FirstPaint : public QObject {
 public:
  FirstPaint() { qApp->installEventFilter(this); }
  std::optional<QString> label;

 protected:
  bool eventFilter(QObject *object, QEvent *event) override {
    if (!label && event->type() == QEvent::Paint && object->objectName() == "TForm3")
      label = object->findChild<QLabel *>("Label1")->text();
    return false;
  }
};

// Whether a library whose file name begins with `name` is loaded in this process.
bool Loaded(const char *name) {
  std::pair<const char *, bool> sought(name, false);
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        auto *sought = static_cast<std::pair<const char *, bool> *>(data);
        const std::string path = info->dlpi_name ? info->dlpi_name : "";
        if (path.substr(path.rfind('/') + 1).rfind(sought->first, 0) == 0) sought->second = true;
        return 0;
      },
      &sought);
  return sought.second;
}

// At the main window's first paint: what is loaded, then at each turn of the event loop until
// start-up returns, how many of the other windows exist.
class Turns : public QObject {
 public:
  Turns() {
    qApp->installEventFilter(this);
    tick_.setInterval(0);
    connect(&tick_, &QTimer::timeout, this, [this] {
      windows.push_back(
          main_->findChildren<QDialog *>(QString(), Qt::FindDirectChildrenOnly).size());
    });
  }
  bool painted = false;
  bool libpqAtPaint = false;
  std::vector<qsizetype> windows;
  void Stop() { tick_.stop(); }

 protected:
  bool eventFilter(QObject *object, QEvent *event) override {
    if (!painted && event->type() == QEvent::Paint && object->objectName() == "TForm3") {
      painted = true;
      libpqAtPaint = Loaded("libpq.so");
      main_ = static_cast<QWidget *>(object);
      tick_.start();
    }
    return false;
  }

 private:
  QTimer tick_;
  QWidget *main_ = nullptr;
};

}  // namespace

TEST(StartUp, MakesEveryWindowCompleteAndShowsTheScanOnceTheMainWindowIsOnScreen) {
  QApplication::setQuitOnLastWindowClosed(false);
  sim::InstalledUnits units;
  units.Add({.serial = "VRT00001"});
  units.AddForeign("FT5Q2ZK1");
  FirstPaint paint;
  std::unique_ptr<QWidget> main(startUp());
  ASSERT_NE(main, nullptr);

  EXPECT_EQ(main->windowTitle(), "TolvaneAlarm  - V 5.00.00.04");
  const auto names = NamedObjects(main.get());
  for (const std::pair<QString, QString> &named : {std::pair<QString, QString>{"TForm3", "Button5"},
                                                   {"TForm3", "Label1"},
                                                   {"TForm3", "Image1"},
                                                   {"TForm3", "TForm1"},
                                                   {"TForm1", "Timer1"},
                                                   {"TForm3", "TForm2"},
                                                   {"TForm2", "OpenDialog1"},
                                                   {"TForm3", "TForm4"},
                                                   {"TForm4", "ComboBox1"},
                                                   {"TForm3", "TForm5"},
                                                   {"TForm5", "OpenDialog1"},
                                                   {"TForm5", "Timer2"},
                                                   {"TForm3", "TForm6"},
                                                   {"TForm6", "Timer1"}})
    EXPECT_TRUE(names.contains(named))
        << named.first.toStdString() << " " << named.second.toStdString();

  auto *label = main->findChild<QLabel *>("Label1", Qt::FindDirectChildrenOnly);
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return label->text() == "                        Number of connected devices = 2"; },
      10000))
      << label->text().toStdString();
  ASSERT_TRUE(paint.label.has_value());
  EXPECT_EQ(*paint.label, "- - - - - -") << "the scan follows the first paint";
  EXPECT_EQ(NamedObjects(main.get()), names) << "nothing is made after start-up";
}

TEST(StartUp, NamesTheDesktopEntryAndGivesEveryWindowTheProgramsIcon) {
  fake::Installed fake;
  QApplication::setQuitOnLastWindowClosed(false);
  QGuiApplication::setDesktopFileName({});
  QApplication::setWindowIcon({});
  std::unique_ptr<QWidget> main(startUp());
  ASSERT_NE(main, nullptr);

  // The desktop entry's file name without ".desktop"; its windows are of the class that the
  // entry names for desktops that go by the X11 window class.
  const QString entry =
      TOLVANE_SOURCE_DIR "/data/" + QGuiApplication::desktopFileName() + ".desktop";
  EXPECT_EQ(QGuiApplication::desktopFileName(), TOLVANE_APP_ID);
  ASSERT_TRUE(QFile::exists(entry)) << entry.toStdString();
  EXPECT_EQ(DesktopValue(entry, "StartupWMClass"), QApplication::applicationName());
  EXPECT_EQ(DesktopValue(entry, "Icon"), QGuiApplication::desktopFileName());

  // The icon drawn by the build, also where no icon theme holds it: the program carries it.
  const QString built = QStringLiteral(TOLVANE_BUILD_DIR "/icons/hicolor/48x48/apps/%1.png")
                            .arg(QGuiApplication::desktopFileName());
  EXPECT_TRUE(
      QFile::exists(":/icons/hicolor/48x48/apps/" + QGuiApplication::desktopFileName() + ".png"));
  ASSERT_FALSE(main->windowIcon().isNull());
  EXPECT_EQ(Image(main->windowIcon(), 48), QImage(built).convertToFormat(QImage::Format_ARGB32));
  EXPECT_EQ(Image(main->windowIcon(), 16).size(), QSize(16, 16));
  for (QDialog *window : main->findChildren<QDialog *>(QString(), Qt::FindDirectChildrenOnly))
    EXPECT_EQ(Image(window->windowIcon(), 48), Image(main->windowIcon(), 48))
        << window->objectName().toStdString();
}

// With the history kept and a server set: the main window is painted before PostgreSQL's client
// library is loaded, and the event loop turns while the other windows are made.
TEST(StartUp, PaintsTheMainWindowBeforeTheServersLibraryAndTurnsTheEventLoopAfter) {
  QApplication::setQuitOnLastWindowClosed(false);
  TempFolder config;
  QDir().mkpath(QString::fromStdString(config.File("Tolvane")));
  std::ofstream(config.File("Tolvane/VERT.ini"))
      << "[History]\nServer=postgresql://tolvane@127.0.0.1:1/h\n";
  setenv("XDG_CONFIG_HOME", config.Folder().c_str(), 1);
  Turns turns;
  std::unique_ptr<QWidget> main(startUp());
  turns.Stop();
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(turns.painted);
  EXPECT_FALSE(turns.libpqAtPaint);
  ASSERT_FALSE(turns.windows.empty());
  EXPECT_LT(turns.windows.front(), 5) << "a turn before the last window was made";
  EXPECT_EQ(main->findChildren<QDialog *>(QString(), Qt::FindDirectChildrenOnly).size(), 5);
  // The history's writer reads the server's URL once started, with libpq.
  auto *window = static_cast<TForm3 *>(main.get());
  EXPECT_TRUE(window->History()->HasServer());
  EXPECT_TRUE(window->History()->Flush()) << window->History()->State().toStdString();
  EXPECT_TRUE(Loaded("libpq.so"));
}
