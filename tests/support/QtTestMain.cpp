// Entry point of the window tests: an offscreen QApplication, the per-user settings store
// pointed at a directory of the run's own, then every test.
#include <stdlib.h>

#include <QApplication>

#include <gtest/gtest.h>

#include "tests/support/PtyFixture.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  kavel::test::TTempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
