#include <gtest/gtest.h>

#include <cstdlib>

#include "Application.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Konfigurator"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
