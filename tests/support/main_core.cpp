// Test main of the tests that need no window: GoogleTest with a QCoreApplication, so that tests
// can run timers and event loops.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("Tolvane");
  return RUN_ALL_TESTS();
}
