#pragma once

#include <QStringList>

class QTranslator;

// Qt's own texts (transport failures, XML parser and command-line messages)
// in German, whatever the system locale: the program speaks only German.

// The folders searched for qtbase_de.qm, in this order: "translations" beside
// the executable (where a Windows deployment puts it), then Qt's own path.
QStringList QtTranslationFolders();

// Loads qtbase_de.qm from the first of the folders that has it and installs
// it in the running application, which owns it. Returns the installed
// translator, or nullptr when no folder has the file: Qt's texts then stay
// English and everything else works. Needs a QCoreApplication; never throws.
QTranslator *InstallQtTranslation(const QStringList &folders = QtTranslationFolders());
