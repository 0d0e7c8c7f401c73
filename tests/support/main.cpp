// Test main: GoogleTest with a QApplication on the offscreen platform, so that tests can build
// real widgets, run timers and open modal windows.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>

#include <QApplication>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tolvane");
  // The service history of the tests' jobs goes to a folder of this run, never the user's.
  const QTemporaryDir data;
  setenv("XDG_DATA_HOME", data.path().toLocal8Bit().constData(), 1);
  return RUN_ALL_TESTS();
}
