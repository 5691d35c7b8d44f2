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
    // program: where the program looks; copy: a folder of our own; none: no file
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("parserText");
    QTest::addColumn<QString>("networkText");
    QTest::newRow("program-folders") << u"program"_s << u"Vorzeitiges Ende des Dokuments."_s
                                     << u"Verbindung verweigert"_s;
    QTest::newRow("own-folder") << u"copy"_s << u"Vorzeitiges Ende des Dokuments."_s
                                << u"Verbindung verweigert"_s;
    QTest::newRow("missing-file") << u"none"_s << u"Premature end of document."_s << u"Connection refused"_s;
}

void tst_U_Translation::turnsQtTextsGerman()
{
    QFETCH(QString, source);
    QFETCH(QString, parserText);
    QFETCH(QString, networkText);
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

    QTranslator *translator = InstallQtTranslation(folders);
    const auto removal = qScopeGuard([translator] { delete translator; });
    QCOMPARE(translator != nullptr, source != u"none"_s);
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
