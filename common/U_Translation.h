#pragma once

#include <QStringList>

class QTranslator;

// Qt's own texts (transport failures, XML parser and command-line messages)
// in German, whatever the system locale: the program speaks only German.

// The folders searched for Qt's German texts, in this order: "translations"
// beside the executable (where a Windows deployment puts them), then Qt's
// own path.
QStringList QtTranslationFolders();

// The files that hold Qt's German texts, in the order tried in each folder:
// qtbase_de.qm as Qt ships it, then qt_de.qm, which windeployqt writes as
// one file merged from the modules a program uses (and which Qt's own
// folder may hold as a catalogue of the module files beside it).
QStringList QtTranslationFiles();

// Loads the first file of QtTranslationFiles() that loads, from the first of
// the folders that has one, and installs it in the running application,
// which owns it. Returns the installed translator, or nullptr when no folder
// has a file that loads: Qt's texts then stay English and everything else
// works. Needs a QCoreApplication; never throws.
QTranslator *InstallQtTranslation(const QStringList &folders = QtTranslationFolders());
