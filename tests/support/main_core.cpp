// Test main of the tests that need no window: GoogleTest with a QCoreApplication, so that tests
// can run timers and event loops.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>

#include <QCoreApplication>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("Tolvane");
  // The service history of the tests' jobs goes to a folder of this run, never the user's.
  const QTemporaryDir data;
  setenv("XDG_DATA_HOME", data.path().toLocal8Bit().constData(), 1);
  return RUN_ALL_TESTS();
}
