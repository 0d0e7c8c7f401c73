// Test main: GoogleTest with a QApplication on the offscreen platform, so that tests can build
// real widgets, run timers and open modal windows.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tolvane");
  return RUN_ALL_TESTS();
}
