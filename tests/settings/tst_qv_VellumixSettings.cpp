#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

// The settings tool reads the file beside itself, so each case runs a copy
// of it in a folder of its own.
class tst_qv_VellumixSettings : public QObject {
    Q_OBJECT

private slots:
    void reportsAndExits_data();
    void reportsAndExits();
};

void tst_qv_VellumixSettings::reportsAndExits_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");     // what stdout must hold
    QTest::addColumn<QString>("err");     // what stderr must hold
    QTest::addColumn<bool>("unreadable"); // the file without read rights
    QTest::newRow("help") << QStringList{u"--help"_s} << QByteArray() << 0 << u"Aufruf: qv_VellumixSettings"_s
                          << QString() << false;
    QTest::newRow("unknown-argument") << QStringList{u"--bunt"_s} << QByteArray() << 2 << QString()
                                      << u"Fehler: unbekannter Parameter „--bunt“"_s << false;
    QTest::newRow("usable") << QStringList() << "<r><IXUser>jörg</IXUser></r>"_ba << 0
                            << u"Benutzer:        jörg\n"_s << QString() << false;
    QTest::newRow("not-well-formed")
        << QStringList() << "<r><IXUser>x</r>"_ba << 1 << QString()
        << u"kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 1, Spalte"_s << false;
    QTest::newRow("undecodable") << QStringList()
                                 << "<?xml version='1.0' encoding='US-ASCII'?><r>\xc3\xbc</r>"_ba << 1
                                 << QString() << u"ungültig sind (Zeile 1, Spalte 45)"_s << false;
#ifdef Q_OS_UNIX
    QTest::newRow("no-read-rights")
        << QStringList() << "<r><IXUser>jörg</IXUser></r>"_ba << 1 << QString()
        << u" kann nicht gelesen werden: keine Leserechte – als Administrator starten"_s << true;
#endif
}

void tst_qv_VellumixSettings::reportsAndExits()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, unreadable);
    Q_UNUSED(unreadable) // only POSIX rows set it
    QTemporaryDir dir;
    const QString program = dir.filePath(u"qv_VellumixSettings"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELLUMIX_SETTINGS_EXE), program));
    if (!content.isEmpty()) {
        QFile file(dir.filePath(u"quilloraGlobal.xml"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    QProcess process;
#ifdef Q_OS_UNIX
    if (unreadable) {
        QVERIFY(QFile::setPermissions(dir.filePath(u"quilloraGlobal.xml"_s), QFileDevice::WriteOwner));
        if (geteuid() == 0) {
            // The superuser reads every file: the tool runs as nobody, who
            // may enter the folder and run the copy.
            QVERIFY(
                QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ExeOther));
            QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOther |
                                                       QFileDevice::ReadOther));
            arguments.prepend(program);
            arguments = QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s} + arguments;
            process.start(u"setpriv"_s, arguments);
        }
    }
    if (process.state() == QProcess::NotRunning)
#endif
        process.start(program, arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    if (exitCode != 0)
        QVERIFY2(stdOut.isEmpty(), qPrintable(stdOut));
}

QTEST_GUILESS_MAIN(tst_qv_VellumixSettings)
#include "tst_qv_VellumixSettings.moc"
