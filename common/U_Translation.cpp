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

QTranslator *InstallQtTranslation(const QStringList &folders)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return nullptr;
    for (const QString &folder : folders) {
        // Only this exact file: QTranslator would otherwise fall back to
        // "qtbase.qm", which may hold any language.
        const QString fileName = QDir(folder).filePath(u"qtbase_de.qm"_s);
        if (folder.isEmpty() || !QFileInfo(fileName).isFile())
            continue;
        auto *translator = new QTranslator(application);
        if (translator->load(fileName) && QCoreApplication::installTranslator(translator))
            return translator;
        delete translator;
    }
    return nullptr;
}
