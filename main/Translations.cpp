#include "Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool InstallPolishTranslations(QCoreApplication& app) {
  auto* qt = new QTranslator(&app);
  const bool qtLoaded =
      qt->load(QStringLiteral("qt_pl"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (qtLoaded) app.installTranslator(qt);
  // Built into the program, so the build tree and the installed program find it alike.
  auto* own = new QTranslator(&app);
  const bool ownLoaded = own->load(QStringLiteral(":/i18n/konfigurator_pl.qm"));
  if (ownLoaded) app.installTranslator(own);
  return qtLoaded && ownLoaded;
}
