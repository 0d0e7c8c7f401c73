// What start-up tells the desktop: the desktop entry its windows belong to and their icon.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <memory>

#include "tests/support/fake_ftdi.h"

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

}  // namespace

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
