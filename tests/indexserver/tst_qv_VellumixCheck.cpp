#include "settings/U_Types.h"
#include "tools/StandInIndexserver.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

struct TRun {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

TRun Run(const QStringList &arguments, const QString &program = QStringLiteral(VELLUMIX_CHECK_EXE))
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.start();
    TRun run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.ExitCode = process.exitCode();
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A settings file as the window would leave it.
bool WriteSettings(const QString &fileName, const QString &user, const QString &password, const QString &base)
{
    TGlobalSettings settings(fileName);
    settings.SetIXUser(user);
    settings.SetIXPasswort(password);
    settings.SetIXWSDLLocation(base);
    QString message;
    return settings.SaveToFile(message);
}

QByteArray Content(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

} // namespace

class tst_qv_VellumixCheck : public QObject {
    Q_OBJECT

private slots:
    void reportsSuccessAndLogsOut_data();
    void reportsSuccessAndLogsOut();
    void reportsFailureOnStandardError_data();
    void reportsFailureOnStandardError();
    void readsSettingsBesideTheProgram();
    void reportsUnusableSettings();
    void rejectsBadUsage_data();
    void rejectsBadUsage();
};

void tst_qv_VellumixCheck::reportsSuccessAndLogsOut_data()
{
    QTest::addColumn<QString>("stored"); // password in the settings file; "-": no settings file
    QTest::addColumn<QStringList>("options");
    QTest::newRow("options-only") << u"-"_s
                                  << QStringList({u"--wsdl-base"_s, u"$BASE"_s, u"--user"_s,
                                                  u"Administrator"_s, u"--password"_s, u"geheim"_s});
    QTest::newRow("settings-file") << u"geheim"_s << QStringList();
    QTest::newRow("option-overrides-password")
        << u"veraltet"_s << QStringList({u"--password"_s, u"geheim"_s});
    QTest::newRow("option-overrides-base") << u"geheim"_s << QStringList({u"--wsdl-base"_s, u"$BASE"_s});
}

void tst_qv_VellumixCheck::reportsSuccessAndLogsOut()
{
    QFETCH(QString, stored);
    QFETCH(QStringList, options);
    TStandInIndexserver server;
    server.SetServerVersion(u"23.01.000"_s);
    server.SetRootEntryName(u"Wurzel-Ä"_s);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(u"einstellungen.xml"_s);
    const bool overridesBase = options.contains(u"$BASE"_s);
    if (stored != u"-"_s) {
        // A stored base that cannot work when an option replaces it.
        QVERIFY(WriteSettings(fileName, u"Administrator"_s, stored,
                              overridesBase ? u"http://127.0.0.1:1/"_s : server.BaseUrl()));
    }
    const QByteArray before = Content(fileName);
    options.replaceInStrings(u"$BASE"_s, server.BaseUrl());
    const TRun run = Run(QStringList({u"--settings"_s, fileName}) + options);
    QCOMPARE(run.Err, QString());
    QCOMPARE(run.Out, u"OK Indexserver 23.01.000, Eintrag \"1\": Wurzel-Ä\n"_s);
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(server.LiveTickets(), 0);
    QCOMPARE(Content(fileName), before);
}

void tst_qv_VellumixCheck::reportsFailureOnStandardError_data()
{
    QTest::addColumn<QStringList>("options"); // $BASE: the server; $CLOSED: a port nobody listens on
    QTest::addColumn<QString>("expected");    // whole standard error, or its start when it ends in "..."
    QTest::newRow("wrong-password")
        << QStringList(
               {u"--wsdl-base"_s, u"$BASE"_s, u"--user"_s, u"Administrator"_s, u"--password"_s, u"x"_s})
        << u"Fehler: Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig\n"_s;
    QTest::newRow("unreachable")
        << QStringList({u"--wsdl-base"_s, u"$CLOSED"_s, u"--user"_s, u"Administrator"_s, u"--password"_s,
                        u"geheim"_s})
        << u"Fehler: WSDL-Datei/-Ort kann nicht geladen werden: $CLOSEDix?WSDL.  Fehler [..."_s;
    QTest::newRow("missing-settings-without-options")
        << QStringList({u"--user"_s, u"Administrator"_s})
        << u"Fehler: Die Einstellungsdatei \"$DIR/fehlt.xml\" fehlt\n"_s;
}

void tst_qv_VellumixCheck::reportsFailureOnStandardError()
{
    QFETCH(QStringList, options);
    QFETCH(QString, expected);
    TStandInIndexserver server;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    const QString closed = u"http://127.0.0.1:%1/"_s.arg(closedPort);
    const QString missing = dir.filePath(u"fehlt.xml"_s);
    options.replaceInStrings(u"$BASE"_s, server.BaseUrl());
    options.replaceInStrings(u"$CLOSED"_s, closed);
    expected.replace(u"$CLOSED"_s, closed);
    expected.replace(u"$DIR"_s, QDir::toNativeSeparators(dir.path()));
    const TRun run = Run(QStringList({u"--settings"_s, missing}) + options);
    QCOMPARE(run.ExitCode, 1);
    QCOMPARE(run.Out, QString());
    if (expected.endsWith(u"..."_s))
        QVERIFY2(run.Err.startsWith(expected.chopped(3)), qPrintable(run.Err));
    else
        QCOMPARE(run.Err, expected);
    QCOMPARE(server.LogoutCount(), 0);
    QVERIFY(!QFile::exists(missing));
}

void tst_qv_VellumixCheck::reportsUnusableSettings()
{
    QTemporaryDir dir;
    const QString fileName = dir.filePath(u"quilloraGlobal.xml"_s);
    const QByteArray typo = "<qv_Vellumix>\r\n<IXUser>Administrator</IXUsr>\r\n</qv_Vellumix>\r\n";
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(typo);
    file.close();

    const TRun run = Run({u"--settings"_s, fileName});
    QCOMPARE(run.ExitCode, 1);
    QCOMPARE(run.Out, QString());
    const QString head = u"Fehler: Die Einstellungsdatei "_s + QDir::toNativeSeparators(fileName) +
                         u" kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 2, Spalte "_s;
    QVERIFY2(run.Err.startsWith(head) && run.Err.endsWith(u"\n"_s), qPrintable(run.Err));
    QCOMPARE(Content(fileName), typo);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1); // no backup either
}

