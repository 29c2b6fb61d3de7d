#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "Translations.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Konfigurator"));
  // As the program does: the window's tests see what the operator sees.
  if (!InstallPolishTranslations(app)) {
    std::fprintf(stderr, "the Polish translations cannot be loaded\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
