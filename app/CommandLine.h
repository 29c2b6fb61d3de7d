// What the window program does with its command line: --help and --version answer on the
// terminal without a display; anything else it does not know is refused before the window opens.
#pragma once

#include <QStringList>

class QCoreApplication;

#include <optional>

// Before the application object: the exit code when the arguments ask for help or the
// version (printed on stdout) or hold an option that neither the program nor the toolkit
// knows (said on stderr), otherwise nothing and the program goes on. `prepare` gets the
// short-lived core application first, to install the translations the help is worded in.
std::optional<int> AnswerCommandLine(int argc, char** argv, void (*prepare)(QCoreApplication&));

// After the application object has taken the toolkit's own options: the exit code when
// something is left that the program does not know (said on stderr), otherwise nothing.
std::optional<int> RefuseUnknownArguments(const QStringList& arguments);
