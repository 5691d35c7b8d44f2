#include "common/U_Translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

QStringList QtTranslationFolders()
{
    return {QDir(QCoreApplication::applicationDirPath()).filePath(u"translations"_s),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

QStringList QtTranslationFiles()
{
    return {u"qtbase_de.qm"_s, u"qt_de.qm"_s};
}

QTranslator *InstallQtTranslation(const QStringList &folders)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return nullptr;
    for (const QString &folder : folders) {
        if (folder.isEmpty())
            continue;
        for (const QString &file : QtTranslationFiles()) {
            // Only these exact files: QTranslator would otherwise fall back
            // to "qtbase.qm", which may hold any language. A catalogue whose
            // module files are missing does not load; the next file may.
            const QString fileName = QDir(folder).filePath(file);
            if (!QFileInfo(fileName).isFile())
                continue;
            auto *translator = new QTranslator(application);
            if (translator->load(fileName) && QCoreApplication::installTranslator(translator))
                return translator;
            delete translator;
        }
    }
    return nullptr;
}