void tst_qv_VellumixCheck::readsSettingsBesideTheProgram()
{
    TStandInIndexserver server;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QFileInfo(QStringLiteral(VELLUMIX_CHECK_EXE)).fileName());
    QVERIFY(QFile::copy(QStringLiteral(VELLUMIX_CHECK_EXE), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
    const QString fileName = dir.filePath(u"quilloraGlobal.xml"_s);
    QVERIFY(WriteSettings(fileName, u"Administrator"_s, u"geheim"_s, server.BaseUrl()));
    const QByteArray before = Content(fileName);

    const TRun run = Run({}, program);
    QCOMPARE(run.Err, QString());
    QVERIFY2(run.Out.startsWith(u"OK "_s), qPrintable(run.Out));
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(server.LoginCount(), 1);
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(Content(fileName), before);
}

void tst_qv_VellumixCheck::rejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown-option") << QStringList({u"--verbose"_s});
    QTest::newRow("missing-value") << QStringList({u"--user"_s});
    QTest::newRow("positional") << QStringList({u"http://127.0.0.1/"_s});
    QTest::newRow("twice") << QStringList({u"--user"_s, u"a"_s, u"--user"_s, u"b"_s});
}

void tst_qv_VellumixCheck::rejectsBadUsage()
{
    QFETCH(QStringList, arguments);
    const TRun run = Run(arguments);
    QCOMPARE(run.ExitCode, 2);
    QCOMPARE(run.Out, QString());
    QVERIFY2(run.Err.contains(u"Aufruf: qv_VellumixCheck [--settings DATEI]"_s), qPrintable(run.Err));
}

QTEST_GUILESS_MAIN(tst_qv_VellumixCheck)
#include "tst_qv_VellumixCheck.moc"
