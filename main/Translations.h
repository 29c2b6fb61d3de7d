// The window speaks Polish whatever the user's language, as its fixed captions do: Qt's own
// texts (standard buttons) and the window's other texts are put into Polish here.
#pragma once

class QCoreApplication;

// Returns false when one of the two catalogues cannot be loaded; the texts then stay English.
bool InstallPolishTranslations(QCoreApplication& app);
