#include "common/U_Translation.h"

#include <QLibraryInfo>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The parser's text for an answer cut short.
QString CutDocumentText()
{
    QXmlStreamReader reader("<a><b>"_ba);
    while (!reader.atEnd())
        reader.readNext();
    return reader.errorString();
}

// The socket's text for a port nobody listens on.
QString RefusedConnectionText()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return {};
        closedPort = probe.serverPort();
    }
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, closedPort);
    socket.waitForConnected(10000);
    return socket.errorString();
}

// A .qm file that holds no texts, only the names of module files to load
// beside it, as Qt's qt_de.qm does.
bool WriteCatalogue(const QString &fileName, const QStringList &modules)
{
    QByteArray dependencies;
    QDataStream stream(&dependencies, QIODevice::WriteOnly);
    for (const QString &module : modules)
        stream << module;
    QByteArray content = QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd"); // the .qm magic
    QDataStream out(&content, QIODevice::Append);
    out << quint8(0x96) << quint32(dependencies.size()); // the dependencies block
    out.writeRawData(dependencies.constData(), int(dependencies.size()));
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class tst_U_Translation : public QObject {
    Q_OBJECT

private slots:
    void turnsQtTextsGerman_data();
    void turnsQtTextsGerman();
    void searchesBesideTheProgramFirst();
};

void tst_U_Translation::turnsQtTextsGerman_data()
{
    // program: where the program looks; copy: a folder of our own with qtbase_de.qm;
    // merged: one with only qt_de.qm as windeployqt writes it (the same
    // texts in one file); catalogue: one with only a qt_de.qm that names
    // module files not beside it; modules: the same with its module file
    // beside it, as in Qt's own folder; none: no file
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("parserText");
    QTest::addColumn<QString>("networkText");
    QTest::addColumn<QString>("loaded"); // the file the translator came from
    QTest::newRow("program-folders") << u"program"_s << u"Vorzeitiges Ende des Dokuments."_s
                                     << u"Verbindung verweigert"_s << u"qtbase_de.qm"_s;
    QTest::newRow("own-folder") << u"copy"_s << u"Vorzeitiges Ende des Dokuments."_s
                                << u"Verbindung verweigert"_s << u"qtbase_de.qm"_s;
    QTest::newRow("merged-file") << u"merged"_s << u"Vorzeitiges Ende des Dokuments."_s
                                 << u"Verbindung verweigert"_s << u"qt_de.qm"_s;
    QTest::newRow("catalogue-with-module") << u"modules"_s << u"Vorzeitiges Ende des Dokuments."_s
                                           << u"Verbindung verweigert"_s << u"qt_de.qm"_s;
    QTest::newRow("catalogue-alone") << u"catalogue"_s << u"Premature end of document."_s
                                     << u"Connection refused"_s << QString();
    QTest::newRow("missing-file") << u"none"_s << u"Premature end of document."_s << u"Connection refused"_s
                                  << QString();
}

void tst_U_Translation::turnsQtTextsGerman()
{
    QFETCH(QString, source);
    QFETCH(QString, parserText);
    QFETCH(QString, networkText);
    QFETCH(QString, loaded);
    // The program finds the file beside itself where it was installed with
    // it (the Windows build has it there), else in Qt's own folder (Linux).
    const QStringList programFolders = QtTranslationFolders();
    QString found;
    for (const QString &folder : programFolders) {
        if (QFileInfo(QDir(folder).filePath(u"qtbase_de.qm"_s)).isFile()) {
            found = QDir(folder).filePath(u"qtbase_de.qm"_s);
            break;
        }
    }
    QVERIFY2(!found.isEmpty(), qPrintable(u"no qtbase_de.qm in "_s + programFolders.join(u", "_s)));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList folders = {dir.path()};
    if (source == u"program"_s)
        folders = programFolders;
    else if (source == u"copy"_s)
        QVERIFY(QFile::copy(found, dir.filePath(u"qtbase_de.qm"_s)));
    else if (source == u"merged"_s)
        QVERIFY(QFile::copy(found, dir.filePath(u"qt_de.qm"_s)));
    else if (source == u"catalogue"_s)
        QVERIFY(WriteCatalogue(dir.filePath(u"qt_de.qm"_s), {u"module_de"_s}));
    else if (source == u"modules"_s) {
        QVERIFY(WriteCatalogue(dir.filePath(u"qt_de.qm"_s), {u"module_de"_s}));
        QVERIFY(QFile::copy(found, dir.filePath(u"module_de.qm"_s)));
    }

    QTranslator *translator = InstallQtTranslation(folders);
    const auto removal = qScopeGuard([translator] { delete translator; });
    QCOMPARE(translator ? QFileInfo(translator->filePath()).fileName() : QString(), loaded);
    QCOMPARE(CutDocumentText(), parserText);
    QCOMPARE(RefusedConnectionText(), networkText);
}

void tst_U_Translation::searchesBesideTheProgramFirst()
{
    const QStringList folders = QtTranslationFolders();
    QCOMPARE(folders.size(), 2);
    // Joined as QDir joins: beside a program at a drive's root (T:/) that is T:/translations.
    QCOMPARE(folders.at(0), QDir(QCoreApplication::applicationDirPath()).filePath(u"translations"_s));
    QCOMPARE(folders.at(1), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

QTEST_GUILESS_MAIN(tst_U_Translation)
#include "tst_U_Translation.moc"
